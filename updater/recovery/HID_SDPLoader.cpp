#include "updater/recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include <climits>

#include "updater/cli/Log.h"

namespace {
constexpr uint8_t REPORT_SECURITY_STATE = 3;
constexpr size_t SECURITY_STATE_BYTES = 5;
constexpr size_t WORD_OFFSET = 6;
constexpr uint32_t MAX_WORD_INDEX = 15;
}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : vid(vendor), pid(product) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle != nullptr) hid_close(handle);
  hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle != nullptr) return true;
  hid_init();
  handle = hid_open(vid, pid, nullptr);
  Log::log(Log::DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
  return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (handle == nullptr || bytes.empty()) return -1;
  return hid_write(handle, bytes.data(), bytes.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& answer, uint32_t timeoutMs) {
  if (handle == nullptr) return -1;
  const int wait = timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
  ssize_t count = 0;
  for (;;) {
    unsigned char buffer[MAX_READ_BYTES] = {};
    const int n = hid_read_timeout(handle, buffer, sizeof buffer, wait);
    if (n <= 0) break;
    count += static_cast<ssize_t>(appendReport(answer, buffer, n));
    // No answer is longer: a device that keeps sending reports ends the read here
    // (with an answer too long to be taken) instead of holding it for as long as it sends.
    if (answer.size() > ANSWER_BYTES) break;
  }
  return count;
}

size_t HID_SDPLoader::appendReport(std::vector<uint8_t>& answer, const unsigned char* report, int n) {
  if (n <= 0) return 0;
  // The security-state report carries four bytes whatever length it arrived with; a
  // shorter one is padded with zeros.
  if (report[0] == REPORT_SECURITY_STATE) {
    unsigned char state[SECURITY_STATE_BYTES] = {};
    for (size_t i = 0; i < SECURITY_STATE_BYTES && i < static_cast<size_t>(n); i++) state[i] = report[i];
    answer.insert(answer.end(), state, state + SECURITY_STATE_BYTES);
    return SECURITY_STATE_BYTES;
  }
  const size_t kept = static_cast<size_t>(n) < MAX_READ_BYTES ? static_cast<size_t>(n) : MAX_READ_BYTES;
  answer.insert(answer.end(), report, report + kept);
  return kept;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t index, uint32_t& value) {
  if (answer.size() != ANSWER_BYTES || index > MAX_WORD_INDEX) return false;
  const size_t at = index + WORD_OFFSET;
  value |= static_cast<uint32_t>(answer[at]) | static_cast<uint32_t>(answer[at + 1]) << 8 |
           static_cast<uint32_t>(answer[at + 2]) << 16 | static_cast<uint32_t>(answer[at + 3]) << 24;
  return true;
}

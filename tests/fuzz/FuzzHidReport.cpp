// libFuzzer target: the input reports of an i.MX boot ROM as the USB HID transport
// gathers them into one answer (a security-state report keeps its id and four bytes,
// any other report is kept whole), and the answer words read out of HID and serial
// answers alike.
//
// Oracle: the answer is the reports as kept, in order; a word is read only from a HID
// answer of exactly 70 bytes or a serial answer long enough for it, and it is the
// little-endian word at its place.
//
// Input: reports, each a length byte (taken modulo 66) and its bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader_unix.h"

namespace {

uint32_t little(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> answer, expected;
  for (size_t at = 0; at < size;) {
    const size_t length = data[at++] % (HID_SDPLoader::MAX_READ_BYTES + 1);
    const size_t n = length < size - at ? length : size - at;
    if (n == 0) continue;
    unsigned char report[HID_SDPLoader::MAX_READ_BYTES] = {};
    for (size_t i = 0; i < n; i++) report[i] = data[at + i];
    at += n;
    const size_t kept = report[0] == 3 ? 5 : n;
    const size_t appended = HID_SDPLoader::appendReport(answer, report, static_cast<int>(n));
    if (appended != kept) std::abort();
    expected.insert(expected.end(), report, report + kept);
  }
  if (answer != expected) std::abort();

  HID_SDPLoader hid(0x1FC9, 0x0130);
  Serial_SDPLoader serial("/nonexistent");
  for (uint32_t index = 0; index <= 17; index++) {
    uint32_t value = 0;
    const bool hidWord = hid.getDataFromBuffer(answer, index, value);
    if (hidWord != (answer.size() == HID_SDPLoader::ANSWER_BYTES && index <= 15)) std::abort();
    if (hidWord && value != little(answer, index + 6)) std::abort();
    value = 0;
    const bool serialWord = serial.getDataFromBuffer(answer, index, value);
    if (serialWord != (index <= 15 && answer.size() >= 4u * (index + 2))) std::abort();
    if (serialWord && value != little(answer, index + 4)) std::abort();
  }
  return 0;
}

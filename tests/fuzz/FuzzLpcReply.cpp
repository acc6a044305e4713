// libFuzzer target: what an LPC boot ROM sends back, read by the ISP client the way the
// recovery reads it: the serial number ("N", with the echo on or off), return-code
// lines (prepare, start), the version and part-number answers, and a Read with its
// uuencoded lines and checksums; then uuencoded lines decoded into buffers of every
// size. The line is a port over the input that fails when it ends, so no read waits.
//
// Oracle: a serial number taken must be exactly a return code 0 and four whole 32-bit
// numbers, each on a line of its own, as the bytes consumed for it say.
//
// Input: a flags byte (bit 0: echo on for the serial number), a count byte (the Read
// reads 4 * count bytes), then the chip's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "updater/recovery/NXPSerial.h"

namespace {

// The chip's line: the input's bytes, then a line that has failed (nothing more comes,
// and no read waits).
class Line : public IspPort {
 public:
  Line(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  aErr write(const uint8_t*, size_t) override { return aErrNone; }
  aErr read(uint8_t* byte, aTime) override {
    if (at_ >= size_) return aErrEOF;
    *byte = data_[at_++];
    return aErrNone;
  }
  aErr setRate(uint32_t) override { return aErrNone; }
  void flush() override {}
  const uint8_t* data() const { return data_; }
  size_t consumed() const { return at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The value of a whole unsigned number in the bases the ISP client reads ("0x" hex,
// leading 0 octal, else decimal), or false.
bool number(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  unsigned base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    at = 1;
  }
  uint64_t v = 0;
  for (; at < text.size(); at++) {
    const char c = text[at];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (d >= base) return false;
    v = v * base + d;
    if (v > 0xFFFFFFFFull) return false;
  }
  *value = v;
  return true;
}

// The answer lines of the serial number as the bytes consumed hold them: with the echo
// on, the echo "N" "\r" comes first, whole (other bytes may lie before it, a bounded
// number of them, but none inside it); each line may begin with line feeds, which are
// no part of it.
void checkSerialNumber(const uint8_t* bytes, size_t count, bool echo, const uint32_t words[4]) {
  std::string text(reinterpret_cast<const char*>(bytes), count);
  if (echo) {
    const size_t n = text.find('N');
    if (n == std::string::npos || n > 1025 || n + 1 >= text.size() || text[n + 1] != '\r') std::abort();
    text.erase(0, n + 2);
  }
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == '\n') at++;
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  // The return code: decimal digits of the value 0.
  if (lines.size() != 5 || lines[0].empty() || lines[0].find_first_not_of('0') != std::string::npos) std::abort();
  for (int i = 0; i < 4; i++) {
    uint64_t v = 0;
    if (!number(lines[static_cast<size_t>(i) + 1], &v) || v != words[i]) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool echo = (data[0] & 1) != 0;
  const uint32_t readCount = 4u * data[1];
  NXPSerialClass isp;
  auto owned = std::make_unique<Line>(data + 2, size - 2);
  const Line& line = *owned;
  isp.port = std::move(owned);
  isp.echo = echo;
  const uint32_t before[4] = {0xA5A5A5A5u, 0xA5A5A5A5u, 0xA5A5A5A5u, 0xA5A5A5A5u};
  std::memcpy(isp.deviceID, before, sizeof before);
  if (isp.GetDeviceID() == aErrNone) {
    checkSerialNumber(line.data(), line.consumed(), echo, isp.deviceID);
  } else if (std::memcmp(isp.deviceID, before, sizeof before) != 0) {
    std::abort();  // a refused answer leaves nothing behind
  }
  isp.Prepare(0, 29);
  uint8_t first = 0, second = 0;
  isp.GetBootLoaderVersion(&first, &second);
  long part = 0;
  isp.GetPartNumber(&part);
  isp.echo = false;
  if (readCount > 0) {
    std::vector<uint8_t> out(readCount);
    isp.Read(0, readCount, out.data());
  }
  isp.ExecuteFrom(0);

  // uuencoded lines straight into buffers of each size up to a full line and beyond.
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  for (uint32_t room = 0; room <= 48; room += 7) {
    std::vector<uint8_t> out(room);
    const uint32_t n = NXPSerialClass::uudecode(out.data(), room, text.c_str());
    if (n > room) std::abort();
  }
  return 0;
}

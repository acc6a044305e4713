#include "common/discovery/aDiscoveryParse.h"

#include <cstring>

#include "common/discovery/aDiscovery.h"

bool aDiscovery_ParseSerialText(const char* text, uint32_t* serial) {
  if (text == nullptr || serial == nullptr) return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const char c = text[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;  // the terminating NUL too: fewer than eight digits
    }
    value = value << 4 | digit;
  }
  if (text[8] != '\0') return false;
  *serial = value;
  return true;
}

bool aDiscovery_ParseReply(const uint8_t* reply, size_t length, uint32_t fromAddress, linkSpec* spec) {
  if (reply == nullptr || spec == nullptr || length < aDISCOVERY_MIN_REPLY_SIZE) return false;
  // A clean buffer: a short reply must not inherit anything. Without byte 12 the model
  // reads 255.
  uint8_t bytes[aDISCOVERY_MESSAGE_SIZE];
  std::memset(bytes, 0, sizeof bytes);
  bytes[12] = 255;
  std::memcpy(bytes, reply, length < sizeof bytes ? length : sizeof bytes);
  std::memset(spec, 0, sizeof *spec);
  spec->type = kLinkTypeTCPIP;
  spec->serialNumber = static_cast<uint32_t>(bytes[4]) | static_cast<uint32_t>(bytes[5]) << 8 |
                       static_cast<uint32_t>(bytes[6]) << 16 | static_cast<uint32_t>(bytes[7]) << 24;
  spec->module = bytes[1];
  spec->router = bytes[1];
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = bytes[12];
  spec->t.ip.address = fromAddress;
  spec->t.ip.port = static_cast<uint32_t>(bytes[2]) | static_cast<uint32_t>(bytes[3]) << 8;
  return true;
}

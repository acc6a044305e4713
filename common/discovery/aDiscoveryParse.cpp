#include "common/discovery/aDiscoveryParse.h"

#include <cstring>

#include "common/discovery/aDiscovery.h"
#include "common/aVendor.h"

bool aDiscovery_ParseSerialText(const char* text, uint32_t* serial) {
  uint32_t value = 0;
  if (serial == nullptr || aVendor_ParseSerialText(text, &value) == kVendorNoSerial) return false;
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

#include "common/aLinkSpecifier.h"

#include <cstring>
#include <new>

namespace {

void putWord(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t getWord(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

bool isNetworkForm(linkType type) { return type == kLinkTypeTCPIP || (type >= kLinkTypeQuivel && type <= kLinkTypeQuivelSerial); }

}  // namespace

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = new (std::nothrow) linkSpec();
  if (spec == nullptr) return nullptr;
  std::memset(spec, 0, sizeof *spec);
  spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
  if (spec == nullptr) return nullptr;
  linkSpec* copy = new (std::nothrow) linkSpec();
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, spec, sizeof *copy);
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (spec == nullptr || *spec == nullptr) return aErrParam;
  delete *spec;
  *spec = nullptr;
  return aErrNone;
}

void aLinkSpec_Serialize(const linkSpec* spec, uint8_t out[aLINKSPEC_SIZE]) {
  std::memset(out, 0, aLINKSPEC_SIZE);
  putWord(out + 0, static_cast<uint32_t>(spec->type));
  putWord(out + 4, spec->serialNumber);
  putWord(out + 8, spec->module);
  putWord(out + 12, spec->router);
  putWord(out + 16, spec->routerSerialNumber);
  putWord(out + 20, spec->model);
  if (spec->type == kLinkTypeUSB) {
    putWord(out + 24, spec->t.usb.serialNumber);
  } else if (isNetworkForm(spec->type)) {
    std::memcpy(out + 24, &spec->t.ip.address, 4);  // already in network order
    putWord(out + 28, spec->t.ip.port);
  } else if (spec->type == kLinkTypeSerial) {
    putWord(out + 24, spec->t.serial.baudRate);
    std::memcpy(out + 28, spec->t.serial.portName, aLINKSPEC_PORT_NAME_SIZE);
    out[28 + aLINKSPEC_PORT_NAME_SIZE - 1] = 0;
  } else {
    std::memcpy(out + 24, spec->t.bytes, sizeof spec->t.bytes);
  }
}

void aLinkSpec_Deserialize(const uint8_t in[aLINKSPEC_SIZE], linkSpec* spec) {
  std::memset(spec, 0, sizeof *spec);
  spec->type = static_cast<linkType>(getWord(in + 0));
  spec->serialNumber = getWord(in + 4);
  spec->module = getWord(in + 8);
  spec->router = getWord(in + 12);
  spec->routerSerialNumber = getWord(in + 16);
  spec->model = getWord(in + 20);
  if (spec->type == kLinkTypeUSB) {
    spec->t.usb.serialNumber = getWord(in + 24);
  } else if (isNetworkForm(spec->type)) {
    std::memcpy(&spec->t.ip.address, in + 24, 4);
    spec->t.ip.port = getWord(in + 28);
  } else if (spec->type == kLinkTypeSerial) {
    spec->t.serial.baudRate = getWord(in + 24);
    std::memcpy(spec->t.serial.portName, in + 28, aLINKSPEC_PORT_NAME_SIZE);
    spec->t.serial.portName[aLINKSPEC_PORT_NAME_SIZE - 1] = 0;
  } else {
    std::memcpy(spec->t.bytes, in + 24, sizeof spec->t.bytes);
  }
}

#pragma once
// USB identity of the device family: the one place the vendor id, the data interface
// triple and the rule of serial-number strings are defined. The host side and the test
// simulators both use it (the simulators only its vendor id).
#include <cstdint>

// The family's USB vendor id. Devices of the family report a product id below
// 0x8000; its low byte is the model number. Ids with bit 15 set belong to other
// products of the vendor (boot loaders, tools) and are never opened as modules.
constexpr uint16_t kTallowickUSBVendorId = 0x2E7C;
constexpr uint16_t kTallowickUSBProductLimit = 0x8000;

// The vendor-specific data interface that carries link bytes.
constexpr uint8_t kTallowickUSBInterfaceClass = 0xFF;
constexpr uint8_t kTallowickUSBInterfaceSubClass = 0x88;
constexpr uint8_t kTallowickUSBInterfaceProtocol = 0x10;

// The family's kernel driver, when installed, presents each module as this node.
#define TALLOWICK_KERNEL_NODE_FORMAT "/dev/tallowick.%08X"
#define TALLOWICK_KERNEL_NODE_PREFIX "/dev/tallowick."

inline bool aVendor_IsFamilyDevice(uint16_t vendorId, uint16_t productId) {
  return vendorId == kTallowickUSBVendorId && productId < kTallowickUSBProductLimit;
}

inline uint8_t aVendor_ModelFromProductId(uint16_t productId) {
  return static_cast<uint8_t>(productId & 0xFF);
}

// What a module's serial-number string says. Only exactly eight hexadecimal digits,
// nothing before or after, name a module of the family (a string that only starts like
// one must not be taken for the number in part of it). Discovery reports them in either
// case; a module is opened by its number only when its string is the canonical "%08X"
// form, in upper case, the form its kernel node is named in.
enum aVendorSerialForm {
  kVendorNoSerial = 0,
  kVendorSerialOtherCase = 1,
  kVendorSerialCanonical = 2,
};

// *serial is set unless the form is kVendorNoSerial.
inline aVendorSerialForm aVendor_ParseSerialText(const char* text, uint32_t* serial) {
  if (text == nullptr || serial == nullptr) return kVendorNoSerial;
  uint32_t value = 0;
  bool upper = true;
  for (int i = 0; i < 8; ++i) {
    // The terminating NUL fails here too: fewer than eight digits.
    const char c = text[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
      upper = false;
    } else {
      return kVendorNoSerial;
    }
    value = value << 4 | digit;
  }
  if (text[8] != '\0') return kVendorNoSerial;
  *serial = value;
  return upper ? kVendorSerialCanonical : kVendorSerialOtherCase;
}

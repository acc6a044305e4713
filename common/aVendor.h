#pragma once
// USB identity of the device family: the one place the vendor id and the data
// interface triple are defined. The host side and the test simulators both use it.
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

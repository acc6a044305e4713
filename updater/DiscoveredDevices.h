#pragma once
// The rows direct discovery collects. Replies come from anyone on the network: a device
// that answers twice (once per interface the request went out on, or a spoofer repeating
// itself) is one row, and no more than kMaxDevicesPerKind rows of one kind are kept.
#include <cstddef>
#include <vector>

#include "common/aLinkSpecifier.h"
#include "updater/DeviceInfo.h"

namespace updater {

constexpr size_t kMaxDevicesPerKind = 64;

struct Collection {
  std::vector<DeviceInfo>* list;
  size_t firstOfKind;  // rows before this one came from another kind of link
  bool capped;         // a device came after the list was full: the enumeration was ended
};

// One device: the same type and serial number, and for TCP/IP the same address.
bool _same_device(const linkSpec& a, const linkSpec& b);

// The discovery callback (reference: a Collection). Appends a new device and counts it,
// passes over a repeat, and ends the enumeration once the kind's rows are full.
bool _discovered_device(const linkSpec* spec, bool* found, void* reference);

}  // namespace updater

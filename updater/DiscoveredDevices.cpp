#include "updater/DiscoveredDevices.h"

#include <cstring>
#include <utility>

namespace updater {

bool _same_device(const linkSpec& a, const linkSpec& b) {
  if (a.type != b.type || a.serialNumber != b.serialNumber) return false;
  return a.type != kLinkTypeTCPIP || a.t.ip.address == b.t.ip.address;
}

bool _discovered_device(const linkSpec* spec, bool* found, void* reference) {
  auto* collection = static_cast<Collection*>(reference);
  std::vector<DeviceInfo>& list = *collection->list;
  for (size_t i = collection->firstOfKind; i < list.size(); i++)
    if (_same_device(list[i].spec, *spec)) return true;
  if (list.size() - collection->firstOfKind >= kMaxDevicesPerKind) {
    collection->capped = true;
    return false;  // enough: stop listening
  }
  DeviceInfo info;
  std::memcpy(&info.spec, spec, sizeof info.spec);
  list.push_back(std::move(info));
  *found = true;
  return true;
}

}  // namespace updater

// libFuzzer target: a burst of TCP/IP discovery replies, each turned into a linkSpec as
// the enumeration does and handed to the callback that collects discovery's rows. Every
// field is checked against the datagram's own bytes, and the rows must stay one per
// device (serial number and address) and no more than the cap.
//
// Input: datagrams one after another, each a length byte (0 to 40; the receiver keeps
// 16 bytes at most), a sender address byte (192.0.2.x) and the datagram's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "common/discovery/aDiscoveryParse.h"
#include "updater/DiscoveredDevices.h"

namespace {

uint32_t word(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<DeviceInfo> list;
  updater::Collection collection{&list, 0, false};
  std::set<std::pair<uint32_t, uint32_t>> devices;
  size_t at = 0;
  bool stopped = false;
  while (at + 2 <= size && !stopped) {
    const size_t declared = data[at] % 41;
    const uint32_t from = 0xC0000200u | data[at + 1];  // host order, turned below
    at += 2;
    const size_t length = declared < size - at ? declared : size - at;
    const uint8_t* bytes = data + at;
    at += length;
    const size_t received = length < 16 ? length : 16;  // the receive buffer's size

    linkSpec spec;
    std::memset(&spec, 0xEE, sizeof spec);
    const uint32_t fromAddress = __builtin_bswap32(from);
    if (!aDiscovery_ParseReply(bytes, received, fromAddress, &spec)) {
      if (received >= 8) std::abort();
      continue;
    }
    if (received < 8) std::abort();
    uint8_t padded[16];
    std::memset(padded, 0, sizeof padded);
    padded[12] = 255;
    std::memcpy(padded, bytes, received);
    if (spec.type != kLinkTypeTCPIP || spec.serialNumber != word(padded + 4) || spec.module != padded[1] ||
        spec.router != padded[1] || spec.routerSerialNumber != spec.serialNumber || spec.model != padded[12] ||
        spec.t.ip.address != fromAddress || spec.t.ip.port != (padded[2] | padded[3] << 8u))
      std::abort();
    for (size_t i = 8; i < sizeof spec.t.bytes; i++)
      if (spec.t.bytes[i] != 0) std::abort();

    bool found = false;
    const size_t before = list.size();
    const bool goOn = updater::_discovered_device(&spec, &found, &collection);
    const bool known = devices.count({spec.serialNumber, spec.t.ip.address}) != 0;
    if (known && (found || list.size() != before || !goOn)) std::abort();
    if (!known) {
      if (before < updater::kMaxDevicesPerKind) {
        if (!found || !goOn || list.size() != before + 1) std::abort();
        devices.insert({spec.serialNumber, spec.t.ip.address});
      } else {
        if (found || goOn || !collection.capped || list.size() != before) std::abort();
        stopped = true;
      }
    }
  }
  if (list.size() != devices.size() || list.size() > updater::kMaxDevicesPerKind) std::abort();
  return 0;
}

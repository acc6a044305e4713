#pragma once
// How a Link may use the network-link feature: client links through a link server, a
// link server in front of every new device link, and the discovery fallback.
//
// The defaults put a link server in front of every device link a Link opens. Its
// frontend asks no one who they are: any process of this machine may send the device
// anything, firmware commands included, and with localOnly off so may any host of the
// network. Programs that do not want that switch the feature off (the updater does).
#include <cstdint>

namespace Quenlark {
namespace Tallowick {

struct QuivelConfig {
  QuivelConfig();

  uint8_t enabled;     // client links allowed, and a server in front of new device links
  uint8_t fallback;    // discoverAndConnect tries one other link kind after some failures
  uint8_t localOnly;   // the server binds to 127.0.0.1 only
  uint16_t port;       // the server's TCP port, written when a server is made
  uint32_t interfaceAddress;   // IPv4, network byte order: discovery and server interface
};

}  // namespace Tallowick
}  // namespace Quenlark

#pragma once
// One unbroken session with a device: the connection a transfer began on. A module
// reached over TCP/IP that takes a newer connection in place of the one it serves
// (another host updating it too) is in a session that host may have changed: it may
// have announced its own upgrade, moved the place the next piece is written to, or
// written over what this host wrote. The socket stream connects again by itself, so
// the transfer would carry on unaware; it asks this instead, and fails.
#include <cstdint>

#include "api/Module.h"

namespace updater {

// What a transfer says after its part ("firmware") when its session was broken.
constexpr const char* kSessionBroken =
    "transfer broken off: the device's connection was lost and made again (another host may be using it)";

class DeviceSession {
 public:
  // Begins at the connection the device's link is on now.
  explicit DeviceSession(const Quenlark::Tallowick::Module& device);
  // False once the device's link is on another connection than the one the session
  // began on. A link that has gone says nothing here: the transfer's own requests fail.
  bool unbroken() const;

 private:
  static uint64_t connection(const Quenlark::Tallowick::Module& device);
  const Quenlark::Tallowick::Module& device_;
  const uint64_t began_;
};

}  // namespace updater

#include "updater/DeviceSession.h"

#include "api/Link.h"

using Quenlark::Tallowick::Link;
using Quenlark::Tallowick::Module;

namespace updater {

DeviceSession::DeviceSession(const Module& device) : device_(device), began_(connection(device)) {}

uint64_t DeviceSession::connection(const Module& device) {
  const Link* link = device.getLink();
  uint64_t number = 0;
  if (link == nullptr || link->getConnection(&number) != aErrNone) return 0;
  return number;
}

bool DeviceSession::unbroken() const {
  const uint64_t now = connection(device_);
  return began_ == 0 || now == 0 || now == began_;
}

}  // namespace updater

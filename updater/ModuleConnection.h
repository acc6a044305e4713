#pragma once
// Connecting a Module the way every operation of the updater does: with the network-link
// feature off, and finding a device on USB again after it left its link (a loader that
// restarts the device, a loader started from a boot ROM).
#include <cstdint>

#include "api/Module.h"
#include "common/aErr.h"
#include "updater/cli/UpdaterDisplayInterface.h"

namespace updater {

// Switches the network-link feature and its fallback off (local only), so the updater never
// creates or joins a link server; every Module gets this before it connects. A failure is
// shown and returned, and callers treat it as a failed connection.
aErr _disableQuivel(Quenlark::Tallowick::Module& module, UpdaterDisplayInterface& display);

// Up to Updater::CONNECT_ATTEMPTS tries over USB, 1000 ms apart (also after the last),
// refreshing the shared libusb context before tries 3, 6, 9, 12 and 15. Shows nothing;
// the caller looks at isConnected afterwards.
void _reconnect_usb(Quenlark::Tallowick::Module& module, uint32_t serial);

}  // namespace updater

#pragma once
// Connecting a Module the way every operation of the updater does: with the network-link
// feature off, and finding a device on USB again after it left its link (a loader that
// restarts the device, a loader started from a boot ROM).
#include <cstdint>
#include <vector>

#include "api/Module.h"
#include "common/aErr.h"
#include "updater/cli/UpdaterDisplayInterface.h"

namespace updater {

// Switches the network-link feature and its fallback off (local only), so the updater never
// creates or joins a link server; every Module gets this before it connects. A failure is
// shown and returned, and callers treat it as a failed connection.
aErr _disableQuivel(Quenlark::Tallowick::Module& module, UpdaterDisplayInterface& display);

// Why a connection or a query of the device failed when nothing answered for it: it was
// not found, refused the connection, took it and closed it again (a module serving
// another host) or never answered on it.
constexpr const char* kDeviceUnreachable = "the device could not be reached or is in use";
// True for the results of a query that mean just that: the link could not be kept or
// nothing came back on it in time.
bool _unanswered(aErr e);

// Whether the reconnect loop drops the shared libusb context before rounds 3, 6, 9, 12 and
// 15, so that the next enumeration runs on a fresh one.
enum class LibusbRefresh { EveryThirdRound, Never };

// Up to Updater::CONNECT_ATTEMPTS rounds, 1000 ms apart (also after the last): each round
// looks on USB for the serial numbers in the order given and stops at the first that
// connects. Shows nothing; the caller looks at isConnected afterwards.
void _reconnect_usb(Quenlark::Tallowick::Module& module, const std::vector<uint32_t>& serials,
                    LibusbRefresh refresh);
// The update's loop: one serial number, the libusb context refreshed every third round.
void _reconnect_usb(Quenlark::Tallowick::Module& module, uint32_t serial);

}  // namespace updater

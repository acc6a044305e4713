// The firmware update: choosing the build, loading its BIRD file and patching the serial
// number in, connecting directly or through a router module, the transfer (validation,
// loader, reconnect, firmware) and recording the transfer in the store.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/unix/aTime.h"
#include "updater/BuildNumber.h"
#include "updater/FirmwareTransfer.h"
#include "updater/ModuleConnection.h"
#include "updater/OpenStore.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/store/KeyValueStore.h"
#include "updater/store/UpdaterStore.h"

using Quenlark::Tallowick::Module;

namespace updater {
namespace {

// The build to install when neither a file nor a build is given: the server's latest when
// the device's entry already holds it, else the entry's latest download, else its latest
// transfer. A build given by the caller is kept. 0, after the error is shown, when none of
// them names one.
uint32_t _choose_build(UpdaterDisplayInterface& display, const std::string& serverUrl, uint32_t serial,
                       uint32_t build, UpdaterStoreItem& entry) {
  if (build == 0) {
    std::string buildText, versionText;
    // An unanswered query leaves the text empty, so the store decides; a server that
    // cannot be reached (or is too slow) is said, as the update goes on without it.
    if (!UpdateServerRequest::QueryBuild(serial, buildText, versionText, serverUrl.c_str()) &&
        UpdateServerRequest::LastFailure().transfer)
      display.message(1, "Server request failed for %s%s", serverUrl.c_str(),
                      UpdateServerRequest::LastFailure().suffix().c_str());
    if (!_to_build_number(buildText, build)) {
      Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
      // Refused as the bad reply it is; the store decides as for an unanswered query.
      if (!buildText.empty())
        display.message(1, "Bad reply from the update server: build number [%s]", buildText.c_str());
      build = 0;
    }
    if (build != 0) {
      try {
        (void)entry.ReadBirdFile(_bird_name(build).c_str());
      } catch (const std::runtime_error&) {
        build = 0;
        display.message(0, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
      }
    }
  }
  if (build == 0) {
    build = static_cast<uint32_t>(entry.attributes.GetInt("LATEST_DOWNLOAD", 0));
    if (build != 0) display.message(0, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = static_cast<uint32_t>(entry.attributes.GetInt("LATEST_TRANSFER", 0));
    if (build != 0) display.message(0, "Updating with the Latest Transfer");
  }
  if (build == 0) display.message(1, "Could not find valid build for this device.");
  return build;
}

// A file made for a whole model carries the places of each device's serial number. False
// (logged only) when it cannot be patched.
bool _patch_serial_number(BirdFile& bird, uint32_t serial) {
  if (!bird.hasSerialOffsets) return true;
  Log::log(Log::DEBUG_Updater, "Setting serial number into firmware... ");
  if (!bird.ReplaceSerialNumber(serial)) {
    Log::log(Log::DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
    return false;
  }
  Log::log(Log::DEBUG_Updater, " Serial Number inserted into firmware.\n");
  return true;
}

// USB first; TCP/IP only when USB does not know the serial number.
aErr _connect_usb_or_tcpip(Module& module, uint32_t serial) {
  aErr e = module.connect(kLinkTypeUSB, serial);
  if (e == aErrNotFound) e = module.connect(kLinkTypeTCPIP, serial);
  return e;
}

// "Failed to connect to module [%08X]" and why: nothing answered for it, whether it was
// not found (two discoveries at once on one host share the reply port, and only one
// hears the module), refused or took the connection and closed it (busy with another
// host), or never answered on it.
void _show_connect_failure(UpdaterDisplayInterface& display, uint32_t serial) {
  display.message(1, "Failed to connect to module [%08X]: %s", serial, kDeviceUnreachable);
}

// The device's address behind the router from a scan of the router's bus; when the scan
// reports the serial number twice, the last row wins. 0, after the error is shown, when
// the scan finds no module or not this one.
uint16_t _network_address(UpdaterDisplayInterface& display, Updater& updater, uint32_t serial,
                          uint32_t routerSerial) {
  const std::vector<DeviceInfo> network = updater.Discover_TWNetwork_Devices(routerSerial, kLinkTypeNone);
  if (network.empty()) {
    display.message(1, "Unable to find modules on Network");
    return 0;
  }
  uint16_t networkAddress = 0;
  for (const DeviceInfo& row : network)
    if (row.spec.serialNumber == serial) networkAddress = row.networkAddress;
  if (networkAddress == 0)
    display.message(1,
                    "Module address required for indirect firmware update, could not find serial number "
                    "[0x%08X] on network",
                    serial);
  return networkAddress;
}

// The router road, for a device whose Module has its network-link feature off. Module
// address 0 is looked up on the router's bus first. The router's Module ends with this
// step; the device's Module keeps the shared core link alive. Returns as _connect_device.
bool _connect_through_router(UpdaterDisplayInterface& display, Updater& updater, Module& device, uint32_t serial,
                             uint8_t moduleAddress, uint32_t routerSerial, aErr& status) {
  if (moduleAddress == 0) {
    const uint16_t networkAddress = _network_address(display, updater, serial, routerSerial);
    if (networkAddress == 0) return false;
    device.setModuleAddress(static_cast<uint8_t>(networkAddress));
  }
  Module router(0, 0);
  status = _disableQuivel(router, display);
  if (status != aErrNone) return true;
  if (_connect_usb_or_tcpip(router, routerSerial) != aErrNone) {
    display.message(1, "Failed to connect to link module [%08X]", routerSerial);
    return false;
  }
  status = device.connectThroughLinkModule(&router);
  if (status != aErrNone) _show_connect_failure(display, serial);
  return true;
}

// Connects the device's Module directly (router serial 0) or through the router module,
// after switching its network-link feature off. False: the update ends here, its error
// shown (no module found behind the router, or the router unreachable). True: status is
// the result of the connection, non-zero when it failed (a failed connection is shown).
bool _connect_device(UpdaterDisplayInterface& display, Updater& updater, Module& device, uint32_t serial,
                     uint8_t moduleAddress, uint32_t routerSerial, aErr& status) {
  status = _disableQuivel(device, display);
  if (status != aErrNone) return true;
  if (routerSerial != 0)
    return _connect_through_router(display, updater, device, serial, moduleAddress, routerSerial, status);
  status = _connect_usb_or_tcpip(device, serial);
  if (status != aErrNone) _show_connect_failure(display, serial);
  return true;
}

// Validates the file against the connected device (unless override is set), sends and
// starts the loader, finds the device again when the loader start dropped its link, and
// sends the firmware. False: the file failed validation or the device did not answer
// it, the update ends here with its error shown. True: status is the transfer's result,
// and failure says what failed.
bool _transfer_update(UpdaterDisplayInterface& display, Module& device, BirdFile& bird, uint32_t serial,
                      bool override, bool viaRouter, bool ueiBytesLoad, aErr& status, std::string& failure) {
  const Validation validation = override ? Validation::kValid : _validate_birdfile(display, bird, device, serial);
  if (validation == Validation::kUnanswered) {
    display.message(1, "Failed to update module [%08X]: %s", serial, kDeviceUnreachable);
    return false;
  }
  if (validation == Validation::kInvalid) {
    display.message(1, "Birdfile failed validation");
    return false;
  }
  status = _transfer_loader(display, device, bird, &failure);
  if (status == aErrNone && !device.isConnected()) {
    // Always over USB, also for a device first reached over TCP/IP. A device that does
    // not come back makes the firmware transfer fail on its own.
    device.disconnect();
    _reconnect_usb(device, serial);
  }
  if (status == aErrNone) status = _transfer_firmware(display, device, bird, viaRouter, ueiBytesLoad, &failure);
  return true;
}

// What the device's entry keeps of a successful update: the file (a path, or the build's
// name in the store) and when. A record that cannot be saved is said; the device has its
// new firmware all the same.
void _record_transfer(UpdaterDisplayInterface& display, RunStore& store, uint32_t serial, UpdaterStoreItem& entry,
                      const std::string& birdPath) {
  entry.attributes.Add("LATEST_TRANSFER", birdPath);
  entry.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::CurrentDate());
  if (entry.attributes.Save(nullptr)) return;
  display.message(1, "Failed to record the transfer in %s: %s", entry.attributes.path.c_str(),
                  entry.attributes.SaveFailure().c_str());
  store.forget(serial);  // the run holds no more than the file does
}

}  // namespace
}  // namespace updater

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                              uint32_t routerSerial, bool override) {
  if (serial == 0) {
    display.message(1, "Update command must specify the specific device");
    return false;
  }
  if (!runStore.open(display, "Update_Firmware")) return false;
  UpdaterStoreItem* found = runStore.find(serial);
  UpdaterStoreItem none;  // no entry: nothing stored to fall back on, nothing recorded
  UpdaterStoreItem& entry = found != nullptr ? *found : none;
  const bool hasEntry = found != nullptr;
  const aTime start = aTime_GetMSTicks();

  if (birdPath.empty()) {
    build = updater::_choose_build(display, serverUrl, serial, build, entry);
    if (build == 0) return false;
  }
  BirdFile bird;
  try {
    bird = load_bird("Updating", birdPath, serial, build, false);
  } catch (const std::runtime_error&) {
    display.message(1, "Failed to load bird file");
    return false;
  }
  if (!updater::_patch_serial_number(bird, serial)) {
    display.message(1, "Failed to update module [%08X]: the serial number cannot be patched into the firmware",
                    serial);
    return false;
  }

  // A connection or transfer that fails leaves its status; the steps after it are skipped.
  Module device(moduleAddress, 0);
  aErr status = aErrNone;
  std::string failure;  // what failed in the transfer; a failed connection has said so itself
  if (!updater::_connect_device(display, *this, device, serial, moduleAddress, routerSerial, status)) return false;
  if (status == aErrNone && !updater::_transfer_update(display, device, bird, serial, override, routerSerial != 0,
                                                       ueiBytesLoad, status, failure))
    return false;
  if (status != aErrNone) {
    Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(status));
    if (!failure.empty()) display.message(1, "Failed to update module [%08X]: %s", serial, failure.c_str());
    return false;
  }

  if (hasEntry)
    updater::_record_transfer(display, runStore, serial, entry, birdPath.empty() ? updater::_bird_name(build) : birdPath);
  Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
  const aTime end = aTime_GetMSTicks();
  display.message(0, "Update time: %.4f sec", (static_cast<double>(end) - static_cast<double>(start)) / 1000.0);
  return true;
}

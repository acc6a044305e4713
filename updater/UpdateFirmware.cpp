// The firmware update: choosing the build, loading and patching its BIRD file,
// connecting directly or through a router module, validating the file against the
// device, sending loader and firmware, and recording the transfer in the store.
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

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                              uint32_t routerSerial, bool override) {
  if (serial == 0) {
    display.message(1, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = updater::_createUpdaterStore(display, storeRoot, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem entry;
  const bool hasEntry = store->FindDevice(serial, &entry);
  const aTime start = aTime_GetMSTicks();

  if (birdPath.empty()) {
    if (build == 0) {
      std::string buildText, versionText;
      UpdateServerRequest::QueryBuild(serial, buildText, versionText, serverUrl.c_str());
      if (!updater::_to_build_number(buildText, build)) {
        Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        build = 0;
      }
      if (build != 0) {
        try {
          (void)entry.ReadBirdFile(updater::_bird_name(build).c_str());
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
    if (build == 0) {
      display.message(1, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile bird;
  try {
    bird = load_bird("Updating", birdPath, serial, build, false);
  } catch (const std::runtime_error&) {
    display.message(1, "Failed to load bird file");
    return false;
  }
  if (bird.hasSerialOffsets) {
    Log::log(Log::DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.ReplaceSerialNumber(serial)) {
      Log::log(Log::DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(Log::DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module device(moduleAddress, 0);
  aErr status = updater::_disableQuivel(device, display);
  if (status == aErrNone) {
    if (routerSerial == 0) {
      status = device.connect(kLinkTypeUSB, serial);
      if (status == aErrNotFound) status = device.connect(kLinkTypeTCPIP, serial);
      if (status != aErrNone) display.message(1, "Failed to connect to module [%08X]", serial);
    } else {
      if (moduleAddress == 0) {
        const std::vector<DeviceInfo> network = Discover_TWNetwork_Devices(routerSerial, kLinkTypeNone);
        if (network.empty()) {
          display.message(1, "Unable to find modules on Network");
          return false;
        }
        uint16_t networkAddress = 0;
        for (const DeviceInfo& row : network)
          if (row.spec.serialNumber == serial) networkAddress = row.networkAddress;
        if (networkAddress == 0) {
          display.message(1,
                          "Module address required for indirect firmware update, could not find serial number "
                          "[0x%08X] on network",
                          serial);
          return false;
        }
        device.setModuleAddress(static_cast<uint8_t>(networkAddress));
      }
      Module router(0, 0);
      status = updater::_disableQuivel(router, display);
      if (status == aErrNone) {
        aErr e = router.connect(kLinkTypeUSB, routerSerial);
        if (e == aErrNotFound) e = router.connect(kLinkTypeTCPIP, routerSerial);
        if (e != aErrNone) {
          display.message(1, "Failed to connect to link module [%08X]", routerSerial);
          return false;
        }
        status = device.connectThroughLinkModule(&router);
        if (status != aErrNone) display.message(1, "Failed to connect to module [%08X]", serial);
      }
    }
  }

  if (status == aErrNone && !override && !updater::_validate_birdfile(display, bird, device, serial)) {
    display.message(1, "Birdfile failed validation");
    return false;
  }
  if (status == aErrNone) status = updater::_transfer_loader(display, device, bird);
  if (status == aErrNone && !device.isConnected()) {
    device.disconnect();
    updater::_reconnect_usb(device, serial);
  }
  if (status == aErrNone) status = updater::_transfer_firmware(display, device, bird, routerSerial != 0, ueiBytesLoad);
  if (status != aErrNone) {
    Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(status));
    return false;
  }

  if (birdPath.empty()) birdPath = updater::_bird_name(build);
  if (hasEntry) {
    entry.attributes.Add("LATEST_TRANSFER", birdPath);
    entry.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::CurrentDate());
    entry.attributes.Save(nullptr);
  }
  Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
  const aTime end = aTime_GetMSTicks();
  display.message(0, "Update time: %.4f sec", (static_cast<double>(end) - static_cast<double>(start)) / 1000.0);
  return true;
}

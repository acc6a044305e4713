// The firmware update: choosing the build, loading and patching its BIRD file,
// connecting directly or through a router module, validating the file against the
// device, sending loader and firmware, and recording the transfer in the store.
#include <stdexcept>
#include <vector>

#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "common/unix/aTime.h"
#include "updater/cli/Log.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/firmware/UpdaterEntity.h"
#include "updater/UpdaterRoutines.h"

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::SystemClass;

BirdFile Updater::load_bird(const char* verb, std::string birdPath, uint32_t serial, uint32_t build, bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeRoot, "load_bird");
  if (!store) return BirdFile();
  if (!birdPath.empty()) {
    display.message(0, "%s from Birdfile: %s", verb, birdPath.c_str());
    return BirdFile(birdPath.c_str());
  }
  UpdaterStoreItem device = store->AddDevice(serial);
  display.message(0, "%s firmware with build: %u", verb, build);
  const std::string name = _bird_name(build);
  try {
    return device.ReadBirdFile(name.c_str());
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(0, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return device.ReadBirdFile(name.c_str());
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& device, uint32_t serial) {
  if (bird.blocks.empty()) return false;
  if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serial)) return false;
  Log::log(Log::DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&device, 0);
  uint32_t deviceSerial = 0;
  aErr e = system.getSerialNumber(&deviceSerial);
  if (e != aErrNone || deviceSerial != serial) {
    Log::log(Log::DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", static_cast<int>(e));
    return false;
  }
  uint8_t model = 0;
  e = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(1, "Connected device model and Bird file model do not match [%s] (%d)", name,
                    static_cast<int>(e));
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& device, BirdFile& bird) {
  UpdaterEntity entity;
  entity.init(&device, 0, true, false);
  aErr status = entity.LoaderInit();
  if (status != aErrNone) {
    Log::log(Log::DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(status),
             aError_GetErrorText(status));
    return status;
  }
  display.message(0, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER);
  const int count = static_cast<int>(blocks.size());
  display.display_progress(true);
  int n = 1;
  uint32_t total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(0, "Transferring loader block %d of %d, %d bytes", n, count, static_cast<int>(block.length));
    uint16_t size = 0;
    aErr e = entity.TransferPrepare(block.data, block.length, block.flags, size);
    if (e != aErrNone && e != aErrTimeout) {
      Log::log(Log::DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(e), aError_GetErrorText(e));
      status = e;
      break;
    }
    e = entity.LoaderTransfer(block.data, block.length);
    if (e != aErrNone) {
      // A loader with a missing or damaged block must never be started.
      Log::log(Log::DEBUG_Updater, "Error loader transfer [%d, %s].\n", static_cast<int>(e), aError_GetErrorText(e));
      status = e;
      break;
    }
    total += block.length;
    n++;
  }
  display.message(0, "Transferred %d blocks, %d total bytes", n - 1, static_cast<int>(total));
  display.display_progress(false);
  if (status == aErrNone) {
    display.message(0, "Starting Load on Device");
    const aErr e = entity.LoaderStart();
    if (e == aErrTimeout) {
      Log::log(Log::DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    } else if (e != aErrNone) {
      display.message(1, "Error starting loader [%d, %s]", static_cast<int>(e), aError_GetErrorText(e));
      status = e;
    }
  }
  return status;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& device, BirdFile& bird, bool viaRouter,
                        bool ueiBytesLoad) {
  UpdaterEntity entity;
  entity.init(&device, 0, true, viaRouter);
  if (ueiBytesLoad && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
  Log::log(Log::DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  const unsigned count = static_cast<unsigned>(blocks.size());
  unsigned n = 1;
  uint32_t total = 0;
  aErr status = aErrNone;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < Updater::BLOCK_RETRIES; attempt++) {
      display.message(0, "Transferring firmware block %u of %u, %d bytes", n, count, static_cast<int>(block.length));
      if (attempt > 0) display.message(0, "  Retry %d", attempt);
      uint16_t size = 0;
      status = entity.TransferPrepare(block.data, block.length, block.flags, size);
      if (status != aErrNone) {
        Log::log(Log::DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", static_cast<int>(status),
                 aError_GetErrorText(status));
        break;
      }
      status = entity.FirmwareTransfer(block.data, block.length, size, display);
      if (status == aErrNone) break;
      Log::log(Log::DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(status),
               aError_GetErrorText(status));
    }
    if (status != aErrNone) {
      Log::log(Log::DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    n++;
  }
  display.message(0, "Transferred %d blocks, %d total bytes", static_cast<int>(n - 1), static_cast<int>(total));
  if (status == aErrNone) status = entity.LoaderReboot(display);
  return status;
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                              uint32_t routerSerial, bool override) {
  if (serial == 0) {
    display.message(1, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeRoot, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem entry;
  const bool hasEntry = store->FindDevice(serial, &entry);
  const aTime start = aTime_GetMSTicks();

  if (birdPath.empty()) {
    if (build == 0) {
      std::string buildText, versionText;
      UpdateServerRequest::QueryBuild(serial, buildText, versionText, serverUrl.c_str());
      if (!_to_build_number(buildText, build)) {
        Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
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
  aErr status = _disableQuivel(device, display);
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
      status = _disableQuivel(router, display);
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

  if (status == aErrNone && !override && !_validate_birdfile(display, bird, device, serial)) {
    display.message(1, "Birdfile failed validation");
    return false;
  }
  if (status == aErrNone) status = _transfer_loader(display, device, bird);
  if (status == aErrNone && !device.isConnected()) {
    device.disconnect();
    _reconnect_usb(device, serial);
  }
  if (status == aErrNone) status = _transfer_firmware(display, device, bird, routerSerial != 0, ueiBytesLoad);
  if (status != aErrNone) {
    Log::log(Log::DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(status));
    return false;
  }

  if (birdPath.empty()) birdPath = _bird_name(build);
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

#include "updater/recovery/ImxRecovery.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "updater/FirmwareTransfer.h"
#include "updater/ModuleConnection.h"
#include "updater/OpenStore.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/IMX1050.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader_unix.h"

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::SystemClass;

namespace {
constexpr const char* HID_PORT = "USB";
constexpr uint32_t ADDRESS_BYTES = 4;

// Messages stay off while it lives, and come back however the scope ends.
class MutedDisplay {
public:
  explicit MutedDisplay(UpdaterDisplayInterface& display) : display_(display) { display_.mute_messages(true); }
  ~MutedDisplay() { display_.mute_messages(false); }
  MutedDisplay(const MutedDisplay&) = delete;
  MutedDisplay& operator=(const MutedDisplay&) = delete;

private:
  UpdaterDisplayInterface& display_;
};

uint32_t bigEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string loaderWriteFailure(uint8_t result, uint32_t address) {
  switch (result) {
    case SDPLoader::SDP_NO_ANSWER:
      return "no answer from the boot ROM";
    case SDPLoader::SDP_UNEXPECTED_INPUT:
      return "unexpected bytes from the boot ROM during the loader block at " + hex8(address);
    default:
      return "no status for the loader block at " + hex8(address);
  }
}
}  // namespace

namespace updater {

namespace {

// The file whose loader blocks start the chip: birdPath (only with a real serial
// number), else the store's latest download for serial, else one downloaded with the
// display muted. False when there is none; a refusal is shown, a load error logged.
bool _find_loader_file(UpdaterDisplayInterface& display, Updater& updater, uint32_t serial, const std::string& birdPath,
                       BirdFile& bird) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.GetStoreRoot(), "_get_fingerprint_imx");
  if (!store) return false;
  UpdaterStoreItem item;
  store->FindDevice(serial, &item);

  std::string name;
  if (!birdPath.empty()) {
    if (serial == Updater::PLACEHOLDER_SERIAL) {
      display.message(1, "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
  } else if (item.IsValid()) {
    name = item.attributes.GetString("LATEST_DOWNLOAD", "");
  } else {
    MutedDisplay muted(display);
    Log::log(Log::DEBUG_APP, "Existing loader device not found. Downloading.\n");
    const uint32_t build = updater.Download_Firmware(serial, std::string(), false, false);
    if (build != 0) {
      name = std::to_string(build) + ".bird";
      store->FindDevice(serial, &item);
    }
  }
  try {
    // A file given by path passes the header test a stored one does before its loader is
    // sent to the boot ROM.
    if (!birdPath.empty() && !BirdFile::VerifyFile(birdPath.c_str()))
      throw std::runtime_error("Invalid bird " + birdPath);
    bird = birdPath.empty() ? item.ReadBirdFile(name.c_str()) : BirdFile(birdPath.c_str());
  } catch (const std::runtime_error& e) {
    Log::log(Log::DEBUG_APP, "%s\n", e.what());
    return false;
  }
  return true;
}

// The started loader on USB. A loader may come up as the placeholder even when the
// device's own serial number is known (that is the loader's choice), so each round
// looks for both, as the firmware step does.
bool _connect_loader(Module& module, UpdaterDisplayInterface& display, uint32_t serial, std::string& failure) {
  if (_disableQuivel(module, display) != aErrNone) return false;
  std::vector<uint32_t> serials = {Updater::PLACEHOLDER_SERIAL};
  if (serial != Updater::PLACEHOLDER_SERIAL) serials.push_back(serial);
  _reconnect_usb(module, serials, LibusbRefresh::EveryThirdRound);
  if (module.isConnected()) return true;
  Log::log(Log::DEBUG_APP, "Could not connect to device.\n");
  failure = "no loader on USB after " + std::to_string(Updater::CONNECT_ATTEMPTS) + " tries";
  return false;
}

// The four identifier words, identifier i into word 3 - i.
bool _read_identifier(SystemClass& system, Fingerprint& fingerprint, std::string& failure) {
  for (uint8_t i = 0; i < 4; i++) {
    if (system.getUEI32(systemUniqueIdentifier, i, &fingerprint[3 - i]) != aErrNone) {
      Log::log(Log::DEBUG_APP, "Error getting Identifier %d.\n", i);
      failure = "the loader did not give identifier " + std::to_string(i);
      return false;
    }
  }
  return true;
}

}  // namespace

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string serialPort,
                          uint32_t serial, std::string birdPath, Fingerprint& fingerprint, bool reset,
                          std::string& failure) {
  if (serial == 0) serial = Updater::PLACEHOLDER_SERIAL;
  BirdFile bird;
  if (!_find_loader_file(display, updater, serial, birdPath, bird)) return false;
  if (_transfer_recovery_loader(display, bird, serialPort, &failure) != aErrNone) {
    Log::log(Log::DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, 0);
  if (!_connect_loader(module, display, serial, failure)) return false;
  SystemClass system;
  system.init(&module, 0);
  if (!_read_identifier(system, fingerprint, failure)) return false;
  if (reset) system.reset();
  return true;
}

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, std::string serialPort, std::string* cause) {
  std::string unused;
  std::string& why = cause != nullptr ? *cause : unused;
  Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader loader;
  if (serialPort == HID_PORT) {
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  } else {
    loader.setLoader(new Serial_SDPLoader(serialPort.c_str()));
  }
  if (loader.init() != SDPLoader::SDP_OK) {
    why = serialPort == HID_PORT ? "no i.MX boot ROM on USB" : "could not open the boot ROM's serial line";
    return aErrNotReady;
  }

  uint8_t counter = 0;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)) {
    // Loading refuses loader blocks without their address; one that got here anyway
    // carries no image byte and goes nowhere.
    if (block.length < ADDRESS_BYTES) {
      Log::log(Log::DEBUG_Updater, "Skipping loader block of %u bytes: no load address\n", block.length);
      continue;
    }
    const uint32_t address = bigEndian(block.data);
    std::vector<uint8_t> payload(block.data + ADDRESS_BYTES, block.data + block.length);
    Log::log(Log::DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", counter, payload.size(),
             static_cast<int>(address));
    counter++;
    const uint8_t written = loader.writeLoader(std::move(payload), address);
    if (written != SDPLoader::SDP_OK) {
      why = loaderWriteFailure(written, address);
      return aErrConnection;
    }
  }

  uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  const std::vector<BirdBlock> entries = bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER_ENTRY);
  if (!entries.empty() && entries[0].length >= ADDRESS_BYTES) entry = bigEndian(entries[0].data);
  if (loader.startLoader(entry) != SDPLoader::SDP_OK) {
    why = "the boot ROM refused the jump to the loader at " + hex8(entry);
    return aErrPermission;
  }
  return aErrNone;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serial, bool ueiBytes) {
  Module module(0, 0);
  aErr result = _disableQuivel(module, display);
  if (result == aErrNone) {
    std::vector<uint32_t> serials = {Updater::PLACEHOLDER_SERIAL};
    if (serial != 0 && serial != Updater::PLACEHOLDER_SERIAL) serials.push_back(serial);
    // The fingerprint step found the loader a moment ago: the shared libusb context is kept.
    _reconnect_usb(module, serials, LibusbRefresh::Never);
    if (!module.isConnected()) {
      display.message(1, "Could not connect to device");
      return false;
    }
    result = _transfer_firmware(display, module, bird, false, ueiBytes);
  }
  if (result != aErrNone) {
    display.message(1, "Failed to transfer firmware");
    return false;
  }
  return true;
}

}  // namespace updater

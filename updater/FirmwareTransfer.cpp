#include "updater/FirmwareTransfer.h"

#include <string>
#include <vector>

#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "updater/DeviceSession.h"
#include "updater/ModuleConnection.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"
#include "updater/firmware/UpdaterEntity.h"

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::SystemClass;

namespace updater {

Validation _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& device, uint32_t serial) {
  if (bird.blocks.empty()) return Validation::kInvalid;
  if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serial)) return Validation::kInvalid;
  Log::log(Log::DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&device, 0);
  uint32_t deviceSerial = 0;
  aErr e = system.getSerialNumber(&deviceSerial);
  if (e != aErrNone || deviceSerial != serial) {
    Log::log(Log::DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", static_cast<int>(e));
    // A device that never answered is no mismatch: a module busy with another host.
    return _unanswered(e) ? Validation::kUnanswered : Validation::kInvalid;
  }
  uint8_t model = 0;
  e = system.getModel(&model);
  if (_unanswered(e)) return Validation::kUnanswered;
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(1, "Connected device model and Bird file model do not match [%s] (%d)", name,
                    static_cast<int>(e));
    return Validation::kInvalid;
  }
  return Validation::kValid;
}

namespace {

// "<part> <what the entity ran into>", for the caller's error line.
void describeFailure(std::string* failure, const char* part, const UpdaterEntity& entity, aErr status) {
  if (failure == nullptr || status == aErrNone) return;
  *failure = std::string(part) + " " +
             (entity.LastFailure().empty() ? std::string(aError_GetErrorDescription(status)) : entity.LastFailure());
}

// A session broken under a transfer ends it, whatever its last request came to: what
// was sent before may no longer be what the device holds, and a retry would carry on in
// the other host's session. The result then, with *failure saying so.
aErr sessionLost(const char* part, std::string* failure) {
  Log::log(Log::DEBUG_Updater, "The %s transfer lost its session with the device.\n", part);
  if (failure != nullptr) *failure = std::string(part) + " " + kSessionBroken;
  return aErrConnection;
}

}  // namespace

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& device, BirdFile& bird, std::string* failure) {
  UpdaterEntity entity;
  entity.init(&device, 0, true, false);
  // From INIT to the loader's start; the start itself may take the device off its link.
  const DeviceSession session(device);
  aErr status = entity.LoaderInit();
  if (!session.unbroken()) return sessionLost("loader", failure);
  if (status != aErrNone) {
    Log::log(Log::DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(status),
             aError_GetErrorText(status));
    describeFailure(failure, "loader", entity, status);
    return status;
  }
  display.message(0, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER);
  const int count = static_cast<int>(blocks.size());
  display.display_progress(true);
  int n = 1;
  uint32_t total = 0;
  bool lost = false;
  for (const BirdBlock& block : blocks) {
    display.message(0, "Transferring loader block %d of %d, %d bytes", n, count, static_cast<int>(block.length));
    uint16_t size = 0;
    aErr e = entity.TransferPrepare(block.data, block.length, block.flags, size);
    if (e != aErrNone && e != aErrTimeout) {
      Log::log(Log::DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(e), aError_GetErrorText(e));
      status = e;
      lost = !session.unbroken();
      break;
    }
    e = entity.LoaderTransfer(block.data, block.length);
    lost = !session.unbroken();
    if (e != aErrNone || lost) {
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
  if (lost) return sessionLost("loader", failure);
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
  describeFailure(failure, "loader", entity, status);
  return status;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& device, BirdFile& bird, bool viaRouter,
                        bool ueiBytesLoad, std::string* failure) {
  UpdaterEntity entity;
  entity.init(&device, 0, true, viaRouter);
  // From the first request to the reboot, which ends it.
  const DeviceSession session(device);
  if (ueiBytesLoad && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
  Log::log(Log::DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  const unsigned count = static_cast<unsigned>(blocks.size());
  unsigned n = 1;
  uint32_t total = 0;
  aErr status = aErrNone;
  bool lost = false;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < Updater::BLOCK_RETRIES; attempt++) {
      display.message(0, "Transferring firmware block %u of %u, %d bytes", n, count, static_cast<int>(block.length));
      if (attempt > 0) display.message(0, "  Retry %d", attempt);
      uint16_t size = 0;
      status = entity.TransferPrepare(block.data, block.length, block.flags, size);
      if (status != aErrNone) {
        Log::log(Log::DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", static_cast<int>(status),
                 aError_GetErrorText(status));
        lost = !session.unbroken();
        break;
      }
      status = entity.FirmwareTransfer(block.data, block.length, size, display);
      // A block that failed because another host took the device is not tried again.
      lost = !session.unbroken();
      if (status == aErrNone || lost) break;
      Log::log(Log::DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(status),
               aError_GetErrorText(status));
    }
    if (status != aErrNone || lost) {
      Log::log(Log::DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    n++;
  }
  display.message(0, "Transferred %d blocks, %d total bytes", static_cast<int>(n - 1), static_cast<int>(total));
  if (lost || (status == aErrNone && !session.unbroken())) return sessionLost("firmware", failure);
  if (status == aErrNone) status = entity.LoaderReboot(display);
  describeFailure(failure, "firmware", entity, status);
  return status;
}

}  // namespace updater

// The chip fingerprint and the recovery through a chip's boot ROM: the family is found
// by trying the LPC handshake on the port first, then the i.MX road.
#include <stdexcept>
#include <string>
#include <vector>

#include "common/unix/aTime.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"
#include "updater/recovery/ImxRecovery.h"
#include "updater/recovery/LpcRecovery.h"
#include "updater/server/UpdateServerRequest.h"

namespace {

// Whether the file holds an image to write: a firmware block with data past its four
// address bytes before the first end marker (a block of eight data bytes). Either road
// would otherwise erase or restart the chip and report success with nothing written.
bool _has_firmware_image(const BirdFile& bird) {
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)) {
    if (block.length == 8) return false;
    if (block.length > 4) return true;
  }
  return false;
}


// What the fingerprint step found: the family it talked to, whether the four words were
// read, and why not, in words, where no message has said so yet. The recovery takes the
// family from here, not from state the step leaves behind.
struct ChipIdentity {
  uint8_t family = 0;
  bool read = false;
  std::string failure;
};

ChipIdentity _identify_chip(UpdaterDisplayInterface& display, Updater& updater, Fingerprint& fingerprint,
                            const std::string& serialPort, uint32_t serial, const std::string& birdPath, uint32_t baud,
                            bool reset) {
  ChipIdentity found;
  const updater::LpcProbe lpc = updater::_get_fingerprint_lpc(serialPort, baud, fingerprint, found.failure);
  if (lpc != updater::LpcProbe::NoChip) {
    // An LPC chip that answered the handshake is no i.MX part, whatever it did next.
    found.family = Updater::CHIP_FAMILY_LPC;
    found.read = lpc == updater::LpcProbe::Read;
    return found;
  }
  found.family = Updater::CHIP_FAMILY_IMX;
  found.read = updater::_get_fingerprint_imx(display, updater, serialPort, serial, birdPath, fingerprint, reset,
                                             found.failure);
  return found;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, uint32_t serial,
                              std::string birdPath, uint32_t baud, bool reset) {
  const ChipIdentity chip = _identify_chip(display, *this, fingerprint, serialPort, serial, birdPath, baud, reset);
  if (!chip.read && !chip.failure.empty())
    display.message(1, "Failed to read the fingerprint of the chip on %s: %s", serialPort.c_str(),
                    chip.failure.c_str());
  return chip.read;
}

bool Updater::Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baud, uint32_t serial,
                               std::string birdPath, bool) {
  const aTime start = aTime_GetMSTicks();
  BirdFile bird;
  uint32_t recoveryBuild = 0;
  Fingerprint fingerprint;
  const ChipIdentity chip =
      _identify_chip(display, *this, fingerprint, serialPort, serial, birdPath, updater::LPC_FINGERPRINT_BAUD, false);
  if (!chip.read) {
    if (!chip.failure.empty())
      display.message(1, "Failed to recover the chip on %s: %s", serialPort.c_str(), chip.failure.c_str());
    display.message(1, "Could not get Device Identifier");
    return false;
  }
  if (birdPath.empty()) {
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.data(), &serial, &recoveryBuild, serverUrl.c_str())) {
      display.message(1, "Failed to retrieve recovery information from Quenlark server");
      return false;
    }
    if (build != 0) recoveryBuild = build;
  }
  try {
    bird = load_bird("Recovering", birdPath, serial, recoveryBuild, true);
  } catch (const std::runtime_error&) {
    display.message(1, "Failed to load bird file");
    return false;
  }
  if (!_has_firmware_image(bird)) {
    Log::log(Log::DEBUG_Updater, "Recover_Firmware: no firmware image in [%s]\n", bird.path.c_str());
    display.message(1, "Failed to load bird file");
    return false;
  }
  if (bird.hasSerialOffsets) {
    display.message(1, "Updater does not support offline recovery");
    return false;
  }
  bool result = false;
  if (chip.family == CHIP_FAMILY_IMX) {
    result = updater::_recover_firmware_imx(display, bird, serial, ueiBytesLoad);
  } else {
    bird.DecodeFirmwareBlocks(fingerprint.data());
    result = updater::_recover_firmware_lpc(display, bird, serialPort, baud, fingerprint);
  }
  display.message(0, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return result;
}

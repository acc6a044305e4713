#pragma once
// The i.MX road of the recovery: a loader sent to the chip's boot ROM over the serial
// download protocol, the fingerprint read from the running loader over the device
// link, the firmware sent to it with the upgrade protocol.
//
// Not built yet: every step refuses (false, or aErrUnimplemented) and says so in the
// log, so a port where no LPC chip answers ends the fingerprint with its failure.
#include <cstdint>
#include <string>

#include "common/aErr.h"
#include "updater/Fingerprint.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/BirdFile.h"

class Updater;

namespace updater {

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string serialPort,
                          uint32_t serial, std::string birdPath, Fingerprint& fingerprint, bool reset);
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string serialPort);
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serial, bool ueiBytes);

}  // namespace updater

#pragma once
// The i.MX road of the recovery: a loader sent to the chip's boot ROM over the serial
// download protocol, the fingerprint read from the running loader over the device
// link, the firmware sent to it with the upgrade protocol.
#include <cstdint>
#include <string>

#include "common/aErr.h"
#include "updater/Fingerprint.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/BirdFile.h"

class Updater;

namespace updater {

// Starts the loader (from birdPath when a serial number is given, else from the store's
// latest download for that serial number, else downloaded with the display muted), finds
// it on USB by either serial number, and reads the chip's four identifier words into
// fingerprint, identifier 3 as word 0. reset: reset the chip afterwards (the loader
// leaves). serial 0 stands for PLACEHOLDER_SERIAL. When it fails at the boot ROM or on
// USB, failure says why (nothing is set where a message was shown already).
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string serialPort,
                          uint32_t serial, std::string birdPath, Fingerprint& fingerprint, bool reset,
                          std::string& failure);
// The loader blocks of bird written into the chip's RAM through its boot ROM, then the
// jump to the loader. serialPort "USB" (exactly) reaches the boot ROM over USB HID,
// anything else is the path of its serial line. aErrNotReady when the boot ROM cannot be
// reached, aErrConnection when a block is not taken (nothing is started then),
// aErrPermission when the boot ROM refuses the jump, else 0. cause, when given, gets
// the reason of a failure in words.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string serialPort,
                               std::string* cause = nullptr);
// Sends the firmware of bird to the running loader, found on USB as PLACEHOLDER_SERIAL or
// serial, with the upgrade protocol, whose last step reboots the chip.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serial, bool ueiBytes);

}  // namespace updater

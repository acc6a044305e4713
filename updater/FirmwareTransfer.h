#pragma once
// The upgrade steps of a connected device: checking that a BIRD file belongs to it, sending
// and starting the loader, and sending the firmware and rebooting. An update runs all
// three; a recovery that reaches a running loader sends only the firmware.
#include <cstdint>
#include <string>

#include "api/Module.h"
#include "common/aErr.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/BirdFile.h"

namespace updater {

enum class Validation {
  kValid,
  kInvalid,      // the file is not for this device (a model mismatch is shown here)
  kUnanswered,   // the device did not answer its serial number or model query (nothing shown)
};
// The file has blocks, names this serial number (unless it is patched in), and the device
// reports this serial number and a model the file accepts. The caller shows that
// validation failed, or that the device could not be asked.
Validation _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Quenlark::Tallowick::Module& device,
                              uint32_t serial);
// Sends the loader blocks and starts the loader. The device may leave its link when the
// loader starts: the caller finds it again before the firmware goes out. On a failure,
// *failure (when given) says which request failed and how ("loader INIT unanswered").
aErr _transfer_loader(UpdaterDisplayInterface& display, Quenlark::Tallowick::Module& device, BirdFile& bird,
                      std::string* failure = nullptr);
// Sends the firmware blocks, each up to Updater::BLOCK_RETRIES times, then reboots the
// device. viaRouter: the device sits behind a router module, whose link stays up through
// the reboot. ueiBytesLoad: try the UEI byte transfer and pooled packets.
// *failure as for the loader ("firmware PREPARE refused").
aErr _transfer_firmware(UpdaterDisplayInterface& display, Quenlark::Tallowick::Module& device, BirdFile& bird,
                        bool viaRouter, bool ueiBytesLoad, std::string* failure = nullptr);

}  // namespace updater

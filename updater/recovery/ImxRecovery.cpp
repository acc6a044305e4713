#include "updater/recovery/ImxRecovery.h"

#include "updater/cli/Log.h"

namespace updater {

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater&, std::string serialPort, uint32_t,
                          std::string, Fingerprint&, bool) {
  Log::log(Log::DEBUG_APP, "No LPC chip answered on %s; i.MX chips are not supported by this build.\n",
           serialPort.c_str());
  display.message(1, "No LPC chip answered on %s; recovery of i.MX chips is not available in this build.",
                  serialPort.c_str());
  return false;
}

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile&, std::string) { return aErrUnimplemented; }

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile&, uint32_t, bool) {
  display.message(1, "Failed to transfer firmware");
  return false;
}

}  // namespace updater

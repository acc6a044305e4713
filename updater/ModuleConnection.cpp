#include "updater/ModuleConnection.h"

#include "api/QuivelConfig.h"
#include "common/aLibusb.h"
#include "common/unix/aTime.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::QuivelConfig;

namespace updater {

aErr _disableQuivel(Module& module, UpdaterDisplayInterface& display) {
  QuivelConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  const aErr e = module.setConfig(config);
  if (e != aErrNone) display.message(1, "Failed to SET network configuration");
  return e;
}

bool _unanswered(aErr e) { return e == aErrNotReady || e == aErrTimeout || e == aErrConnection; }

void _reconnect_usb(Module& module, const std::vector<uint32_t>& serials, LibusbRefresh refresh) {
  for (int round = 1; round <= Updater::CONNECT_ATTEMPTS; round++) {
    if (refresh == LibusbRefresh::EveryThirdRound && round % 3 == 0) {
      Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Tallowick_libusb_exit();
    }
    for (const uint32_t serial : serials) {
      module.discoverAndConnect(kLinkTypeUSB, serial);
      if (module.isConnected()) return;
    }
    aTime_MSSleep(1000);
  }
}

void _reconnect_usb(Module& module, uint32_t serial) {
  _reconnect_usb(module, {serial}, LibusbRefresh::EveryThirdRound);
}

}  // namespace updater

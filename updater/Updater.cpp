#include "updater/Updater.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "api/QuivelConfig.h"
#include "common/aLibusb.h"
#include "common/unix/aTime.h"
#include "updater/cli/Log.h"
#include "updater/UpdaterRoutines.h"

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::QuivelConfig;

Updater::Updater(const char* url, const char* root, UpdaterDisplayInterface& console)
    : serverUrl(url != nullptr ? url : ""), storeRoot(root != nullptr ? root : ""), display(console) {}

bool Updater::IsAvailable(Operation operation) {
  switch (operation) {
    case Operation::Update:
    case Operation::Download:
    case Operation::Discovery:
    case Operation::BuildList:
    case Operation::LocalBuildList:
    case Operation::Fingerprint:
    case Operation::Recovery:
      return true;
  }
  return false;
}

void Updater::ReportUnavailable(Operation operation) {
  const char* name = "This operation";
  switch (operation) {
    case Operation::Update: name = "Firmware update"; break;
    case Operation::Download: name = "Firmware download"; break;
    case Operation::Discovery: name = "Device discovery"; break;
    case Operation::BuildList: name = "Listing the server's builds"; break;
    case Operation::LocalBuildList: name = "Listing the local builds"; break;
    case Operation::Fingerprint: name = "Reading a chip fingerprint"; break;
    case Operation::Recovery: name = "Firmware recovery"; break;
  }
  display.message(1, "%s is not available in this build.", name);
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* operation) {
  try {
    return std::make_unique<UpdaterStore>(root.c_str());
  } catch (const std::runtime_error& e) {
    display.message(1, "Failed to Create UpdaterStore in: %s - Exception: %s", operation, e.what());
    return nullptr;
  }
}

aErr _disableQuivel(Module& module, UpdaterDisplayInterface& display) {
  QuivelConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  const aErr e = module.setConfig(config);
  if (e != aErrNone) display.message(1, "Failed to SET network configuration");
  return e;
}

void _reconnect_usb(Module& module, uint32_t serial) {
  for (int attempt = 1; attempt <= Updater::CONNECT_ATTEMPTS; attempt++) {
    if (attempt % 3 == 0) {
      Log::log(Log::DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Tallowick_libusb_exit();
    }
    module.discoverAndConnect(kLinkTypeUSB, serial);
    if (module.isConnected()) return;
    aTime_MSSleep(1000);
  }
}

bool _to_build_number(const std::string& text, uint32_t& build) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) at++;
  // stoul takes a sign too; a number must still follow it.
  size_t digits = at;
  if (digits < text.size() && (text[digits] == '+' || text[digits] == '-')) digits++;
  if (digits >= text.size() || !std::isdigit(static_cast<unsigned char>(text[digits]))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str() + at, &end, 10);
  if (errno == ERANGE) return false;
  build = static_cast<uint32_t>(value);
  return true;
}

std::string _bird_name(uint32_t build) { return std::to_string(build) + ".bird"; }

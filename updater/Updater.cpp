#include "updater/Updater.h"

Updater::Updater(const char* url, const char* root, UpdaterDisplayInterface& console)
    : serverUrl(url != nullptr ? url : ""), storeRoot(root != nullptr ? root : ""), runStore(storeRoot), display(console) {}

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

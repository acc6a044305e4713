// Program entry of the firmware updater: parse the command line, resolve the store
// directory and run the requested commands in their fixed order (-N, -G, then the
// first of -D, -U, -B, -L).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/aDirectory.h"
#include "updater/cli/CLI_Display.h"
#include "updater/cli/Log.h"
#include "updater/cli/Parameters.h"
#include "updater/cli/Printers.h"
#include "updater/Updater.h"
#include "updater/cli/Usage.h"

namespace {

const uint32_t kAnyCommand = CMD_LIST_BUILDS | CMD_LIST_LOCAL | CMD_DISCOVER | CMD_GET_BUILD | CMD_INFO |
                             CMD_UPDATE | CMD_FINGERPRINT | CMD_CHECK | CMD_Z;

// The store directory: "updater" inside -i, else inside ".quenlark" in the home
// directory. false when it cannot be resolved or made (already reported).
bool ResolveStore(CLI_Display& display, Parameters& p) {
  char path[2048];
  if (p.storeRoot.empty()) {
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(Log::DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
      // Without this line the run would end with status 1 and no word why.
      display.message(1, "Could not find the home directory; name the store location with -i");
      return false;
    }
    if (aDirectory_BuildPath(path, sizeof path, home, ".quenlark", static_cast<const char*>(nullptr)) !=
        aErrNone) {
      display.message(1, "Could not find updater directory at %s/.quenlark/updater", home);
      return false;
    }
    p.storeRoot = path;
  }
  if (aDirectory_BuildPath(path, sizeof path, p.storeRoot.c_str(), "updater", static_cast<const char*>(nullptr)) !=
      aErrNone) {
    display.message(1, "Could not find updater directory at %s/updater", p.storeRoot.c_str());
    return false;
  }
  p.storeRoot = path;
  if (aDirectory_Ensure(p.storeRoot.c_str(), 0755) != aErrNone) {
    display.message(1, "Could not find updater directory at %s", p.storeRoot.c_str());
    return false;
  }
  return true;
}

// Runs the operation when this build carries it; otherwise reports that it does
// not, so the command counts as failed.
bool Available(Updater& updater, Updater::Operation operation) {
  if (Updater::IsAvailable(operation)) return true;
  updater.ReportUnavailable(operation);
  return false;
}

int RunFingerprint(CLI_Display& display, Updater& updater, Parameters& p) {
  if (!Available(updater, Updater::Operation::Fingerprint)) return 1;
  Fingerprint fingerprint;
  if (updater.Get_Fingerprint(fingerprint, p.serialPort, Updater::PLACEHOLDER_SERIAL, p.birdFile, p.baud, true)) {
    _display_fingerprint(display, fingerprint);
    return 0;
  }
  display.message(1, "Got no response from chip");
  return 1;
}

int RunDownload(CLI_Display& display, Updater& updater, Parameters& p) {
  display.message(0, "Retrieving firmware for device with serial number %08X", p.serial);
  if (p.build.empty()) {
    display.message(0, "No build specified");
    display.message(0, "Using Latest build");
  } else {
    display.message(0, "Retrieving firmware build %s", p.build.c_str());
  }
  if (!Available(updater, Updater::Operation::Download)) return 1;
  uint32_t fetched = updater.Download_Firmware(p.serial, p.build, p.override, false);
  if (fetched == 0) return 1;
  // A following -U installs exactly the build that was stored.
  p.build = std::to_string(fetched);
  return 0;
}

int RunUpdate(CLI_Display& display, Updater& updater, Parameters& p) {
  char* end = nullptr;
  // build holds only decimal text of a 32-bit value (from -b or a download).
  uint32_t build = _get_int_arg(p.build.c_str(), &end);
  updater.Set_UEIBytes_Load(p.ueiBytes);
  bool result = false;
  if (p.link == LINK_RECOVER) {
    if (!Available(updater, Updater::Operation::Recovery)) return 1;
    result = updater.Recover_Firmware(p.serialPort, build, p.baud, p.serial, p.birdFile, p.override);
  } else {
    if (p.serial == 0) {
      display.message(1, "Must specify the specific device to be updated");
      return 1;
    }
    if (!Available(updater, Updater::Operation::Update)) return 1;
    result = updater.Update_Firmware(p.serial, build, p.birdFile, p.moduleAddress, p.routerSerial, p.override);
  }
  return result ? 0 : 1;
}

int RunDiscovery(CLI_Display& display, Updater& updater, Parameters& p) {
  linkType link = (p.linkGiven && p.link != LINK_RECOVER) ? p.link : kLinkTypeNone;
  std::vector<DeviceInfo> list;
  if (p.routerSerial != 0) {
    display.message(0, "Searching for Tallowick Network devices connected to %08X", p.routerSerial);
    if (!Available(updater, Updater::Operation::Discovery)) return 1;
    list = updater.Discover_TWNetwork_Devices(p.routerSerial, link);
  } else {
    display.message(0, "Searching for Tallowick devices");
    if (link == kLinkTypeNone) link = kLinkTypeUSB;
    if (!Available(updater, Updater::Operation::Discovery)) return 1;
    list = updater.Discover_Devices(link);
  }
  _display_device_list(display, list, link);
  return 0;
}

int RunBuildList(CLI_Display& display, Updater& updater, Parameters& p, bool local) {
  if (p.serial == 0) {
    if (local)
      display.message(1, "Error must supply a serial number for the List Local Builds command");
    else
      display.message(1, "Error must supply a serial number for the List Builds command");
    _display_usage(false, false);
    return 1;
  }
  if (!Available(updater, local ? Updater::Operation::LocalBuildList : Updater::Operation::BuildList)) return 1;
  std::map<std::string, std::string> builds =
      local ? updater.Get_BuildListLocal(p.serial) : updater.Get_BuildList(p.serial);
  _display_builds(display, builds, p.serial);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Parameters parameters;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &parameters) != 0) {
    _display_app_version(display);
    _display_usage(false, false);
    return 1;
  }
  _display_app_version(display);

  Parameters& p = parameters;
  if (p.commands.IsSet(CMD_HELP) || !p.commands.IsSet(kAnyCommand)) {
    _display_usage(p.maskGiven, p.helpGiven);
    return 0;
  }

  if (!ResolveStore(display, p)) return 1;

  Updater updater(p.serverUrl.c_str(), p.storeRoot.c_str(), display);
  int status = 0;

  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    if (p.serialPort.empty()) {
      display.message(1, "Must specify the serial port used for connecting");
      return 1;
    }
    status = RunFingerprint(display, updater, p);
  }

  if (p.commands.IsSet(CMD_GET_BUILD)) {
    if (p.serial == 0) {
      display.message(1, "-G must specify a specific device via -d");
      display.message(1, "--help for usage information");
      return 1;
    }
    status = RunDownload(display, updater, p);
  }

  if (p.commands.IsSet(CMD_DISCOVER)) return RunDiscovery(display, updater, p);
  if (p.commands.IsSet(CMD_UPDATE)) return RunUpdate(display, updater, p);
  if (p.commands.IsSet(CMD_LIST_BUILDS)) return RunBuildList(display, updater, p, false);
  if (p.commands.IsSet(CMD_LIST_LOCAL)) return RunBuildList(display, updater, p, true);
  return status;
}

#include "updater/cli/Printers.h"

#include <cstdio>
#include <cstring>

#include "common/aDefs.h"
#include "common/aVersion.h"
#include "updater/cli/CLI_Display.h"
#include "updater/server/UpdateServerRequest.h"

const char* _app_build_date() { return __DATE__; }

void _display_app_version(CLI_Display& display) {
  char version[96];
  std::snprintf(version, sizeof version, "Version: %s %s", aVersion_GetString(), _app_build_date());
  display.message(0, "%s (%s)", "Updater", version);
}

void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds, uint32_t serial) {
  if (builds.empty()) {
    display.message(0, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(0, "Build List for device [%08X]:\n", serial);
  display.message(0, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(0, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint) {
  display.message(0, "[ %08X %08X %08X %08X ]", fingerprint[0], fingerprint[1], fingerprint[2], fingerprint[3]);
}

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType link) {
  const char* kind = link == kLinkTypeUSB ? "USB" : link == kLinkTypeTCPIP ? "TCPIP" : "Unknown";
  display.message(0, "Discovered Devices: (%s)", kind);
  if (list.empty()) {
    display.message(0, "    No devices found.");
    return;
  }
  if (link == kLinkTypeUSB)
    display.message(0, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  else
    display.message(0,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                    "Device Name");
  for (const DeviceInfo& d : list) {
    const linkSpec& s = d.spec;
    const char* model = aDefs_GetModelName(s.model);
    if (model == nullptr) model = "";
    if (s.type == kLinkTypeTCPIP) {
      // The address is kept in network order: its first byte is the first number.
      uint8_t ip[4];
      std::memcpy(ip, &s.t.ip.address, sizeof ip);
      char address[24];
      std::snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
      display.message(0, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s", s.serialNumber,
                      s.module, s.router, model, d.major, d.minor, static_cast<int>(d.patch), d.build, address,
                      d.deviceName.c_str());
    } else if (d.error != 0) {
      display.message(0, "    %08X  [Error (%d): Device in use. Close all other Quenlark associated applications.]",
                      s.serialNumber, d.error);
    } else {
      display.message(0, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", s.serialNumber, s.module,
                      s.router, model, d.major, d.minor, static_cast<int>(d.patch), d.build, d.deviceName.c_str());
    }
  }
}

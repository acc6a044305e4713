#include "updater/Printers.h"

#include <cstdio>

#include "common/aVersion.h"
#include "updater/CLI_Display.h"

const char* _app_build_date() { return __DATE__; }

void _display_app_version(CLI_Display& display) {
  char version[96];
  std::snprintf(version, sizeof version, "Version: %s %s", aVersion_GetString(), _app_build_date());
  display.message(0, "%s (%s)", "Updater", version);
}

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint) {
  display.message(0, "[ %08X %08X %08X %08X ]", fingerprint[0], fingerprint[1], fingerprint[2], fingerprint[3]);
}

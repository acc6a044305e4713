#pragma once
// The console lines of results: the version line and the printers of the commands'
// results. Every line is an information message.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/aLinkSpecifier.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

class CLI_Display;

// The build date part of the version line ("Mmm dd yyyy", as the compiler gives it).
const char* _app_build_date();
void _display_app_version(CLI_Display& display);
// Newest version first.
void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds, uint32_t serial);
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);
// The title and header follow `link`; each row follows its entry's own link type.
void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType link);

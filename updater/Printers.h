#pragma once
// The console lines of results: the version line and the printers of the commands'
// results. Every line is an information message.
#include <cstdint>
#include <map>
#include <string>

#include "updater/Fingerprint.h"

class CLI_Display;

// The build date part of the version line ("Mmm dd yyyy", as the compiler gives it).
const char* _app_build_date();
void _display_app_version(CLI_Display& display);
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);

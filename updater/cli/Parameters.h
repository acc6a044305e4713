#pragma once
// The parsed command line of one run, and the parsing of it.
#include <cstdint>
#include <string>

#include "updater/cli/OptionParser.h"

class CLI_Display;

// Requested commands, one bit each.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x1,      // -D
  CMD_UPDATE = 0x2,        // -U (recovery with -t RECOVER)
  CMD_LIST_BUILDS = 0x4,   // -B
  CMD_GET_BUILD = 0x8,     // -G
  CMD_INFO = 0x10,         // -I: accepted, runs nothing
  CMD_CHECK = 0x20,        // -C: accepted, runs nothing
  CMD_FINGERPRINT = 0x40,  // -N
  CMD_Z = 0x80,            // -Z: accepted, runs nothing
  CMD_LIST_LOCAL = 0x200,  // -L
  CMD_HELP = 0x80000000u,  // -h, -H, --help
};

class CommandsClass {
public:
  void Set(COMMANDS command) { bits |= command; }
  bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
  uint32_t bits = 0;
};

// Link kinds the command line names with -t.
enum : int32_t { LINK_NONE = 0, LINK_USB = 1, LINK_TCPIP = 2, LINK_RECOVER = 255 };

struct Parameters {
  CommandsClass commands;
  uint32_t serial = 0;        // -d; 0 = none
  uint32_t routerSerial = 0;  // -r; 0 = none
  int32_t link = LINK_USB;    // -t; 0 after an invalid -t
  bool linkGiven = false;
  std::string serialPort;     // -s
  uint32_t baud = 115200;     // -o
  uint8_t moduleAddress = 0;
  std::string birdFile;       // -f
  std::string historyMessage; // -l, read by nothing
  std::string build;          // -b or a successful -G; decimal text, empty = latest
  bool echo = false;          // -e, read by nothing
  std::string serverUrl;      // -u, --http, --https
  bool n = false;             // -n, read by nothing
  std::string storeRoot;      // -i; main replaces it with the resolved store directory
  std::string progName;
  std::string homeDir;        // read by nothing
  std::string logMode = "a+"; // read by nothing
  std::string logFile = "Updater.log";  // -k, read by nothing
  bool override = false;      // -OVERRIDE
  bool ueiBytes = true;       // -m
  uint32_t logMask = 0;       // -X, the last mask given
  bool maskGiven = false;
  bool helpGiven = false;
};

// Kinds of row in the option table.
enum : int { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_HTTPS = 3, OPT_HTTP = 4 };

extern const CSimpleOpt::SOption g_rgOptions[];

// The two forms of the default update server URL.
std::string DefaultServerUrlHttp();
std::string DefaultServerUrlHttps();

// 0 when the command line is accepted, 1 when an option was refused. Works on argv
// in place; messages go to display.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* parameters);
int _validate_params(Parameters* parameters);

// Value of a text of decimal (resp. hexadecimal) digits; 0 for an empty text or one
// holding any other character, with *end at the first such character (else at the
// terminating NUL). A value that does not fit 32 bits gives 0 with *end at the
// start of the text, so callers refuse it as a whole.
uint32_t _get_int_arg(const char* text, char** end);
uint32_t _get_hex_arg(const char* text, char** end);

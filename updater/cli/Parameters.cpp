#include "updater/cli/Parameters.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/aDirectory.h"
#include "updater/cli/CLI_Display.h"
#include "updater/cli/Log.h"
#include "updater/server/UpdateServerRequest.h"

const CSimpleOpt::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-L", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-D", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-G", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-I", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-U", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-N", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-Y", CSimpleOpt::ARG_NONE},
    {OPT_COMMAND, "-C", CSimpleOpt::ARG_NONE},
    {OPT_HELP, "-h", CSimpleOpt::ARG_NONE},
    {OPT_HELP, "-H", CSimpleOpt::ARG_NONE},
    {OPT_PARAMETER, "-n", CSimpleOpt::ARG_NONE},
    {OPT_PARAMETER, "-X", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-Z", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-m", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-i", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-b", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-d", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-t", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-f", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-r", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-s", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-o", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-e", CSimpleOpt::ARG_NONE},
    {OPT_PARAMETER, "-l", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-k", CSimpleOpt::ARG_REQUIRED},
    {OPT_PARAMETER, "-u", CSimpleOpt::ARG_REQUIRED},
    {OPT_HELP, "--help", CSimpleOpt::ARG_NONE},
    {OPT_HTTP, "--http", CSimpleOpt::ARG_NONE},
    {OPT_HTTPS, "--https", CSimpleOpt::ARG_NONE},
    {-1, nullptr, CSimpleOpt::ARG_NONE},
};

std::string DefaultServerUrlHttp() { return UpdateServerRequest::DefaultURL(); }

std::string DefaultServerUrlHttps() { return UpdateServerRequest::DefaultSecureURL(); }

namespace {

#define INVALID_FORMAT "Invalid format for \"%s\" parameter, unprocessed characters [%s]"

bool IsDecimal(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits accumulate exactly until the value leaves 32 bits; such a value is
// refused whole instead of being cut to its low bits.
uint32_t ParseDigits(const char* text, char** end, unsigned base) {
  if (end == nullptr) return 0;
  if (text == nullptr) {
    *end = nullptr;
    return 0;
  }
  uint64_t value = 0;
  bool tooLarge = false;
  const char* p = text;
  for (; *p != '\0'; ++p) {
    int digit = base == 10 ? (IsDecimal(*p) ? *p - '0' : -1) : HexValue(*p);
    if (digit < 0) break;
    if (!tooLarge) {
      value = value * base + static_cast<unsigned>(digit);
      if (value > UINT32_MAX) tooLarge = true;
    }
  }
  if (tooLarge) {
    *end = const_cast<char*>(text);
    return 0;
  }
  *end = const_cast<char*>(p);
  if (*p != '\0') return 0;
  return static_cast<uint32_t>(value);
}

const char* DropHexPrefix(const char* text, const char* logLine) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    Log::log(Log::DEBUG_Updater, "%s", logLine);
    return text + 2;
  }
  return text;
}

// -X: hexadecimal after "0x", else decimal. false (with an error shown) when text
// is left over or the mask does not fit 32 bits.
bool ParseMask(CLI_Display& display, const char* text, uint32_t* mask) {
  const char* digits = text;
  while (*digits == ' ' || *digits == '\t') ++digits;
  const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  errno = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, hex ? 16 : 10);
  *mask = static_cast<uint32_t>(value);
  if (*end != '\0') {
    display.message(1, INVALID_FORMAT, "-X", end);
    return false;
  }
  // A sign or a value beyond 32 bits would activate bits nobody asked for.
  if (errno == ERANGE || value > UINT32_MAX || *digits == '-' || *digits == '+') {
    display.message(1, INVALID_FORMAT, "-X", text);
    return false;
  }
  return true;
}

// -b and -o: decimal digits only (an empty text is 0).
bool ParseDecimal(CLI_Display& display, const char* option, const char* text, uint32_t* value) {
  char* end = nullptr;
  *value = _get_int_arg(text, &end);
  if (end == nullptr || *end != '\0') {
    display.message(1, INVALID_FORMAT, option, end != nullptr ? end : "");
    return false;
  }
  return true;
}

// -d and -r: hexadecimal, with or without "0x"; 0 is no serial number.
bool ParseSerial(CLI_Display& display, const char* text, bool router, uint32_t* serial) {
  const char* digits = DropHexPrefix(
      text, router ? "Discarding '0x' router serial number prefix\n" : "Discarding '0x' serial number prefix\n");
  char* end = nullptr;
  *serial = _get_hex_arg(digits, &end);
  if (*serial != 0) return true;
  if (router)
    display.message(1, "Invalid router serial number obtained from argument [%s]", digits);
  else
    display.message(1, "Invalid serial number obtained from argument [%s]", digits);
  return false;
}

bool ParseLink(CLI_Display& display, const char* text, Parameters* p) {
  p->linkGiven = true;
  if (std::strncmp(text, "USB", 3) == 0) {
    p->link = LINK_USB;
  } else if (std::strncmp(text, "TCP", 3) == 0) {
    p->link = LINK_TCPIP;
  } else if (std::strncmp(text, "RECOVER", 7) == 0) {
    p->link = LINK_RECOVER;
  } else {
    display.message(1, "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", text);
    p->link = LINK_NONE;
    return false;
  }
  return true;
}

// false when the command is refused.
bool HandleCommand(CLI_Display& display, const char* text, Parameters* p) {
  switch (text[1]) {
    case 'B': p->commands.Set(CMD_LIST_BUILDS); return true;
    case 'L': p->commands.Set(CMD_LIST_LOCAL); return true;
    case 'D': p->commands.Set(CMD_DISCOVER); return true;
    case 'G': p->commands.Set(CMD_GET_BUILD); return true;
    case 'I': p->commands.Set(CMD_INFO); return true;
    case 'U': p->commands.Set(CMD_UPDATE); return true;
    case 'O': p->override = true; return true;
    case 'N': p->commands.Set(CMD_FINGERPRINT); return true;
    case 'C': p->commands.Set(CMD_CHECK); return true;
    default:
      display.message(1, "Unhandled command: [%s]", text);
      return false;
  }
}

// false when the parameter is refused.
bool HandleParameter(CLI_Display& display, const char* text, const char* arg, Parameters* p) {
  uint32_t value = 0;
  switch (text[1]) {
    case 'n': p->n = true; return true;
    case 'e': p->echo = true; return true;
    case 'X':
      p->maskGiven = true;
      if (ParseMask(display, arg, &p->logMask)) Log::ActivatePackage(p->logMask);
      return true;  // a bad mask is not activated, and the parse goes on
    case 'Z': p->commands.Set(CMD_Z); return true;
    case 'm': p->ueiBytes = arg[0] == '1' || std::strncmp(arg, "true", 4) == 0; return true;
    case 'i':
      // An empty store directory would quietly become the home directory's store.
      if (arg[0] == '\0') {
        display.message(1, "Invalid store directory obtained from argument [%s]", arg);
        return false;
      }
      p->storeRoot = arg;
      return true;
    case 'b':
      if (!ParseDecimal(display, "-b", arg, &value)) return false;
      p->build = std::to_string(value);
      return true;
    case 'o':
      if (!ParseDecimal(display, "-o", arg, &value)) return false;
      p->baud = value;
      return true;
    case 'd':
      return ParseSerial(display, arg, false, &p->serial);
    case 'r':
      return ParseSerial(display, arg, true, &p->routerSerial);
    case 't': return ParseLink(display, arg, p);
    case 'f': p->birdFile = arg; return true;
    case 's': p->serialPort = arg; return true;
    case 'l': p->historyMessage = arg; return true;
    case 'k': p->logFile = arg; return true;
    default:
      display.message(1, "Unhandled command: [%s]", text);
      return false;
  }
}

std::string ProgramName(int argc, char** argv) {
  if (argv == nullptr || argc < 1 || argv[0] == nullptr) return std::string();
  const char* name = argv[0];
  for (const char* c = argv[0]; *c != '\0'; ++c)
    if (*c == '/' || *c == '\\') name = c + 1;
  return name;
}

}  // namespace

uint32_t _get_int_arg(const char* text, char** end) { return ParseDigits(text, end, 10); }

uint32_t _get_hex_arg(const char* text, char** end) { return ParseDigits(text, end, 16); }

int _validate_params(Parameters*) { return 0; }

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* parameters) {
  Parameters& p = *parameters;
  p = Parameters();
  p.serverUrl = DefaultServerUrlHttp();
  p.progName = ProgramName(argc, argv);
  char home[2048];
  if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) p.homeDir = home;

  CSimpleOpt parser(argc, argv, g_rgOptions, 0);
  int serverChoices = 0;
  bool failed = false;
  while (parser.Next()) {
    if (parser.LastError() != CSimpleOpt::ERR_NONE) {
      // Options without their argument are dropped, except -i: a run meant for another
      // store must never go on in the home directory's.
      const int error = parser.LastError();
      if ((error == CSimpleOpt::ERR_MISSING_ARG || error == CSimpleOpt::ERR_ARG_IS_OPTION) &&
          parser.OptionText() != nullptr && std::strcmp(parser.OptionText(), "-i") == 0) {
        display.message(1, "Invalid store directory obtained from argument [%s]", "");
        failed = true;
      }
      continue;
    }
    const char* text = parser.OptionText();
    switch (parser.OptionId()) {
      case OPT_HELP:
        p.commands.Set(CMD_HELP);
        p.helpGiven = true;
        return 0;
      case OPT_HTTPS:
        p.serverUrl = DefaultServerUrlHttps();
        ++serverChoices;
        break;
      case OPT_HTTP:
        p.serverUrl = DefaultServerUrlHttp();
        ++serverChoices;
        break;
      case OPT_COMMAND:
        if (!HandleCommand(display, text, &p)) failed = true;
        break;
      case OPT_PARAMETER:
        if (text[1] == 'u') {
          p.serverUrl = parser.OptionArg();
          ++serverChoices;
        } else if (!HandleParameter(display, text, parser.OptionArg() != nullptr ? parser.OptionArg() : "", &p)) {
          failed = true;
        }
        break;
      default:
        break;
    }
  }
  if (serverChoices > 1) {
    display.message(1, "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
    failed = true;
  }

  Log::log(Log::DEBUG_APP, "\nApplication parameters:[%s]\n", p.progName.c_str());
  for (int i = 0; argv != nullptr && i < argc; ++i)
    if (argv[i] != nullptr) Log::log(Log::DEBUG_APP, "\t[%s]\n", argv[i]);

  if (!failed && _validate_params(&p) != 0) failed = true;
  return failed ? 1 : 0;
}

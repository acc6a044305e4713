// libFuzzer target: the number texts of update-server replies (a build number, the
// recovery reply's serial number and build) against an oracle of the target's own:
// strtoull over the text without its surrounding blanks, which has to use every
// character, give no sign and stay within 32 bits.
#include <cerrno>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater/BuildNumber.h"
#include "updater/server/UpdateServerRequest.h"

namespace {

bool oracle(const std::string& text, int base, uint32_t& value) {
  size_t at = 0, end = text.size();
  while (at < end && std::isspace(static_cast<unsigned char>(text[at]))) at++;
  while (end > at && std::isspace(static_cast<unsigned char>(text[end - 1]))) end--;
  const std::string core = text.substr(at, end - at);
  if (core.empty() || core.find('\0') != std::string::npos) return false;
  if (!std::isxdigit(static_cast<unsigned char>(core[0]))) return false;  // no sign, no blank
  if (base == 10)
    for (char c : core)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  if (base == 16 && core.size() > 2 && core[0] == '0' && (core[1] == 'x' || core[1] == 'X') &&
      !std::isxdigit(static_cast<unsigned char>(core[2])))
    return false;
  errno = 0;
  char* stop = nullptr;
  const unsigned long long parsed = std::strtoull(core.c_str(), &stop, base);
  if (errno != 0 || stop != core.c_str() + core.size() || parsed > UINT32_MAX) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

void check(bool accepted, uint32_t got, bool expected, uint32_t want) {
  if (accepted != expected || (accepted && got != want)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  uint32_t build = 7, want = 0;
  bool accepted = updater::_to_build_number(text, build);
  bool expected = oracle(text, 10, want);
  check(accepted, build, expected, want);
  if (accepted && !expected) std::abort();

  for (int base : {16, 0}) {
    uint32_t value = 7;
    accepted = UpdateServerRequest::ParseReplyNumber(text, base, value);
    expected = oracle(text, base, want);
    check(accepted, value, expected, want);
  }

  // A recovery reply carrying the text as its serial number and its build.
  std::vector<std::string> lines = {"ok", text, text};
  uint32_t serial = 1, number = 1;
  if (UpdateServerRequest::RecoveryInfoIsValid(lines)) {
    UpdateServerRequest::TakeRecoveryInfo("Fuzz", lines, &serial, &number);
    uint32_t hex = 0, any = 0;
    if (!oracle(text, 16, hex) || !oracle(text, 0, any) || serial != hex || number != any) std::abort();
  }
  return 0;
}

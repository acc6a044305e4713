#include "updater/BuildNumber.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace updater {

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

}  // namespace updater

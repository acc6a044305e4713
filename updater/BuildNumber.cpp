#include "updater/BuildNumber.h"

#include <cctype>

namespace updater {

bool _to_build_number(const std::string& text, uint32_t& build) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) at++;
  size_t end = text.size();
  while (end > at && std::isspace(static_cast<unsigned char>(text[end - 1]))) end--;
  if (at == end) return false;
  uint64_t value = 0;
  for (size_t i = at; i < end; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > UINT32_MAX) return false;
  }
  build = static_cast<uint32_t>(value);
  return true;
}

std::string _bird_name(uint32_t build) { return std::to_string(build) + ".bird"; }

}  // namespace updater

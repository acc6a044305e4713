// libFuzzer target: a USB device's serial-number string as discovery reads it (at most
// 31 characters, NUL-terminated, as the descriptor comes into its 32-byte buffer),
// against an oracle of the target's own: exactly eight hexadecimal digits, whose value
// printed as "%08X" gives the text back in upper case.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/discovery/aDiscoveryParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char text[32];
  std::memset(text, 0, sizeof text);
  std::memcpy(text, data, size < sizeof text - 1 ? size : sizeof text - 1);
  uint32_t serial = 0x5A5A5A5A;
  const bool accepted = aDiscovery_ParseSerialText(text, &serial);

  bool expected = std::strlen(text) == 8;
  for (size_t i = 0; expected && i < 8; i++) expected = std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
  if (accepted != expected) std::abort();
  if (!accepted) {
    if (serial != 0x5A5A5A5A) std::abort();
    return 0;
  }
  char again[16];
  std::snprintf(again, sizeof again, "%08X", serial);
  for (size_t i = 0; i < 8; i++)
    if (again[i] != std::toupper(static_cast<unsigned char>(text[i]))) std::abort();
  return 0;
}

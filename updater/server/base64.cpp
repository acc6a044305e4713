#include "updater/server/base64.h"

#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for an alphabet character, -1 for anything else ("=" included).
int sextet(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

uint8_t* base64_decode(const char* text, size_t length, size_t* decodedLength) {
  if (text == nullptr && length > 0) return nullptr;
  if (length % 4 != 0) return nullptr;
  size_t padding = 0;
  if (length > 0 && text[length - 1] == '=') {
    padding = 1;
    if (text[length - 2] == '=') padding = 2;
  }
  const size_t outLength = length / 4 * 3 - padding;
  uint8_t* out = static_cast<uint8_t*>(std::malloc(outLength + 1));
  if (out == nullptr) return nullptr;

  size_t written = 0;
  for (size_t group = 0; group < length; group += 4) {
    const bool last = group + 4 == length;
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; i++) {
      const unsigned char c = static_cast<unsigned char>(text[group + i]);
      int value = sextet(c);
      if (value < 0) {
        // Padding only in the final places that the padding count allows.
        if (!(c == '=' && last && i >= 4 - padding)) {
          std::free(out);
          return nullptr;
        }
        value = 0;
      }
      bits = (bits << 6) | static_cast<uint32_t>(value);
    }
    const uint8_t bytes[3] = {static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
                              static_cast<uint8_t>(bits)};
    for (size_t i = 0; i < 3 && written < outLength; i++) out[written++] = bytes[i];
  }
  out[outLength] = 0;
  if (decodedLength != nullptr) *decodedLength = outLength;
  return out;
}

char* base64_encode(const uint8_t* data, size_t length, size_t* encodedLength) {
  if (data == nullptr && length > 0) return nullptr;
  const size_t outLength = 4 * ((length + 2) / 3);
  char* out = static_cast<char*>(std::malloc(outLength + 1));
  if (out == nullptr) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < length; i += 3) {
    const size_t left = length - i;
    uint32_t bits = static_cast<uint32_t>(data[i]) << 16;
    if (left > 1) bits |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (left > 2) bits |= data[i + 2];
    out[o++] = kAlphabet[(bits >> 18) & 0x3F];
    out[o++] = kAlphabet[(bits >> 12) & 0x3F];
    out[o++] = left > 1 ? kAlphabet[(bits >> 6) & 0x3F] : '=';
    out[o++] = left > 2 ? kAlphabet[bits & 0x3F] : '=';
  }
  out[o] = '\0';
  if (encodedLength != nullptr) *encodedLength = outLength;
  return out;
}

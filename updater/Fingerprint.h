#pragma once
// The four words that name one chip: read from its boot ROM (LPC) or its running
// loader (i.MX), sent to the update server in this order, and the 16-byte key of
// fingerprint-encoded firmware.
#include <cstddef>
#include <cstdint>

struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};

  uint32_t& operator[](size_t i) { return words[i]; }
  const uint32_t& operator[](size_t i) const { return words[i]; }
  uint32_t* data() { return words; }
  const uint32_t* data() const { return words; }
  static constexpr size_t size() { return 4; }
};

#pragma once
// Packets as the fuzz targets read them from their input: an address byte, a length byte
// (taken modulo 29: 0 to 28 data bytes) and the data, fewer bytes when the input ends
// first.
#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

namespace fuzzinput {

// The packet at data[at] (the caller destroys it; null when none can be made), at moved
// past it. Call while at + 2 <= size.
inline aPacket* takePacket(const uint8_t* data, size_t size, size_t& at) {
  const uint8_t address = data[at];
  const uint8_t length = data[at + 1] % 29;
  at += 2;
  const uint8_t n = static_cast<uint8_t>(length < size - at ? length : size - at);
  aPacket* p = aPacket_CreateWithData(address, n, data + at);
  at += n;
  return p;
}

}  // namespace fuzzinput

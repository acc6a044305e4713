#pragma once
// Build numbers as texts: the server's and the store's build texts, and the name a build's
// BIRD file has in a device's store entry.
#include <cstdint>
#include <string>

namespace updater {

// Decimal text to a build number as std::stoul reads it (leading blanks and a sign taken,
// reading stops at the first non-digit), keeping the low 32 bits; false when it does not
// convert.
bool _to_build_number(const std::string& text, uint32_t& build);
// "<build>.bird"
std::string _bird_name(uint32_t build);

}  // namespace updater

#pragma once
// Build numbers as texts: the server's and the store's build texts, and the name a build's
// BIRD file has in a device's store entry.
#include <cstdint>
#include <string>

namespace updater {

// Decimal text to a build number: decimal digits and nothing else but blanks around them
// (a line's "\r" among them), a value within 32 bits. False for anything else, so that a
// server's "4294967297", "5000junk" or "-1" never names some other build.
bool _to_build_number(const std::string& text, uint32_t& build);
// "<build>.bird"
std::string _bird_name(uint32_t build);

}  // namespace updater

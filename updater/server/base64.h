#pragma once
// Base64 (RFC 4648, standard alphabet, "=" padding) for the BIRD text of server replies.
#include <cstddef>
#include <cstdint>

// Returns a heap buffer (release with free) holding the decoded bytes and one NUL after
// them, or null. Text that is not canonical base64 is refused with null, never decoded
// into bytes: a length that is not a multiple of 4, a character outside the alphabet,
// or "=" anywhere but the one or two padding places at the very end. The decoded
// length is written only on success.
uint8_t* base64_decode(const char* text, size_t length, size_t* decodedLength);

// Returns a heap text (release with free), NUL-terminated, or null when out of memory.
char* base64_encode(const uint8_t* data, size_t length, size_t* encodedLength);

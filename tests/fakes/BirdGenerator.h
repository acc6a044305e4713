#pragma once
// Builds BIRD files for tests, on zlib, straight from the file layout: the product only
// reads these files, so the writer lives here. Every knob for malformed files is a
// field of BirdLayout; the plain images stay in the blocks for comparison.
#include <cstdint>
#include <string>
#include <vector>

namespace birdgen {

typedef std::vector<uint8_t> Bytes;

enum : uint8_t { LOADER = 0, FIRMWARE = 1, SERIAL_OFFSETS = 2, IDENTITY = 4, LOADER_ENTRY = 5 };

struct Block {
  uint8_t type = 0;
  uint8_t flags = 0;  // 0..7, stored in bits 5-7 of the header byte
  Bytes data;         // the block's data as written
  // When set, the header's length field says this instead of data.size().
  bool lengthOverride = false;
  uint32_t length = 0;
};

// Loader or firmware block: the load address (big-endian) then the image.
Block imageBlock(uint8_t type, uint32_t address, const Bytes& image, uint8_t flags = 0);
Block serialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress);
// Four 16-byte text fields, each padded with `pad` (a blank, or NUL).
Block identityBlock(const std::string& build, const std::string& version, const std::string& serial,
                    const std::string& model, char pad = ' ');
Block loaderEntryBlock(uint32_t entry);
Block rawBlock(uint8_t type, const Bytes& data, uint8_t flags = 0);

struct BirdLayout {
  std::vector<Block> blocks;
  bool countOverride = false;  // when set, the payload reports `count` blocks
  uint32_t count = 0;
  uint32_t checksum = 0xC0FFEE01;
  Bytes trailing;  // bytes after the checksum word
  std::string signature = "bird";
  uint8_t version[2] = {0x01, 0x01};
  int level = 9;  // zlib compression level
};

Bytes payload(const BirdLayout& layout);
Bytes compress(const Bytes& plain, int level = 9);
// Header (signature, version) followed by the compressed payload.
Bytes file(const BirdLayout& layout);
Bytes fileFromBody(const std::string& signature, const uint8_t version[2], const Bytes& body);

// The keyed byte chain that firmware for boot-ROM recovery is delivered in: each
// output byte is the plain byte XOR key byte XOR the previous plain byte.
Bytes encodeWithFingerprint(const Bytes& image, const uint32_t key[4]);

// A pseudo-random image (deterministic for a seed).
Bytes randomImage(size_t length, uint32_t seed);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

}  // namespace birdgen

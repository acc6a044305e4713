#pragma once
// One build of a simulated module's firmware as a BIRD file: a loader, two firmware
// blocks with a gap between them, the serial-number patch places and the identity;
// and the flash image an update of a given module must leave behind. Shared by the
// end-to-end tests, the demo's fixture tool and the benchmark.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/fakes/BirdGenerator.h"

namespace e2e {

constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x08004000;

inline std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

struct FirmwareBuild {
  std::string number;
  std::string version;
  std::string model;
  uint32_t secondAddress;
  uint32_t serialAt;
  uint32_t descriptorAt;
  birdgen::Bytes loader;
  birdgen::Bytes first;
  birdgen::Bytes second;
  birdgen::Bytes file;

  // firstSize bytes in the first block, secondSize in the second (0: no second block).
  // loaderBlocks: the loader in that many blocks of its 300 bytes.
  FirmwareBuild(const std::string& n, const std::string& v, uint32_t seed, const std::string& m = "Hemblork",
                size_t firstSize = 5000, size_t secondSize = 700, int loaderBlocks = 1)
      : number(n), version(v), model(m) {
    serialAt = kFirmwareAddress + 100;
    descriptorAt = kFirmwareAddress + 200;
    secondAddress = kFirmwareAddress + static_cast<uint32_t>((firstSize + 0xFFF) & ~size_t(0xFFF));
    loader = birdgen::randomImage(300, seed);
    first = birdgen::randomImage(firstSize, seed + 1);
    second = birdgen::randomImage(secondSize, seed + 2);
    birdgen::BirdLayout layout;
    const size_t piece = loader.size() / static_cast<size_t>(loaderBlocks);
    for (int i = 0; i < loaderBlocks; i++) {
      const size_t from = piece * static_cast<size_t>(i);
      const size_t to = i + 1 == loaderBlocks ? loader.size() : from + piece;
      layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, kLoaderAddress + static_cast<uint32_t>(from),
                                                  birdgen::Bytes(loader.begin() + static_cast<long>(from),
                                                                 loader.begin() + static_cast<long>(to))));
    }
    layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, kFirmwareAddress, first, 1));
    if (secondSize > 0) layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, secondAddress, second, 2));
    layout.blocks.push_back(birdgen::serialOffsetsBlock(serialAt, descriptorAt));
    layout.blocks.push_back(birdgen::identityBlock(number, version, "00000000", model));
    file = birdgen::file(layout);
  }

  // Both blocks with the serial number patched in (little-endian word, then the eight
  // hex digits in the low bytes of UTF-16 code units) and the gap erased.
  birdgen::Bytes flash(uint32_t serial) const {
    birdgen::Bytes image = first;
    const uint32_t s = serialAt - kFirmwareAddress;
    for (uint32_t i = 0; i < 4; i++) image[s + i] = static_cast<uint8_t>(serial >> (8 * i));
    const std::string text = hex8(serial);
    for (uint32_t i = 0; i < 8; i++) image[descriptorAt - kFirmwareAddress + 2 * i] = static_cast<uint8_t>(text[i]);
    if (second.empty()) return image;
    image.resize(secondAddress - kFirmwareAddress, 0xFF);
    image.insert(image.end(), second.begin(), second.end());
    return image;
  }
};

}  // namespace e2e

#include "tests/fakes/BirdGenerator.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace birdgen {

namespace {

void putBig(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putField(Bytes& out, const std::string& text, char pad) {
  for (size_t i = 0; i < 16; i++) out.push_back(static_cast<uint8_t>(i < text.size() ? text[i] : pad));
}

}  // namespace

Block imageBlock(uint8_t type, uint32_t address, const Bytes& image, uint8_t flags) {
  Block b;
  b.type = type;
  b.flags = flags;
  putBig(b.data, address);
  b.data.resize(4 + image.size());
  std::copy(image.begin(), image.end(), b.data.begin() + 4);
  return b;
}

Block serialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
  Block b;
  b.type = SERIAL_OFFSETS;
  putBig(b.data, serialAddress);
  putBig(b.data, descriptorAddress);
  return b;
}

Block identityBlock(const std::string& build, const std::string& version, const std::string& serial,
                    const std::string& model, char pad) {
  Block b;
  b.type = IDENTITY;
  putField(b.data, build, pad);
  putField(b.data, version, pad);
  putField(b.data, serial, pad);
  putField(b.data, model, pad);
  return b;
}

Block loaderEntryBlock(uint32_t entry) {
  Block b;
  b.type = LOADER_ENTRY;
  putBig(b.data, entry);
  return b;
}

Block rawBlock(uint8_t type, const Bytes& data, uint8_t flags) {
  Block b;
  b.type = type;
  b.flags = flags;
  b.data = data;
  return b;
}

Bytes payload(const BirdLayout& layout) {
  Bytes out;
  putBig(out, layout.countOverride ? layout.count : static_cast<uint32_t>(layout.blocks.size()));
  for (const Block& b : layout.blocks) {
    out.push_back(static_cast<uint8_t>((b.type & 0x1F) | ((b.flags & 0x7) << 5)));
    putBig(out, b.lengthOverride ? b.length : static_cast<uint32_t>(b.data.size()));
    out.insert(out.end(), b.data.begin(), b.data.end());
  }
  putBig(out, layout.checksum);
  out.insert(out.end(), layout.trailing.begin(), layout.trailing.end());
  return out;
}

Bytes compress(const Bytes& plain, int level) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), level) != Z_OK)
    throw std::runtime_error("birdgen: compress2 failed");
  out.resize(size);
  return out;
}

Bytes fileFromBody(const std::string& signature, const uint8_t version[2], const Bytes& body) {
  Bytes out(signature.begin(), signature.end());
  out.push_back(version[0]);
  out.push_back(version[1]);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes file(const BirdLayout& layout) { return fileFromBody(layout.signature, layout.version, compress(payload(layout), layout.level)); }

Bytes encodeWithFingerprint(const Bytes& image, const uint32_t key[4]) {
  uint8_t k[16];
  for (int i = 0; i < 16; i++) k[i] = static_cast<uint8_t>(key[i / 4] >> (24 - 8 * (i % 4)));
  Bytes out(image.size());
  uint8_t previousPlain = 0;
  for (size_t i = 0; i < image.size(); i++) {
    out[i] = static_cast<uint8_t>(image[i] ^ k[i % 16] ^ previousPlain);
    previousPlain = image[i];
  }
  return out;
}

Bytes randomImage(size_t length, uint32_t seed) {
  Bytes out(length);
  uint32_t x = seed ? seed : 0x9E3779B9u;
  for (size_t i = 0; i < length; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x);
  }
  return out;
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("birdgen: cannot write " + path);
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("birdgen: cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace birdgen

#include "tests/sim/SimWire.h"

namespace devsim {

bool PacketParser::feed(uint8_t byte, WirePacket& out) {
  switch (stage_) {
    case 0:
      current_.address = byte;
      current_.data.clear();
      stage_ = 1;
      return false;
    case 1:
      expected_ = byte;
      if (expected_ == 0) {
        out = current_;
        stage_ = 0;
        return true;
      }
      stage_ = 2;
      return false;
    default:
      current_.data.push_back(byte);
      if (current_.data.size() < expected_) return false;
      out = current_;
      stage_ = 0;
      return true;
  }
}

void PacketParser::reset() {
  stage_ = 0;
  current_ = WirePacket();
  expected_ = 0;
}

std::vector<uint8_t> wireBytes(const WirePacket& packet) {
  std::vector<uint8_t> bytes;
  bytes.push_back(packet.address);
  bytes.push_back(static_cast<uint8_t>(packet.data.size()));
  bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());
  return bytes;
}

uint8_t crc8Bitwise(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; i++) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
  }
  return crc;
}

std::vector<uint8_t> stuff(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> body;
  std::vector<uint8_t> block;
  auto flush = [&](uint8_t code) {
    body.push_back(code);
    body.insert(body.end(), block.begin(), block.end());
    block.clear();
  };
  for (uint8_t b : raw) {
    if (b == 0) {
      flush(static_cast<uint8_t>(block.size() + 1));
      continue;
    }
    block.push_back(b);
    if (block.size() == 254) flush(0xFF);
  }
  flush(static_cast<uint8_t>(block.size() + 1));
  return body;
}

bool unstuff(const std::vector<uint8_t>& body, std::vector<uint8_t>& raw) {
  raw.clear();
  size_t i = 0;
  while (i < body.size()) {
    const uint8_t code = body[i++];
    if (code == 0 || i + code - 1 > body.size()) return false;
    raw.insert(raw.end(), body.begin() + static_cast<long>(i), body.begin() + static_cast<long>(i + code - 1));
    i += code - 1;
    if (code != 0xFF && i < body.size()) raw.push_back(0);
  }
  return true;
}

std::vector<uint8_t> serialFrame(const WirePacket& packet) {
  std::vector<uint8_t> raw = wireBytes(packet);
  raw.push_back(crc8Bitwise(raw.data(), raw.size()));
  std::vector<uint8_t> frame = stuff(raw);
  frame.push_back(0);
  return frame;
}

FrameReader::Result FrameReader::feed(uint8_t byte, WirePacket& out) {
  if (byte != 0) {
    if (body_.size() < 64) body_.push_back(byte);
    return kNothing;
  }
  if (body_.empty()) return kNothing;
  std::vector<uint8_t> raw;
  const bool decoded = unstuff(body_, raw);
  body_.clear();
  if (!decoded || raw.size() < 3 || raw[1] + 3u != raw.size() ||
      crc8Bitwise(raw.data(), raw.size() - 1) != raw.back())
    return kBadFrame;
  out.address = raw[0];
  out.data.assign(raw.begin() + 2, raw.end() - 1);
  return kPacket;
}

}  // namespace devsim

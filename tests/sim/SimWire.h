#pragma once
// The simulated module's own view of the wire: packet parsing and serial framing,
// written independently of the library so that tests never check the library against
// itself.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace devsim {

struct WirePacket {
  uint8_t address = 0;
  std::vector<uint8_t> data;
};

// Splits a byte stream into [address][length][data] packets, as a module's firmware
// does: it takes whatever the host sends at face value.
class PacketParser {
 public:
  // Returns true and fills out when byte completes a packet.
  bool feed(uint8_t byte, WirePacket& out);
  void reset();

 private:
  int stage_ = 0;   // 0 address, 1 length, 2 data
  WirePacket current_;
  size_t expected_ = 0;
};

std::vector<uint8_t> wireBytes(const WirePacket& packet);

// CRC-8 with the reflected polynomial 0x8C, computed bit by bit.
uint8_t crc8Bitwise(const uint8_t* data, size_t length);

// Byte stuffing: the returned body holds no zero byte.
std::vector<uint8_t> stuff(const std::vector<uint8_t>& raw);
// Reverses stuff(); returns false when a code byte points past the end.
bool unstuff(const std::vector<uint8_t>& body, std::vector<uint8_t>& raw);

// A whole serial frame: stuffed [address][length][data][crc], then 0x00.
std::vector<uint8_t> serialFrame(const WirePacket& packet);

// Collects serial frames byte by byte and checks them.
class FrameReader {
 public:
  enum Result { kNothing, kPacket, kBadFrame };
  Result feed(uint8_t byte, WirePacket& out);

 private:
  std::vector<uint8_t> body_;
};

}  // namespace devsim

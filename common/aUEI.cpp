#include "common/aUEI.h"

#include <cstring>

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, uint64_t count) {
  if (words == nullptr) return;
  for (uint64_t i = 0; i < count; i++) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], 4);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (packet == nullptr) return false;
  switch (packet->data[0]) {
    case 0x00: case 0x01: case 0x02: case cmdSLOT: case cmdI2C: case 0x09: case cmdDEBUG:
    case 0x18: case cmdINFO: case cmdFACTORY: case cmdUPGRADE: case cmdSYNC: case cmdFORCEROUTE:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return packet != nullptr && !aUEI_isNotUEIPayload(packet);
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  if (packet == nullptr || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) return 0;
  return packet->data[packet->dataSize - 1] & 0x7F;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  if (packet == nullptr || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) return 0;
  return packet->data[packet->dataSize - 1] >> 7;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & 0xC0) == 0 && (packet->data[2] & 0x40) != 0;
}

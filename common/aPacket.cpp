#include "common/aPacket.h"

#include <cstring>
#include <new>

namespace {
constexpr aPacket kTemplate = {aPACKET_CHECK, 0, 0, 0, {}};

aErr dataByte(const aPacket* packet, unsigned position, uint8_t mask, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= position) return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}
}  // namespace

aPacket* aPacket_Create() {
  aPacket* packet = new (std::nothrow) aPacket;
  if (packet != nullptr) *packet = kTemplate;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  aPacket_Fill(packet, address, length, data);
  return packet;
}

aErr aPacket_Fill(aPacket* packet, uint8_t address, uint8_t length, const uint8_t* data) {
  if (packet == nullptr || data == nullptr || length > aPACKET_MAX_DATA) return aErrParam;
  *packet = kTemplate;
  packet->address = address;
  packet->dataSize = length;
  std::memcpy(packet->data, data, length);
  packet->received = static_cast<uint8_t>(length + 2);
  return aErrNone;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  // A packet still being assembled may hold a length above 28 (refused length byte).
  if (packet->dataSize > aPACKET_MAX_DATA) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->address = 0;
  packet->dataSize = 0;
  packet->received = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  // Saturate so that a caller that never resets cannot wrap the counter back into range.
  if (packet->received < 0xFF) packet->received++;
  if (packet->received > aPACKET_MAX_WIRE) return aErrOverrun;
  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->received == 2) {
    packet->dataSize = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  if (packet->dataSize > aPACKET_MAX_DATA || packet->received > packet->dataSize + 2) return aErrPacket;
  packet->data[packet->received - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->dataSize <= aPACKET_MAX_DATA &&
         packet->received == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, uint64_t size, uint64_t* written) {
  if (!aVALIDPACKET(packet) || buffer == nullptr || packet->dataSize > aPACKET_MAX_DATA) return aErrParam;
  const uint64_t wire = packet->dataSize + 2u;
  if (size < wire) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  std::memcpy(buffer + 2, packet->data, packet->dataSize);
  if (written != nullptr) *written = wire;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) { return dataByte(packet, 0, 0xFF, out); }
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) { return dataByte(packet, 1, 0x3F, out); }
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) { return dataByte(packet, 2, 0x1F, out); }

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}

#pragma once
// One device packet: [address][length][data], at most 28 data bytes.
#include <cstdint>
#include "common/aErr.h"

#define aPACKET_CHECK 0xBEEF
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

// Link-control addresses. Both are odd, so no device can own them as its module
// address; as a first data byte they mark a packet that is no UEI traffic.
// cmdSYNC: the synchronisation handshake and the address query; the host sends
// [cmdSYNC][0] and a device answers [its address][0].
#define cmdSYNC 0xAD
// cmdFORCEROUTE: route control; [cmdFORCEROUTE][1][1] when a link starts, [..][0] when
// it stops.
#define cmdFORCEROUTE 0xAF

struct aPacket {
  uint16_t check;     // aPACKET_CHECK while the record is live
  uint8_t received;   // wire bytes taken in so far, address and length included
  uint8_t address;
  uint8_t dataSize;
  uint8_t data[aPACKET_MAX_DATA];
};

#define aVALIDPACKET(p) ((p) != nullptr && (p)->check == aPACKET_CHECK)

aPacket* aPacket_Create();
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
// Makes the caller's own record (one on the stack, say) a complete packet, as
// aPacket_CreateWithData makes a new one. aErrParam for a null record or data, or a
// length above aPACKET_MAX_DATA (the record is left as it was).
aErr aPacket_Fill(aPacket* packet, uint8_t address, uint8_t length, const uint8_t* data);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, uint64_t size, uint64_t* written);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);
aErr aPacket_Destroy(aPacket** packet);

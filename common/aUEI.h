#pragma once
// Big-endian value storage in packet data, and tests that classify packets as UEI traffic.
#include <cstdint>
#include "common/aPacket.h"

#define cmdSLOT 0x04
#define cmdI2C 0x08
#define cmdDEBUG 0x17
#define cmdINFO 0x49
#define cmdFACTORY 0x5E
#define cmdUPGRADE 0x5F
// The stream entity: a client switches a device's streaming on and off with a SET of its
// option 1 or 2, and a link server makes the client that enables one a subscriber.
#define cmdSTREAM 0x5D
#define aUEI_STREAM_ENABLE_SET 0x81    // SET of option 1
#define aUEI_STREAM_DISABLE_SET 0x82   // SET of option 2

uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
void aUEI_ModifyIntBuffer(uint32_t* words, uint64_t count);

bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);

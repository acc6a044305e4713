#pragma once
// Consistent Overhead Byte Stuffing, and the COBS stream that frames link packets on a
// serial line: each packet [address][length][data] goes out as the COBS encoding of
// itself plus its CRC-8, followed by a 0x00 delimiter.
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

#define aCOBS_CHECK 0xC0B5

// Encoded length; destination needs room for length + 1 bytes plus one per 254.
uint64_t cobs_encode(const uint8_t* source, uint64_t length, uint8_t* destination);
// Encodes in place (room as above); 0 when it would overwrite unread input.
uint64_t cobs_encode_inplace(uint8_t* buffer, uint64_t length);
// Decoded length, or 0 when a code byte points past the end of the input.
uint64_t cobs_decode(const uint8_t* source, uint64_t length, uint8_t* destination);
uint64_t cobs_decode_inplace(uint8_t* buffer, uint64_t length);

// Wraps an inner transport: its table and reference. The COBS stream owns the inner
// transport from then on: its delete calls the inner delete. On failure nothing is
// released (the caller still owns the inner transport). The stream reports a decoded
// packet as pending input and waits on the inner transport's descriptor; its writes are
// never prompt (a frame goes out through the inner transport's write).
aErr aStream_CreateCobsOver(const aStreamOps& inner, void* reference, aStream** stream);
// The same over four callbacks alone: an inner transport that names nothing to wait on.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** stream);


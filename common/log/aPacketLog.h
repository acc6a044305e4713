#pragma once
// A packet log: a byte ring of records, each [tag][length][length bytes], wrapping at
// the end of the buffer. Tag 1 is a packet a link sent, 2 one it received (both in wire
// form [address][length][data]), 3 a caller's text. The oldest records give way to new
// ones; one byte of the ring always stays free, so a full ring never reads as empty.
//
// The ring itself is not locked: a link's log is used under that link's log mutex.
#include <atomic>
#include <cstdint>

#include "common/aErr.h"

#define aPACKETLOG_TAG_OUT 1
#define aPACKETLOG_TAG_IN 2
#define aPACKETLOG_TAG_TEXT 3
// The length of a record is one byte.
#define aPACKETLOG_MAX_RECORD 255

struct aPacketLog {
  std::atomic<uint8_t> enabled{0};   // read by the link's threads without the mutex
  uint8_t* data = nullptr;
  uint32_t size = 0;
  uint32_t readIndex = 0;    // where the oldest record starts
  uint32_t writeIndex = 0;   // where the next record goes
};

// An empty log of size bytes, not enabled; null for size 0 or when memory is exhausted.
aPacketLog* aPacketLog_Create(uint32_t size);
// Appends one record, dropping the oldest ones until it fits. aErrOverrun when it can
// never fit (it needs length + 3 bytes of ring) or is longer than 255 bytes; aErrParam
// for a null log, or null bytes with a length.
aErr aPacketLog_Put(aPacketLog* log, uint8_t tag, uint32_t length, const uint8_t* bytes);
// Takes the oldest record out. *length holds the buffer's capacity on entry and the
// record's length on return. aErrNotFound when empty; aErrOverrun when the record does
// not fit the capacity (it stays); aErrParam for null log, tag or length, or a null
// buffer with a capacity.
aErr aPacketLog_Get(aPacketLog* log, uint32_t* tag, uint32_t* length, uint8_t* buffer);
// Frees the log and sets *log to null; a null log is accepted. Always aErrNone.
aErr aPacketLog_Destroy(aPacketLog** log);

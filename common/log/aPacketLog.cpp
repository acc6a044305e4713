#include "common/log/aPacketLog.h"

#include <cstring>
#include <new>

namespace {

// The index arithmetic avoids division: a busy link records every packet it sends and
// receives, and a full ring drops a record for each one it takes.
uint32_t sUsed(const aPacketLog* log) {
  return log->writeIndex >= log->readIndex ? log->writeIndex - log->readIndex
                                           : log->writeIndex + log->size - log->readIndex;
}

uint32_t sFree(const aPacketLog* log) { return log->size - sUsed(log); }

uint32_t sAdvance(const aPacketLog* log, uint32_t index, uint32_t by) {
  uint64_t at = static_cast<uint64_t>(index) + by;
  if (at >= log->size) at -= log->size;
  // Steps are shorter than the ring but on the tiniest rings.
  if (at >= log->size) at %= log->size;
  return static_cast<uint32_t>(at);
}

// Copies n bytes into the ring from index on, wrapping at the end; the next index.
uint32_t sCopyIn(aPacketLog* log, uint32_t index, const uint8_t* bytes, uint32_t n) {
  const uint32_t first = n < log->size - index ? n : log->size - index;
  std::memcpy(log->data + index, bytes, first);
  std::memcpy(log->data, bytes + first, n - first);
  return sAdvance(log, index, n);
}

uint32_t sCopyOut(const aPacketLog* log, uint32_t index, uint8_t* bytes, uint32_t n) {
  const uint32_t first = n < log->size - index ? n : log->size - index;
  std::memcpy(bytes, log->data + index, first);
  std::memcpy(bytes + first, log->data, n - first);
  return sAdvance(log, index, n);
}

void sDropOldest(aPacketLog* log) {
  const uint32_t length = log->data[sAdvance(log, log->readIndex, 1)];
  log->readIndex = sAdvance(log, log->readIndex, 2 + length);
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  // A ring of no bytes has no index arithmetic that works.
  if (size == 0) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog;
  if (log == nullptr) return nullptr;
  log->data = new (std::nothrow) uint8_t[size];
  if (log->data == nullptr) {
    delete log;
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t tag, uint32_t length, const uint8_t* bytes) {
  if (log == nullptr || log->data == nullptr || (length > 0 && bytes == nullptr)) return aErrParam;
  // The length byte could not say how long the record is, and every later record would
  // be read from the wrong place.
  if (length > aPACKETLOG_MAX_RECORD) return aErrOverrun;
  const uint64_t needed = static_cast<uint64_t>(length) + 2;
  while (log->size > needed && sFree(log) <= needed) sDropOldest(log);
  if (sFree(log) <= needed) return aErrOverrun;
  const uint8_t head[2] = {tag, static_cast<uint8_t>(length)};
  uint32_t at = sCopyIn(log, log->writeIndex, head, 2);
  if (length > 0) at = sCopyIn(log, at, bytes, length);
  log->writeIndex = at;
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint32_t* tag, uint32_t* length, uint8_t* buffer) {
  if (log == nullptr || log->data == nullptr || tag == nullptr || length == nullptr) return aErrParam;
  if (buffer == nullptr && *length > 0) return aErrParam;
  if (log->readIndex == log->writeIndex) return aErrNotFound;
  *tag = log->data[log->readIndex];
  const uint32_t recordLength = log->data[sAdvance(log, log->readIndex, 1)];
  if (*length < recordLength) {
    *length = recordLength;
    return aErrOverrun;
  }
  *length = recordLength;
  const uint32_t at = sAdvance(log, log->readIndex, 2);
  log->readIndex = recordLength > 0 ? sCopyOut(log, at, buffer, recordLength) : at;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return aErrNone;
  (*log)->enabled = 0;
  delete[] (*log)->data;
  delete *log;
  *log = nullptr;
  return aErrNone;
}

#include "common/aStream.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Makes room in the unget ring for extra more bytes, keeping the held ones in order.
// The ring holds at most capacity - 1 bytes; it grows in steps of aSTREAM_UNGET_CHUNK.
// Nothing changes on failure.
aErr sReserve(aStream* stream, uint64_t extra) {
  if (extra == 0) return aErrNone;
  const uint64_t count = stream->ungetCount;
  if (extra > UINT32_MAX - count) return aErrMemory;
  const uint64_t needed = count + extra;
  if (stream->ungetBuffer != nullptr && needed <= stream->ungetCapacity - 1) return aErrNone;
  uint64_t capacity = stream->ungetCapacity;
  do {
    capacity += aSTREAM_UNGET_CHUNK;
  } while (needed > capacity - 1);
  uint8_t* buffer = new (std::nothrow) uint8_t[capacity];
  if (buffer == nullptr) return aErrMemory;
  for (uint64_t i = 0; i < count; i++) {
    buffer[i] = stream->ungetBuffer[(stream->ungetRead + i) % stream->ungetCapacity];
  }
  delete[] stream->ungetBuffer;
  stream->ungetBuffer = buffer;
  stream->ungetCapacity = capacity;
  stream->ungetRead = 0;
  stream->ungetWrite = count;
  return aErrNone;
}

// Room must have been reserved.
void sPush(aStream* stream, uint8_t byte) {
  stream->ungetBuffer[stream->ungetWrite] = byte;
  stream->ungetWrite = (stream->ungetWrite + 1) % stream->ungetCapacity;
  stream->ungetCount++;
}

uint8_t sPop(aStream* stream) {
  const uint8_t byte = stream->ungetBuffer[stream->ungetRead];
  stream->ungetRead = (stream->ungetRead + 1) % stream->ungetCapacity;
  stream->ungetCount--;
  return byte;
}

// Puts bytes back in front of everything the ring holds, so they come out first and in
// their order: a record reader may hand back bytes it took from the ring itself.
aErr sPushFront(aStream* stream, const uint8_t* data, uint64_t length) {
  if (length == 0) return aErrNone;
  aErr err = sReserve(stream, length);
  if (err != aErrNone) return err;
  const uint64_t held = stream->ungetCount;
  if (held == 0) {
    for (uint64_t i = 0; i < length; i++) sPush(stream, data[i]);
    return aErrNone;
  }
  std::vector<uint8_t> old(held);
  for (uint64_t i = 0; i < held; i++) old[i] = sPop(stream);
  for (uint64_t i = 0; i < length; i++) sPush(stream, data[i]);
  for (uint64_t i = 0; i < held; i++) sPush(stream, old[i]);
  return aErrNone;
}

// One byte: the unget ring first, else the transport.
aErr sNextByte(aStream* stream, uint8_t* byte) {
  if (stream->ungetCount > 0) {
    *byte = sPop(stream);
    return aErrNone;
  }
  return stream->get(byte, stream->reference);
}

}  // namespace

aStream* aStream_CreateWith(const aStreamOps& ops, void* reference) {
  aStream* stream = new (std::nothrow) aStream;
  if (stream == nullptr) return nullptr;
  stream->get = ops.get;
  stream->put = ops.put;
  stream->write = ops.write;
  stream->del = ops.del;
  stream->reference = reference;
  stream->ungetBuffer = nullptr;
  stream->ungetCount = 0;
  stream->ungetCapacity = 0;
  stream->ungetRead = 0;
  stream->ungetWrite = 0;
  stream->check = aSTREAM_CHECK;
  const int fd = ops.waitDescriptor != nullptr ? ops.waitDescriptor(reference) : -1;
  stream->waitFd = fd >= 0 ? fd : -1;
  stream->pending = ops.pending;
  stream->promptWrites = ops.promptWrites;
  stream->connection = ops.connection;
  stream->number = aStream_NewConnectionNumber();
  return stream;
}

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference) {
  const aStreamOps asked = {get, put, write, del, /*pending*/ nullptr, /*waitDescriptor*/ nullptr,
                            /*promptWrites*/ false, /*connection*/ nullptr};
  return aStream_CreateWith(asked, reference);
}

uint64_t aStream_NewConnectionNumber() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

uint64_t aStream_Connection(const aStream* stream) {
  if (!aVALIDSTREAM(stream)) return 0;
  return stream->connection != nullptr ? stream->connection(stream->reference) : stream->number;
}

bool aStream_InputPending(const aStream* stream) {
  if (!aVALIDSTREAM(stream)) return false;
  if (stream->ungetCount > 0) return true;
  return stream->pending != nullptr && stream->pending(stream->reference);
}

aErr aStream_Destroy(aStream** stream) {
  if (stream == nullptr) return aErrParam;
  aStream* s = *stream;
  *stream = nullptr;
  if (!aVALIDSTREAM(s)) return aErrParam;
  const aErr result = s->del != nullptr ? s->del(s->reference) : aErrNone;
  delete[] s->ungetBuffer;
  s->ungetBuffer = nullptr;
  s->check = 0;
  delete s;
  return result;
}

aErr aStream_Read(aStream* stream, void* buffer, uint64_t length) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (length == 0) return aErrNone;
  if (buffer == nullptr) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  // The unget ring counts in 32 bits: a longer read could not be given back whole.
  if (length >= UINT32_MAX) return aErrResource;
  // The link reader reads one byte at a time: short reads need no heap storage.
  uint8_t local[64];
  uint8_t* taken = length <= sizeof local ? local : new (std::nothrow) uint8_t[length];
  if (taken == nullptr) return aErrResource;
  // Room to put every taken byte back is made before anything is taken, so a transport
  // that is not ready can never cost bytes.
  // The ring is emptied before the transport is asked, so at most length bytes go back.
  const uint64_t held = stream->ungetCount;
  if (sReserve(stream, length > held ? length - held : 0) != aErrNone) {
    if (taken != local) delete[] taken;
    return aErrResource;
  }
  uint64_t k = 0;
  aErr err = aErrNone;
  while (k < length) {
    err = sNextByte(stream, &taken[k]);
    if (err != aErrNone) break;
    k++;
  }
  if (err == aErrNone || err == aErrEOF) {
    std::memcpy(buffer, taken, k);
  } else if (err == aErrNotReady) {
    // The ring was empty when the transport was asked, so appending keeps the order.
    for (uint64_t i = 0; i < k; i++) sPush(stream, taken[i]);
  }
  if (taken != local) delete[] taken;
  return err;
}

aErr aStream_Write(aStream* stream, const void* data, uint64_t length) {
  if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
  if (stream->write == nullptr && stream->put == nullptr) return aErrMode;
  if (length == 0) return aErrNone;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // A transport with write but no put still takes single bytes, through write.
  if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
    return stream->write(bytes, length, stream->reference);
  }
  for (uint64_t i = 0; i < length; i++) {
    const aErr err = stream->put(&bytes[i], stream->reference);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_Unget(aStream* stream, uint8_t byte) { return aStream_UngetBytes(stream, &byte, 1); }

aErr aStream_UngetBytes(aStream* stream, const void* data, uint64_t length) {
  if (!aVALIDSTREAM(stream) || (data == nullptr && length > 0)) return aErrParam;
  const aErr err = sReserve(stream, length);
  if (err != aErrNone) return err;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (uint64_t i = 0; i < length; i++) sPush(stream, bytes[i]);
  return aErrNone;
}

uint64_t aStream_UngetCount(const aStream* stream) {
  return aVALIDSTREAM(stream) ? stream->ungetCount : 0;
}

aErr aStream_ReadRecord(aStream* stream, void* buffer, uint64_t* length, uint64_t size,
                        const void* terminator, uint64_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr || terminatorLength == 0 ||
      size == 0) {
    return aErrParam;
  }
  const uint8_t* term = static_cast<const uint8_t*>(terminator);
  std::vector<uint8_t> stored;
  std::vector<uint8_t> pending;   // bytes that so far match the start of the terminator
  try {
    stored.reserve(size);
    pending.reserve(terminatorLength);
  } catch (...) {
    return aErrResource;
  }
  // Moves bytes from pending into stored until pending is again a start of the
  // terminator (a terminator that matched in part and then broke off is data).
  auto settle = [&]() {
    while (!pending.empty() && stored.size() < size &&
           std::memcmp(pending.data(), term, pending.size()) != 0) {
      stored.push_back(pending.front());
      pending.erase(pending.begin());
    }
  };
  aErr err = aErrNone;
  bool complete = false;
  while (!complete) {
    uint8_t byte = 0;
    err = aStream_Read(stream, &byte, 1);
    if (err != aErrNone) break;
    pending.push_back(byte);
    settle();
    if (pending.size() == terminatorLength && std::memcmp(pending.data(), term, terminatorLength) == 0) {
      pending.clear();
      complete = true;
    } else if (stored.size() >= size) {
      complete = true;
    }
  }
  if (err == aErrNotReady) {
    // Everything taken goes back, so that the next call starts the record again.
    std::vector<uint8_t> back(stored);
    back.insert(back.end(), pending.begin(), pending.end());
    const aErr kept = sPushFront(stream, back.data(), back.size());
    return kept == aErrNone ? aErrNotReady : kept;
  }
  if (err == aErrEOF) {
    // A terminator cut off by the end of the data is data.
    while (!pending.empty() && stored.size() < size) {
      stored.push_back(pending.front());
      pending.erase(pending.begin());
    }
    if (stored.empty() && pending.empty()) {
      if (length != nullptr) *length = 0;
      return aErrEOF;
    }
    complete = true;
  } else if (err != aErrNone) {
    return err;
  }
  // Bytes read beyond a full buffer that were waiting to prove a terminator stay unread.
  if (!pending.empty()) {
    const aErr kept = sPushFront(stream, pending.data(), pending.size());
    if (kept != aErrNone) return kept;
  }
  std::memcpy(buffer, stored.data(), stored.size());
  if (length != nullptr) *length = stored.size();
  return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const void* data, uint64_t dataLength,
                         const void* terminator, uint64_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || data == nullptr || terminator == nullptr || terminatorLength == 0) {
    return aErrParam;
  }
  const aErr err = aStream_Write(stream, data, dataLength);
  if (err != aErrNone) return err;
  return aStream_Write(stream, terminator, terminatorLength);
}

namespace {
aErr sReadTerminatedString(aStream* stream, char* buffer, uint64_t size, const char* terminator,
                           uint64_t terminatorLength) {
  // Room for at least one character and the terminating zero.
  if (buffer == nullptr || size < 2) return aErrParam;
  uint64_t length = 0;
  const aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, terminator, terminatorLength);
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}
}  // namespace

aErr aStream_ReadCString(aStream* stream, char* buffer, uint64_t size) {
  static const char kZero[1] = {'\0'};
  return sReadTerminatedString(stream, buffer, size, kZero, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* string) {
  if (string == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, string, std::strlen(string), "", 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint64_t size, const char* terminator) {
  if (terminator == nullptr) return aErrParam;
  return sReadTerminatedString(stream, buffer, size, terminator, std::strlen(terminator));
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* terminator) {
  if (string == nullptr || terminator == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, string, std::strlen(string), terminator, std::strlen(terminator) + 1);
}

aErr aStream_Flush(aStream* from, aStream* to) {
  if (!aVALIDSTREAM(from) || !aVALIDSTREAM(to)) return aErrParam;
  if (from->get == nullptr || to->put == nullptr) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    const aErr got = from->get(&byte, from->reference);
    if (got == aErrEOF) return aErrNone;
    if (got != aErrNone) return got;
    const aErr put = to->put(&byte, to->reference);
    if (put != aErrNone) return put;
  }
}

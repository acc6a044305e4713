#include "common/transport/aCOBS.h"

#include <cstring>
#include <new>

#include "common/transport/aCRC8.h"
#include "common/aPacket.h"

namespace {

constexpr unsigned kRingSize = 10;
constexpr unsigned kRawMax = aPACKET_MAX_WIRE + 1;   // packet plus CRC: 31
constexpr unsigned kBodyMax = kRawMax + 1;           // one code byte more: 32
constexpr unsigned kFrameMax = kBodyMax + 1;         // and the delimiter: 33

struct aCobsStream {
  aStreamOps inner;   // the framed transport's table
  void* innerReference;
  uint16_t check;
  // Receive side (reader thread only).
  uint8_t rx[kBodyMax];
  unsigned rxCount;
  bool rxOverflow;      // the frame being collected is longer than any valid one
  uint8_t decoded[kRawMax];
  unsigned decodedLength;   // packet bytes waiting to be handed out (CRC excluded)
  unsigned readIndex;
  bool pending;
  // Transmit side (writer thread only).
  aPacket* assembler;
  uint8_t tx[kFrameMax];
  unsigned txLength;
};

bool sValid(const aCobsStream* s) { return s != nullptr && s->check == aCOBS_CHECK; }

aErr sCobsGet(uint8_t* byte, void* reference) {
  aCobsStream* s = static_cast<aCobsStream*>(reference);
  if (!sValid(s) || byte == nullptr) return aErrParam;
  if (s->pending) {
    *byte = s->decoded[s->readIndex++];
    if (s->readIndex >= s->decodedLength) {
      s->pending = false;
      s->readIndex = 0;
      s->decodedLength = 0;
    }
    return aErrNone;
  }
  uint8_t in = 0;
  if (s->inner.get == nullptr || s->inner.get(&in, s->innerReference) != aErrNone) return aErrNotReady;
  if (in != 0) {
    if (s->rxCount < sizeof s->rx)
      s->rx[s->rxCount++] = in;
    else
      s->rxOverflow = true;
    return aErrNotReady;
  }
  if (s->rxCount == 0 && !s->rxOverflow) return aErrNotReady;
  const bool overflow = s->rxOverflow;
  const unsigned count = s->rxCount;
  s->rxCount = 0;
  s->rxOverflow = false;
  // A frame longer than the longest valid one is refused whole rather than decoded
  // from its first 32 bytes.
  if (overflow) return aErrPacket;
  const uint64_t length = cobs_decode_inplace(s->rx, count);
  if (length <= 2 || length != s->rx[1] + 3u) return aErrPacket;
  if (!crc8_check(s->rx, length - 1, s->rx[length - 1])) return aErrPacket;
  std::memcpy(s->decoded, s->rx, length - 1);
  s->decodedLength = static_cast<unsigned>(length - 1);
  s->readIndex = 0;
  s->pending = true;
  return aErrNotReady;
}

aErr sCobsPut(const uint8_t* byte, void* reference) {
  aCobsStream* s = static_cast<aCobsStream*>(reference);
  if (!sValid(s)) return aErrParam;
  if (s->inner.put == nullptr) return aErrMode;
  return s->inner.put(byte, s->innerReference);
}

aErr sSendFrame(aCobsStream* s) {
  uint64_t length = 0;
  if (aPacket_GetBytes(s->assembler, s->tx, kRawMax, &length) != aErrNone) {
    aPacket_Reset(s->assembler);
    return aErrPacket;
  }
  aPacket_Reset(s->assembler);
  s->tx[length] = crc8_create(s->tx, length);
  length = cobs_encode_inplace(s->tx, length + 1);
  if (length == 0) return aErrPacket;
  s->tx[length++] = 0x00;
  s->txLength = static_cast<unsigned>(length);
  if (s->inner.write != nullptr) return s->inner.write(s->tx, length, s->innerReference);
  if (s->inner.put == nullptr) return aErrMode;
  for (uint64_t i = 0; i < length; i++) {
    const aErr e = s->inner.put(&s->tx[i], s->innerReference);
    if (e != aErrNone) return e;
  }
  return aErrNone;
}

aErr sCobsWrite(const uint8_t* data, uint64_t length, void* reference) {
  aCobsStream* s = static_cast<aCobsStream*>(reference);
  if (!sValid(s)) return aErrParam;
  if (data == nullptr) return aErrParam;
  aErr result = aErrNone;
  for (uint64_t i = 0; i < length; i++) {
    if (aPacket_AddByte(s->assembler, data[i]) != aErrNone) {
      // A refused byte spoils the packet around it; start afresh with the next byte
      // instead of refusing everything that follows.
      aPacket_Reset(s->assembler);
      continue;
    }
    if (!aPacket_IsComplete(s->assembler)) continue;
    const aErr e = sSendFrame(s);
    if (e != aErrNone) result = e;
  }
  return result;
}

bool sCobsPending(const void* reference) {
  const aCobsStream* s = static_cast<const aCobsStream*>(reference);
  return sValid(s) && s->pending;
}

aErr sCobsDelete(void* reference) {
  aCobsStream* s = static_cast<aCobsStream*>(reference);
  if (!sValid(s)) return aErrParam;
  const aErr result = s->inner.del != nullptr ? s->inner.del(s->innerReference) : aErrNone;
  aPacket_Destroy(&s->assembler);
  s->check = 0;
  delete s;
  return result;
}

// Input arrives on the framed transport's descriptor.
int sCobsWaitDescriptor(const void* reference) {
  const aCobsStream* s = static_cast<const aCobsStream*>(reference);
  if (!sValid(s) || s->inner.waitDescriptor == nullptr) return -1;
  return s->inner.waitDescriptor(s->innerReference);
}

// A decoded packet is handed out without any further input. Frames go out through the
// framed transport's writes, which on a serial line wait until the line has drained:
// they are left to the link's writer.
// Framed lines (the serial line) never connect again by themselves.
const aStreamOps kCobsOps = {sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, sCobsPending, sCobsWaitDescriptor,
                             /*promptWrites*/ false, /*connection*/ nullptr};

}  // namespace

uint64_t cobs_encode(const uint8_t* source, uint64_t length, uint8_t* destination) {
  if (destination == nullptr || (source == nullptr && length > 0)) return 0;
  uint64_t w = 1, codePos = 0;
  uint8_t code = 1;
  for (uint64_t r = 0; r < length; r++) {
    if (source[r] == 0) {
      destination[codePos] = code;
      codePos = w++;
      code = 1;
      continue;
    }
    destination[w++] = source[r];
    if (++code == 0xFF) {
      destination[codePos] = code;
      codePos = w++;
      code = 1;
    }
  }
  destination[codePos] = code;
  return w;
}

uint64_t cobs_encode_inplace(uint8_t* buffer, uint64_t length) {
  if (buffer == nullptr) return 0;
  uint8_t ring[kRingSize];
  unsigned head = 0, count = 0;
  uint64_t r = 0;   // next input byte not yet taken into the ring
  auto fill = [&] {
    while (count < kRingSize && r < length) {
      ring[(head + count) % kRingSize] = buffer[r++];
      count++;
    }
  };
  // A slot may be written once its input byte sits in the ring, or when all input has
  // been taken.
  auto safe = [&](uint64_t w) { return w < r || r == length; };
  fill();
  uint64_t w = 0;
  if (!safe(w)) return 0;
  uint64_t codePos = w++;
  uint8_t code = 1;
  while (count > 0) {
    const uint8_t b = ring[head];
    head = (head + 1) % kRingSize;
    count--;
    fill();
    if (b != 0) {
      if (!safe(w)) return 0;
      buffer[w++] = b;
      if (++code != 0xFF) continue;
    }
    buffer[codePos] = code;
    if (!safe(w)) return 0;
    codePos = w++;
    code = 1;
  }
  buffer[codePos] = code;
  return w;
}

uint64_t cobs_decode(const uint8_t* source, uint64_t length, uint8_t* destination) {
  if (destination == nullptr || (source == nullptr && length > 0)) return 0;
  uint64_t r = 0, w = 0;
  while (r < length) {
    const uint8_t code = source[r++];
    if (code == 0 || r + code - 1 > length) return 0;
    for (unsigned i = 1; i < code; i++) destination[w++] = source[r++];
    if (code != 0xFF && r < length) destination[w++] = 0;
  }
  return w;
}

uint64_t cobs_decode_inplace(uint8_t* buffer, uint64_t length) {
  // The output never runs ahead of the input, so decoding forward in place is safe.
  return cobs_decode(buffer, length, buffer);
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** stream) {
  const aStreamOps inner = {get, put, write, del, /*pending*/ nullptr, /*waitDescriptor*/ nullptr,
                            /*promptWrites*/ false, /*connection*/ nullptr};
  return aStream_CreateCobsOver(inner, reference, stream);
}

aErr aStream_CreateCobsOver(const aStreamOps& inner, void* reference, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  aCobsStream* s = new (std::nothrow) aCobsStream();
  if (s == nullptr) return aErrMemory;
  s->assembler = aPacket_Create();
  if (s->assembler == nullptr) {
    delete s;
    return aErrMemory;
  }
  s->inner = inner;
  s->innerReference = reference;
  s->check = aCOBS_CHECK;
  *stream = aStream_CreateWith(kCobsOps, s);
  if (*stream == nullptr) {
    aPacket_Destroy(&s->assembler);
    s->check = 0;
    delete s;
    return aErrResource;
  }
  return aErrNone;
}

// libFuzzer target: a serial line's bytes carrying COBS frames, read through the COBS
// stream one byte at a time and handed to the link's read side as its reader hands them
// on, on a link without threads. A decoder of the target's own (COBS as published, the
// CRC-8 computed bit by bit) says which frames are good; while the link stays in step,
// the packets routed to its FIFO must be exactly those frames' packets (heartbeats are
// answered instead). The write side goes the other way: each good packet written through
// the COBS stream must come out as one frame that the target's decoder reads back as it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/transport/aCOBS.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aStream.h"
#include "common/internal/aLinkInternal.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Line {
  const uint8_t* data;
  size_t size;
  size_t next;
  Bytes written;
};

aErr lineGet(uint8_t* byte, void* reference) {
  Line* line = static_cast<Line*>(reference);
  if (line->next >= line->size) return aErrNotReady;
  *byte = line->data[line->next++];
  return aErrNone;
}

aErr linePut(const uint8_t* byte, void* reference) {
  static_cast<Line*>(reference)->written.push_back(*byte);
  return aErrNone;
}

aErr lineWrite(const uint8_t* data, uint64_t length, void* reference) {
  Line* line = static_cast<Line*>(reference);
  line->written.insert(line->written.end(), data, data + length);
  return aErrNone;
}

// CRC-8/MAXIM, bit by bit: reflected polynomial 0x8C, initial 0, no final XOR.
uint8_t crc8(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; i++) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

// COBS as published: each code byte n is followed by n - 1 data bytes and, unless n is
// 255 or the body ends there, stands for a zero byte. False when a code points past the end.
bool cobsDecode(const Bytes& body, Bytes& out) {
  out.clear();
  for (size_t i = 0; i < body.size();) {
    const size_t n = body[i];
    if (n == 0 || i + n > body.size()) return false;
    out.insert(out.end(), body.begin() + static_cast<long>(i) + 1, body.begin() + static_cast<long>(i + n));
    i += n;
    if (n < 255 && i < body.size()) out.push_back(0);
  }
  return true;
}

// The packet of a good frame body: at most 32 bytes, decoding to [address][length][data]
// and its CRC-8.
bool goodFrame(const Bytes& body, Bytes& packet) {
  Bytes decoded;
  if (body.size() > 32 || !cobsDecode(body, decoded)) return false;
  if (decoded.size() <= 2 || decoded.size() != static_cast<size_t>(decoded[1]) + 3) return false;
  if (crc8(decoded.data(), decoded.size() - 1) != decoded.back()) return false;
  packet.assign(decoded.begin(), decoded.end() - 1);
  return true;
}

// What the link does with packet bytes while in step (the link byte protocol); false
// once a lost place would start the handshake, after which nothing more is compared.
struct InStep {
  Bytes packet;
  std::vector<Bytes> routed;
  bool take(uint8_t b) {
    if (packet.empty() && (b == 0 || (b & 1) != 0)) return false;
    if (packet.size() == 1 && b > 28) return false;
    packet.push_back(b);
    if (packet.size() >= 2 && packet.size() == static_cast<size_t>(packet[1]) + 2) {
      if (!(packet[1] == 2 && packet[2] == 0x00)) routed.push_back(packet);  // heartbeats are answered
      packet.clear();
    }
    return true;
  }
};

void drain(aLinkRef id, std::vector<Bytes>& out) {
  while (aPacket* p = aLink_GetPacket(id)) {
    Bytes b = {p->address, p->dataSize};
    b.insert(b.end(), p->data, p->data + p->dataSize);
    out.push_back(b);
    aPacket_Destroy(&p);
  }
  uint8_t wire[4096];
  while (aLink_TakeQueued(id, wire, sizeof wire) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Line line{data, size, 0, {}};
  aStream* stream = nullptr;
  if (aStream_CreateCobsEncoding(lineGet, linePut, lineWrite, nullptr, &line, &stream) != aErrNone) std::abort();
  aLinkRef id = aLink_CreateDetached();
  if (id == 0) std::abort();

  // The frames as the target's decoder sees them.
  std::vector<Bytes> good;
  InStep model;
  bool inStep = true;
  Bytes body;
  for (size_t i = 0; i < size; i++) {
    if (data[i] != 0) {
      body.push_back(data[i]);
      continue;
    }
    Bytes packet;
    if (!body.empty() && goodFrame(body, packet)) {
      good.push_back(packet);
      for (uint8_t b : packet) inStep = inStep && model.take(b);
    }
    body.clear();
  }

  // The reader's way: one byte at a time, on while the transport has input.
  std::vector<Bytes> routed;
  size_t reads = 0;
  for (;;) {
    uint8_t byte = 0;
    const aErr e = aStream_Read(stream, &byte, 1);
    if (++reads > 4 * size + 16) std::abort();  // every read takes a byte or ends a frame
    if (e == aErrNone) {
      if (aLink_Arrive(id, &byte, 1) != aErrNone) std::abort();
      drain(id, routed);
    } else if (e == aErrNotReady) {
      if (line.next >= size && !aStream_InputPending(stream)) break;
    } else if (e != aErrPacket) {
      std::abort();  // a bad frame is the only other outcome
    }
  }
  drain(id, routed);
  if (inStep && routed != model.routed) std::abort();

  // Each good packet the host could send (address 0 is none) written through the stream:
  // one frame that decodes back to it.
  for (const Bytes& packet : good) {
    if (packet[0] == 0) continue;
    line.written.clear();
    if (aStream_Write(stream, packet.data(), packet.size()) != aErrNone) std::abort();
    if (line.written.empty() || line.written.back() != 0) std::abort();
    const Bytes frame(line.written.begin(), line.written.end() - 1);
    if (std::memchr(frame.data(), 0, frame.size()) != nullptr) std::abort();
    Bytes back;
    if (!goodFrame(frame, back) || back != packet) std::abort();
  }
  aLink_Destroy(&id);
  aStream_Destroy(&stream);
  return 0;
}

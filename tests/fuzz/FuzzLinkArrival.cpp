// libFuzzer target: bytes as a link receives them, run through what its reader does with
// them (the synchronisation handshake, packet assembly, heartbeat answers, the user
// filter, routing to the incoming FIFO) on a link without threads. A model of the
// target's own, written from the link byte protocol, follows the same bytes: the packets
// in the FIFO, the heartbeat answers among the queued outgoing packets and whether the
// link ends in step must be what the model says.
//
// Input: a byte whose low bits choose the size of the blocks the bytes arrive in, then
// the bytes. Packets whose first data byte is 0xFE are consumed by the user filter.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/internal/aLinkInternal.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t consumeMarked(const aPacket* packet, void*) {
  return packet->dataSize > 0 && packet->data[0] == 0xFE ? 1 : 2;
}

// The link byte protocol, from its description: in step, packets [address][length][data]
// with an even, non-zero address and at most 28 data bytes; anything else is a lost place,
// which starts the handshake. The handshake completes on [A][0][A][0] (A even, non-zero);
// a byte that breaks it restarts it (state "start" drops the next byte and restarts).
struct Model {
  enum State { InStep, Start, Byte1, Byte2, Byte3, Byte4 } state = InStep;
  uint8_t syncAddress = 0;
  Bytes packet;  // the packet under assembly
  std::vector<Bytes> routed;
  std::vector<Bytes> answers;

  void restart() {
    state = Byte1;
    packet.clear();
  }
  void take(uint8_t b) {
    switch (state) {
      case InStep: assemble(b); return;
      case Start: restart(); return;
      case Byte1:
        if (b != 0 && (b & 1) == 0) {
          syncAddress = b;
          state = Byte2;
        } else {
          restart();
        }
        return;
      case Byte2: state = b == 0 ? Byte3 : Start; return;
      case Byte3: state = b == syncAddress ? Byte4 : Start; return;
      case Byte4:
        if (b == 0) {
          state = InStep;
          packet.clear();
        } else {
          state = Start;
        }
        return;
    }
  }
  void assemble(uint8_t b) {
    if (packet.empty() && (b == 0 || (b & 1) != 0)) return restart();
    if (packet.size() == 1 && b > 28) return restart();
    packet.push_back(b);
    if (packet.size() < 2 || packet.size() != static_cast<size_t>(packet[1]) + 2) return;
    if (packet[1] > 0 && packet[2] == 0xFE) {
      // consumed by the filter
    } else if (packet[1] == 2 && packet[2] == 0x00) {
      answers.push_back({packet[0], 2, 0x00, static_cast<uint8_t>(packet[3] + 2)});
    } else {
      routed.push_back(packet);
    }
    packet.clear();
  }
};

// Queued outgoing wire bytes as packets.
void takeQueued(aLinkRef id, std::vector<Bytes>& out) {
  uint8_t wire[4096];
  for (;;) {
    const uint64_t n = aLink_TakeQueued(id, wire, sizeof wire);
    if (n == 0) return;
    for (uint64_t at = 0; at < n;) {
      if (at + 2 > n || at + 2 + wire[at + 1] > n) std::abort();  // whole packets only
      out.push_back(Bytes(wire + at, wire + at + 2 + wire[at + 1]));
      at += 2 + wire[at + 1];
    }
  }
}

void drain(aLinkRef id, std::vector<Bytes>& out) {
  while (aPacket* p = aLink_GetPacket(id)) {
    Bytes b = {p->address, p->dataSize};
    b.insert(b.end(), p->data, p->data + p->dataSize);
    out.push_back(b);
    aPacket_Destroy(&p);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t block = 1 + (data[0] & 0x1F);
  aLinkRef id = aLink_CreateDetached();
  if (id == 0) std::abort();
  aLink_InstallUserPacketFilter(id, consumeMarked, nullptr);
  Model model;
  std::vector<Bytes> routed, queued;
  for (size_t at = 1; at < size; at += block) {
    const size_t n = block < size - at ? block : size - at;
    if (aLink_Arrive(id, data + at, n) != aErrNone) std::abort();
    for (size_t i = 0; i < n; i++) model.take(data[at + i]);
    drain(id, routed);
    takeQueued(id, queued);
  }
  if (routed != model.routed) std::abort();
  std::vector<Bytes> answers;
  for (const Bytes& p : queued) {
    if (p == Bytes{0xAD, 0x00}) continue;  // handshake requests
    answers.push_back(p);
  }
  if (answers != model.answers) std::abort();
  const int32_t status = aLink_GetStatus(id);
  if ((status == kLinkStatusRunning) != (model.state == Model::InStep)) std::abort();
  aLink_Destroy(&id);
  return 0;
}

// libFuzzer target: frames from a link server as a client link receives them. A ROUTER
// of this process plays the server and sends the frames over loopback TCP to a real
// ZeroMQ client stream (aStream_CreateClient), whose reader must hand out exactly the
// frames' bytes, in order, empty frames skipped, nothing lost, nothing more. The bytes
// then arrive at a link (through the engine's arrival seam, frame by frame as the
// reader takes them), which must end exactly as a link that took the same bytes in one
// piece: the same packets routed, the same answers queued, the same status.
//
// Input: frames, each a length byte and that many bytes (a frame cut short by the end
// of the input is sent as it is).
#include <czmq.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aStream.h"
#include "common/internal/aLinkInternal.h"
#include "common/transport/aZMQStream.h"
#include "common/transport/aZSys.h"

namespace {

using Bytes = std::vector<uint8_t>;

void checkAt(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "client_frames: check at line %d failed\n", line);
  std::abort();
}
#define check(ok) checkAt((ok), __LINE__)

// The server end and the client stream, made once for the whole run.
struct Rig {
  zsock_t* router = nullptr;
  aStream* stream = nullptr;
  std::string client;   // the stream's identity at the router

  Rig() {
    aZSys_Init();
    router = zsock_new(ZMQ_ROUTER);
    check(router != nullptr);
    // A ROUTER drops what finds its queue full, and it counts the frames read by the far
    // end only every few hundred: a bound would lose frames of a long input.
    zsock_set_sndhwm(router, 0);
    const int port = zsock_bind(router, "tcp://127.0.0.1:*");
    check(port > 0);
    check(aStream_CreateClient(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port), &stream) == aErrNone);
    // The router learns the stream's identity from its first frame.
    const uint8_t hello[2] = {0xAD, 0x00};
    check(aStream_Write(stream, hello, sizeof hello) == aErrNone);
    zsock_set_rcvtimeo(router, 5000);
    zmsg_t* first = zmsg_recv(router);
    check(first != nullptr && zmsg_size(first) == 2);
    zframe_t* identity = zmsg_first(first);
    client.assign(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity));
    zmsg_destroy(&first);
  }
  // At exit, before CZMQ's own exit handler looks for sockets left open.
  ~Rig() {
    aStream_Destroy(&stream);
    zsock_destroy(&router);
  }
};

void send(Rig& rig, const Bytes& frame) {
  check(zmq_send(zsock_resolve(rig.router), rig.client.data(), rig.client.size(), ZMQ_SNDMORE) >= 0);
  check(zmq_send(zsock_resolve(rig.router), frame.data(), frame.size(), 0) >= 0);
}

struct Outcome {
  std::vector<Bytes> routed;
  Bytes queued;
  int32_t status = 0;
  bool operator==(const Outcome& o) const { return routed == o.routed && queued == o.queued && status == o.status; }
};

Outcome arrive(const std::vector<Bytes>& blocks) {
  aLinkRef id = aLink_CreateDetached();
  check(id != 0);
  Outcome out;
  for (const Bytes& b : blocks) {
    check(aLink_Arrive(id, b.data(), b.size()) == aErrNone);
    while (aPacket* p = aLink_GetPacket(id)) {
      Bytes packet = {p->address, p->dataSize};
      packet.insert(packet.end(), p->data, p->data + p->dataSize);
      out.routed.push_back(packet);
      aPacket_Destroy(&p);
    }
    uint8_t wire[4096];
    for (uint64_t n; (n = aLink_TakeQueued(id, wire, sizeof wire)) > 0;) out.queued.insert(out.queued.end(), wire, wire + n);
  }
  out.status = aLink_GetStatus(id);
  aLink_Destroy(&id);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig rig;
  std::vector<Bytes> frames;
  for (size_t at = 0; at < size;) {
    const size_t n = data[at++];
    const size_t take = n < size - at ? n : size - at;
    frames.emplace_back(data + at, data + at + take);
    at += take;
  }
  Bytes all;
  size_t empty = 0;
  for (const Bytes& f : frames) {
    send(rig, f);
    all.insert(all.end(), f.begin(), f.end());
    if (f.empty()) empty++;
  }
  // A last frame of its own, so that every empty frame of this input comes before it.
  const Bytes end = {0xAD, 0x00};
  send(rig, end);
  // The reader's view: every byte of every frame; an empty frame only ever as one
  // "nothing yet". A few more of those may come from a wait that a signal cut short (the
  // fuzzer's own timer) or that ran out on a loaded machine; bytes lost would make them
  // endless.
  Bytes got(all.size() + end.size());
  size_t have = 0, notReady = 0, waits = 0;
  while (have < got.size()) {
    const auto start = std::chrono::steady_clock::now();
    const aErr e = aStream_Read(rig.stream, &got[have], 1);
    if (e == aErrNone) {
      have++;
      continue;
    }
    check(e == aErrNotReady && ++notReady <= empty + 5);
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(900)) continue;
    if (++waits <= 5) continue;
    std::fprintf(stderr, "client_frames: %zu of %zu bytes after %zu waits (%zu frames, %zu empty)\n", have, got.size(),
                 waits, frames.size(), empty);
    std::abort();
  }
  check(Bytes(got.begin(), got.begin() + static_cast<long>(all.size())) == all);
  check(Bytes(got.begin() + static_cast<long>(all.size()), got.end()) == end);
  check(!aStream_InputPending(rig.stream));

  std::vector<Bytes> blocks;
  for (const Bytes& f : frames)
    if (!f.empty()) blocks.push_back(f);
  check(arrive(blocks) == arrive({all}));
  return 0;
}

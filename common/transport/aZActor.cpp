#include "common/transport/aZActor.h"

#include <atomic>
#include <cstdint>

namespace {

constexpr int kStopWaitMs = 250;

// Counts the actors that have ended: each end is a release, each join an acquire of it.
std::atomic<uint64_t> sEnded{0};

}  // namespace

void aZActor_Ends() { sEnded.fetch_add(1, std::memory_order_release); }

void aZActor_Joined() { sEnded.load(std::memory_order_acquire); }

void aZActor_Stop(zactor_t** actor) {
  if (actor == nullptr || *actor == nullptr) return;
  zsock_t* pipe = zactor_sock(*actor);
  zsock_set_sndtimeo(pipe, kStopWaitMs);
  zsock_set_rcvtimeo(pipe, kStopWaitMs);
  zsock_signal(pipe, 0);
  zsock_wait(pipe);
  zsock_set_sndtimeo(pipe, -1);
  zsock_set_rcvtimeo(pipe, -1);
  zactor_destroy(actor);
  aZActor_Joined();
}

#pragma once
// Giving back the memory a crowd of clients left behind. The requests of many clients
// (and the frontend's buffers for their connections) are allocated and freed on the
// broker's and ZeroMQ's threads, whose allocator arenas keep freed memory for reuse
// instead of returning it: after the clients have gone, the process would go on holding
// most of what they took at their peak. So once what the server holds for its clients
// has fallen by aSERVER_GIVE_BACK_AFTER from its peak, the broker asks the allocator to
// return its free memory, a moment later (aSERVER_GIVE_BACK_DELAY_MS), when ZeroMQ has
// also freed what it kept for the connections that ended.
#include <cstddef>

#include "common/unix/aTime.h"

#define aSERVER_GIVE_BACK_AFTER (4u << 20)
#define aSERVER_GIVE_BACK_DELAY_MS 1000

namespace aserver {

class aServerGiveBack {
 public:
  // After each pass of the broker, with the bytes held for the clients now.
  void pass(size_t held, aTime now);
  // The broker's next wait, shortened so that a give-back due comes in time.
  int waitMs(int wait, aTime now) const;
  // Give-backs so far (for tests).
  unsigned count() const { return count_; }

 private:
  size_t peak_ = 0;
  aTime due_ = 0;   // 0: none due
  unsigned count_ = 0;
};

}  // namespace aserver

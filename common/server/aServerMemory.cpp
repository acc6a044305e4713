// Giving back the memory a crowd of clients left behind (aServerMemory.h).
#include "common/server/aServerMemory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace aserver {

namespace {

void sGiveBack() {
#if defined(__GLIBC__)
  // Every arena's free pages go back to the system, not only the top of each heap.
  malloc_trim(0);
#endif
}

}  // namespace

void aServerGiveBack::pass(size_t held, aTime now) {
  if (held > peak_) peak_ = held;
  if (due_ == 0) {
    if (peak_ - held >= aSERVER_GIVE_BACK_AFTER) due_ = now + aSERVER_GIVE_BACK_DELAY_MS;
    return;
  }
  if (now < due_) return;
  sGiveBack();
  count_++;
  due_ = 0;
  peak_ = held;
}

int aServerGiveBack::waitMs(int wait, aTime now) const {
  if (due_ == 0) return wait;
  const aTime left = due_ > now ? due_ - now : 0;
  return left < static_cast<aTime>(wait) ? static_cast<int>(left) : wait;
}

}  // namespace aserver

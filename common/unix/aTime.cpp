#include "common/unix/aTime.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

aTime aTime_GetMSTicks() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return static_cast<aTime>(tv.tv_sec) * 1000u + static_cast<aTime>(tv.tv_usec) / 1000u;
}

aTime aTime_GetMonotonicMSTicks() {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return static_cast<aTime>(ts.tv_sec) * 1000u + static_cast<aTime>(ts.tv_nsec) / 1000000u;
}

aErr aTime_MSSleep(aTime milliseconds) {
  // usleep takes less than a second per call; products above 2^64 microseconds saturate.
  const aTime limit = UINT64_MAX / 1000u;
  aTime remaining = milliseconds > limit ? UINT64_MAX : milliseconds * 1000u;
  while (remaining > 0) {
    const aTime step = remaining > 999999u ? 999999u : remaining;
    usleep(static_cast<useconds_t>(step));
    remaining -= step;
  }
  return aErrNone;
}

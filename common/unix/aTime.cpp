#include "common/unix/aTime.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

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
  // Steps of less than a second; products above 2^64 microseconds saturate.
  const aTime limit = UINT64_MAX / 1000u;
  aTime remaining = milliseconds > limit ? UINT64_MAX : milliseconds * 1000u;
  while (remaining > 0) {
    const aTime step = remaining > 999999u ? 999999u : remaining;
    // A signal ends a sleep early; what it left is slept on, so that a caller's
    // pause or retry interval is never cut short.
    timespec left{0, static_cast<long>(step) * 1000L};
    timespec rest{};
    while (nanosleep(&left, &rest) != 0 && errno == EINTR) left = rest;
    remaining -= step;
  }
  return aErrNone;
}

#pragma once
// Millisecond time of the portability layer.
#include <cstdint>
#include "common/aErr.h"

typedef uint64_t aTime;

// Wall-clock milliseconds since the Unix epoch; moves when the system clock is set.
aTime aTime_GetMSTicks();
// Milliseconds of a clock that never goes back: what time-outs are measured with.
aTime aTime_GetMonotonicMSTicks();
aErr aTime_MSSleep(aTime milliseconds);

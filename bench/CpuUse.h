// CPU time and context switches from getrusage, for the benchmarks that set what a road
// costs beside its raw baseline: of the process, of the calling thread, or of the
// children waited for.
#pragma once

#include <sys/resource.h>

namespace benchnet {

struct CpuUse {
  double seconds = 0;   // user and system
  long switches = 0;    // voluntary and not
};

// who: RUSAGE_SELF, RUSAGE_THREAD or RUSAGE_CHILDREN.
CpuUse cpuUse(int who);

}  // namespace benchnet

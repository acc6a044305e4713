#include "bench/CpuUse.h"

namespace benchnet {

CpuUse cpuUse(int who) {
  rusage u{};
  getrusage(who, &u);
  CpuUse c;
  c.seconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
              static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  c.switches = u.ru_nvcsw + u.ru_nivcsw;
  return c;
}

}  // namespace benchnet

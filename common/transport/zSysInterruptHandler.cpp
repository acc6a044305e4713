#include "common/transport/zSysInterruptHandler.h"

#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>

namespace {

std::mutex& sSigintMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

bool _sigint_latch = false;   // guarded by sSigintMutex()

}  // namespace

void zSysInterruptHandler_process() {
  if (zsys_interrupted == 0) return;
  std::lock_guard<std::mutex> hold(sSigintMutex());
  zsys_handler_set(nullptr);
  if (!_sigint_latch) {
    kill(getpid(), SIGINT);
    _sigint_latch = true;
  }
  zsys_handler_reset();
}

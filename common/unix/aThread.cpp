#include "common/unix/aThread.h"

#include <cerrno>
#include <ctime>
#include <new>

aThread* aThread_Create(aThreadProc function, void* argument) {
  if (function == nullptr) return nullptr;
  aThread* t = new (std::nothrow) aThread;
  if (t == nullptr) return nullptr;
  if (pthread_create(&t->id, nullptr, function, argument) != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return EINVAL;
  const int rc = pthread_join((*thread)->id, nullptr);
  delete *thread;
  *thread = nullptr;
  return rc;
}

void aThread_Yield() {
  const struct timespec pause = {0, 5000};
  nanosleep(&pause, nullptr);
}

#include "common/unix/aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {
enum class Call { Lock, TryLock, Unlock, Destroy };

aErr mapResult(Call call, int rc) {
  switch (rc) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EBUSY:
      return (call == Call::TryLock || call == Call::Destroy) ? aErrBusy : aErrUnknown;
    case EDEADLK: return call == Call::Lock ? aErrDuplicate : aErrUnknown;
    case EPERM: return call == Call::Unlock ? aErrPermission : aErrUnknown;
    case EAGAIN: return call == Call::Destroy ? aErrResource : aErrUnknown;
    default: return aErrUnknown;
  }
}
}  // namespace

aMutex* aMutex_Create(const char* name) {
  if (name != nullptr && strnlen(name, aMUTEX_NAME_SIZE) >= aMUTEX_NAME_SIZE) return nullptr;
  aMutex* m = new (std::nothrow) aMutex;
  if (m == nullptr) return nullptr;
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
    delete m;
    return nullptr;
  }
  std::memset(m->name, 0, sizeof m->name);
  if (name != nullptr) std::strcpy(m->name, name);
  return m;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex != nullptr ? mutex->name : ""; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return mapResult(Call::Lock, pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return mapResult(Call::TryLock, pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return mapResult(Call::Unlock, pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  const aErr result = mapResult(Call::Destroy, pthread_mutex_destroy(&(*mutex)->mutex));
  delete *mutex;
  *mutex = nullptr;
  return result;
}

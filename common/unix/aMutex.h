#pragma once
// Named, non-recursive mutexes of the portability layer.
#include <pthread.h>
#include "common/aErr.h"

#define aMUTEX_NAME_SIZE 256

struct aMutex {
  pthread_mutex_t mutex;
  char name[aMUTEX_NAME_SIZE];
};

aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
aErr aMutex_Destroy(aMutex** mutex);

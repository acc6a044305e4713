#pragma once
// Joinable threads of the portability layer.
#include <pthread.h>

typedef void* (*aThreadProc)(void* argument);

struct aThread {
  pthread_t id;
};

aThread* aThread_Create(aThreadProc function, void* argument);
// Joins the thread; returns the join call's own result number (0 on success).
int aThread_Destroy(aThread** thread);
void aThread_Yield();

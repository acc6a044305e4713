#pragma once
// A logger: a thread of its own that calls a callback again and again with an open
// file (opened for appending, unbuffered) and a parameter, between aLogger_Enable and
// aLogger_Disable. The callback sets the pace: it must wait when it has nothing to do.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/aErr.h"
#include "common/unix/aFile.h"

#define aLOGGER_CHECK 0xDEED

typedef void (*aLoggerProc)(aFile* file, uint32_t parameter);

struct aLogger {
  uint32_t parameter = 0;
  aLoggerProc callback = nullptr;
  aFile* file = nullptr;
  pthread_t thread{};                 // under control; valid while threadRunning
  bool threadRunning = false;         // under control: a thread to join exists
  std::atomic<uint8_t> enabled{0};    // the thread loops while it is 1
  uint16_t check = 0;
  // Serialises enable, disable and destroy; the thread itself never takes it.
  std::mutex control;
};

#define aVALIDLOGGER(logger) ((logger) != nullptr && (logger)->check == aLOGGER_CHECK)

// A logger writing to path (appended to, unbuffered), not yet running; null for a null
// callback or path, when memory is exhausted or the file cannot be opened.
aLogger* aLogger_Create(uint32_t parameter, aLoggerProc callback, const char* path);
// Starts the thread: aErrNone (also when it runs already), aErrParam for an invalid
// logger, aErrResource when no thread can be started.
aErr aLogger_Enable(aLogger* logger);
// Stops and joins the thread: aErrNone (also when it does not run; on the logger's own
// thread nothing changes), aErrParam for an invalid logger, aErrUnknown when the join
// fails.
aErr aLogger_Disable(aLogger* logger);
// Stops the thread, closes the file and frees the logger (*logger becomes null); the
// stop's result. An invalid logger: aErrNone, nothing done. On the logger's own thread,
// or when the thread cannot be stopped, nothing is closed or freed: aErrBusy, or the
// stop's failure.
aErr aLogger_Destroy(aLogger** logger);

#include "common/log/aLogger.h"

#include <new>

namespace {

// The logger whose thread this is, if any: lets the operations recognise a call from
// the callback without reading the thread handle, which pthread_create may not have
// stored yet when the thread starts.
thread_local const aLogger* tOwnLogger = nullptr;

void* sRunLog(void* argument) {
  aLogger* logger = static_cast<aLogger*>(argument);
  tOwnLogger = logger;
  while (logger->enabled.load() == 1) logger->callback(logger->file, logger->parameter);
  tOwnLogger = nullptr;
  return nullptr;
}

bool sOnOwnThread(const aLogger* logger) { return tOwnLogger == logger; }

aErr sDisableLocked(aLogger* logger) {
  logger->enabled = 0;
  if (!logger->threadRunning) return aErrNone;
  if (pthread_join(logger->thread, nullptr) != 0) return aErrUnknown;
  logger->threadRunning = false;
  logger->thread = pthread_self();
  return aErrNone;
}

}  // namespace

aLogger* aLogger_Create(uint32_t parameter, aLoggerProc callback, const char* path) {
  if (callback == nullptr || path == nullptr) return nullptr;
  aLogger* logger = new (std::nothrow) aLogger;
  if (logger == nullptr) return nullptr;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (logger->file == nullptr) {
    delete logger;
    return nullptr;
  }
  aFile_SetUnbuffered(logger->file);
  logger->parameter = parameter;
  logger->callback = callback;
  logger->thread = pthread_self();
  logger->check = aLOGGER_CHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (sOnOwnThread(logger)) return aErrNone;
  std::lock_guard<std::mutex> lock(logger->control);
  if (logger->enabled.load() == 1 && logger->threadRunning) return aErrNone;
  // A thread told to stop but never joined (its stop failed) is joined first.
  if (logger->threadRunning && sDisableLocked(logger) != aErrNone) return aErrUnknown;
  logger->enabled = 1;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, sRunLog, logger) != 0) {
    logger->thread = pthread_self();
    logger->enabled = 0;
    return aErrResource;
  }
  logger->thread = thread;
  logger->threadRunning = true;
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  // The thread cannot wait for itself.
  if (sOnOwnThread(logger)) return aErrNone;
  std::lock_guard<std::mutex> lock(logger->control);
  return sDisableLocked(logger);
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !aVALIDLOGGER(*logger)) return aErrNone;
  aLogger* l = *logger;
  // Freeing the logger under its own running thread would pull the file and the record
  // out from under the loop.
  if (sOnOwnThread(l)) return aErrBusy;
  aErr result;
  {
    std::lock_guard<std::mutex> lock(l->control);
    result = sDisableLocked(l);
    if (result != aErrNone) return result;   // the thread may still write to the file
    aFile_Close(&l->file);
    l->check = 0;
  }
  delete l;
  *logger = nullptr;
  return result;
}

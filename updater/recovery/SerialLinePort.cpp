#include "updater/recovery/SerialLinePort.h"

#include <poll.h>

#include <cerrno>

#include "common/unix/aSerial.h"

aErr SerialLinePort::openStream(const char* path, uint32_t rate, aStream** stream) {
  const int32_t index = aSerial_BaudIndex(rate);
  if (index < 0) return aErrParam;
  return aStream_CreateSerial(path, index, false, 0, 0, stream);
}

aErr SerialLinePort::open(const char* path, uint32_t rate, std::unique_ptr<IspPort>* port) {
  port->reset();
  if (path == nullptr) return aErrParam;
  aStream* stream = nullptr;
  const aErr e = openStream(path, rate, &stream);
  if (e != aErrNone) return e;
  port->reset(new SerialLinePort(path, stream));
  return aErrNone;
}

SerialLinePort::~SerialLinePort() {
  if (stream_ != nullptr) aStream_Destroy(&stream_);
}

aErr SerialLinePort::write(const uint8_t* data, size_t length) {
  if (stream_ == nullptr) return aErrIO;
  return aStream_Write(stream_, data, length);
}

aErr SerialLinePort::read(uint8_t* byte, aTime deadline) {
  if (stream_ == nullptr) return aErrIO;
  for (;;) {
    const aErr e = aStream_Read(stream_, byte, 1);
    if (e != aErrNotReady) return e;
    const aTime now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return aErrNotReady;
    const int left = static_cast<int>(deadline - now);
    if (stream_->waitFd < 0) {
      aTime_MSSleep(static_cast<aTime>(left));
      continue;
    }
    pollfd p{stream_->waitFd, POLLIN, 0};
    const int ready = poll(&p, 1, left);
    if (ready < 0 && errno != EINTR) return aErrIO;
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      // A hung-up line (an adapter that went) reads as empty for ever and polls ready
      // at once: it takes what it still holds, then the line is gone, not quiet.
      const aErr last = aStream_Read(stream_, byte, 1);
      return last == aErrNotReady ? aErrIO : last;
    }
  }
}

aErr SerialLinePort::setRate(uint32_t rate) {
  if (stream_ != nullptr) aStream_Destroy(&stream_);
  stream_ = nullptr;
  return openStream(path_.c_str(), rate, &stream_);
}

void SerialLinePort::flush() {
  // Bounded: a line that never stops sending must not hold the caller.
  constexpr int kFlushBytes = 64 * 1024;
  uint8_t byte = 0;
  for (int i = 0; i < kFlushBytes && stream_ != nullptr && aStream_Read(stream_, &byte, 1) == aErrNone; i++) {
  }
}

#pragma once
// The line the ISP client talks over: bytes out, one byte in by a deadline, the line's
// rate, and a flush of input nobody read. The serial line implements it for the chip;
// tests and fuzz targets implement it with bytes of their own, so the client never
// needs to know what carries its bytes.
#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include "common/unix/aTime.h"

class IspPort {
public:
  virtual ~IspPort() = default;

  // Sends every byte; returns once the line has taken them.
  virtual aErr write(const uint8_t* data, size_t length) = 0;
  // One byte into byte, waited for until deadline (aTime_GetMonotonicMSTicks) at the
  // latest: aErrNotReady when none came by then. Any other error says the line failed;
  // nothing more can arrive, and such reads return at once.
  virtual aErr read(uint8_t* byte, aTime deadline) = 0;
  // Runs the line at rate from now on.
  virtual aErr setRate(uint32_t rate) = 0;
  // Drops the input that has arrived and was not read.
  virtual void flush() = 0;

protected:
  IspPort() = default;
  IspPort(const IspPort&) = delete;
  IspPort& operator=(const IspPort&) = delete;
};

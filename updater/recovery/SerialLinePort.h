#pragma once
// The ISP client's port on a serial line: the core's raw serial stream (8N1, no flow
// control), waited on through the stream's own wait descriptor.
#include <cstdint>
#include <memory>
#include <string>

#include "common/aStream.h"
#include "updater/recovery/IspPort.h"

class SerialLinePort : public IspPort {
public:
  // Opens path at rate (one of the serial layer's rates); the stream's error otherwise
  // (aErrNotFound for a port that does not exist).
  static aErr open(const char* path, uint32_t rate, std::unique_ptr<IspPort>* port);
  ~SerialLinePort() override;

  aErr write(const uint8_t* data, size_t length) override;
  aErr read(uint8_t* byte, aTime deadline) override;
  // Opens the line again at rate, as the serial layer sets a rate only when it opens.
  aErr setRate(uint32_t rate) override;
  void flush() override;

private:
  SerialLinePort(std::string path, aStream* stream) : path_(std::move(path)), stream_(stream) {}
  static aErr openStream(const char* path, uint32_t rate, aStream** stream);

  std::string path_;
  aStream* stream_;
};

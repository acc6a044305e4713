#pragma once
// Captures what the updater writes through Log::log while it lives.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/cli/Log.h"

class LogCapture {
public:
  explicit LogCapture(uint32_t mask) : savedMask_(Log::package_bitmask), savedStream_(Log::fh) {
    stream_ = open_memstream(&buffer_, &size_);
    Log::package_bitmask = mask;
    Log::SetOutput(stream_);
  }
  ~LogCapture() {
    Log::SetOutput(savedStream_);
    Log::package_bitmask = savedMask_;
    std::fclose(stream_);
    std::free(buffer_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }
  bool contains(const std::string& part) { return text().find(part) != std::string::npos; }

private:
  uint32_t savedMask_;
  FILE* savedStream_;
  FILE* stream_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

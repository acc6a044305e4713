#pragma once
// A port for the ISP client whose input the test scripts and whose output it records
// write by write. A read waits (until its deadline) for input the test feeds later,
// from another thread if it likes, as a serial line would.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "updater/recovery/IspPort.h"

class ScriptedPort : public IspPort {
 public:
  void feed(const std::vector<uint8_t>& bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      input_.insert(input_.end(), bytes.begin(), bytes.end());
    }
    changed_.notify_all();
  }
  size_t pendingInput() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
  }
  void clearInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.clear();
  }
  std::vector<std::vector<uint8_t>> writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  void clearWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
  }
  // Waits (bounded) until pred(writes) holds.
  bool waitWrites(const std::function<bool(const std::vector<std::vector<uint8_t>>&)>& pred, int timeoutMs = 2000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(writes_); });
  }
  std::vector<uint32_t> rates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rates_;
  }

  aErr write(const uint8_t* data, size_t length) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writes_.emplace_back(data, data + length);
    }
    changed_.notify_all();
    return aErrNone;
  }
  aErr read(uint8_t* byte, aTime deadline) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const aTime now = aTime_GetMonotonicMSTicks();
    const auto wait = std::chrono::milliseconds(deadline > now ? deadline - now : 0);
    if (!changed_.wait_for(lock, wait, [this] { return !input_.empty(); })) return aErrNotReady;
    *byte = input_.front();
    input_.pop_front();
    return aErrNone;
  }
  aErr setRate(uint32_t rate) override {
    std::lock_guard<std::mutex> lock(mutex_);
    rates_.push_back(rate);
    return aErrNone;
  }
  void flush() override { clearInput(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint8_t> input_;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<uint32_t> rates_;
};

#pragma once
// An in-process aStream whose input the test scripts byte by byte and whose output it
// records write by write, for the link tests where exact byte sequences matter.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/aStream.h"

class ScriptedStream {
 public:
  // Makes the aStream; the stream and the test share this object, so the test can still
  // read what was written after the link has destroyed its stream.
  static aStream* create(std::shared_ptr<ScriptedStream>* out) {
    *out = std::make_shared<ScriptedStream>();
    return aStream_Create(sGet, nullptr, sWrite, sDelete, new std::shared_ptr<ScriptedStream>(*out));
  }
  bool deleted() const { return deleted_; }

  void feed(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
  }
  // Makes every following read fail with code until cleared with aErrNone.
  void failReads(aErr code) { readError_ = code; }
  // Makes every following write fail with code (nothing is recorded) until cleared.
  void failWrites(aErr code) { writeError_ = code; }
  // While closed, writes wait (bounded) until the gate is opened again.
  void setGate(bool open) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gateOpen_ = open;
    }
    changed_.notify_all();
  }

  std::vector<std::vector<uint8_t>> writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  // All written bytes, concatenated.
  std::vector<uint8_t> written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> all;
    for (const auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
  void clearWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
  }
  // Waits (bounded) until pred(writes) holds.
  bool waitWrites(const std::function<bool(const std::vector<std::vector<uint8_t>>&)>& pred,
                  int timeoutMs = 2000) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(writes_); });
  }
  uint64_t getCalls() const { return getCalls_; }
  size_t pendingInput() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
  }
  // Writes that have started (the one waiting at a closed gate included).
  int writesStarted() const { return writesStarted_; }

 private:
  static ScriptedStream* self(void* reference) {
    return static_cast<std::shared_ptr<ScriptedStream>*>(reference)->get();
  }
  static aErr sGet(uint8_t* byte, void* reference) {
    ScriptedStream* s = self(reference);
    s->getCalls_++;
    const aErr failure = s->readError_.load();
    if (failure != aErrNone) return failure;
    std::lock_guard<std::mutex> lock(s->mutex_);
    if (s->input_.empty()) return aErrNotReady;
    *byte = s->input_.front();
    s->input_.pop_front();
    return aErrNone;
  }
  static aErr sWrite(const uint8_t* data, uint64_t length, void* reference) {
    ScriptedStream* s = self(reference);
    s->writesStarted_++;
    const aErr failure = s->writeError_.load();
    if (failure != aErrNone) return failure;
    std::unique_lock<std::mutex> lock(s->mutex_);
    s->changed_.wait_for(lock, std::chrono::seconds(5), [s] { return s->gateOpen_; });
    s->writes_.emplace_back(data, data + length);
    lock.unlock();
    s->changed_.notify_all();
    return aErrNone;
  }
  static aErr sDelete(void* reference) {
    auto* holder = static_cast<std::shared_ptr<ScriptedStream>*>(reference);
    (*holder)->deleted_ = true;
    delete holder;
    return aErrNone;
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<uint8_t> input_;
  std::vector<std::vector<uint8_t>> writes_;
  bool gateOpen_ = true;
  std::atomic<aErr> readError_{aErrNone};
  std::atomic<aErr> writeError_{aErrNone};
  std::atomic<uint64_t> getCalls_{0};
  std::atomic<int> writesStarted_{0};
  std::atomic<bool> deleted_{false};
};

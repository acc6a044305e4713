#pragma once
// The stream entity of a simulated module (command 0x5D). The host switches streaming
// on and off by pattern: module, command, option and index, where 0xFF in any of the
// last three stands for every value. While at least one pattern is active the module
// sends, at a set period, one sample of every plain-number option that a pattern
// matches, carrying a timestamp and the option's current value.
//
// Not thread-safe: the module calls it under its own lock.
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "tests/sim/SimDevice.h"

namespace devsim {
namespace model {

constexpr uint8_t kStreamEnable = 1;    // SET: start a pattern; GET: whether any is active
constexpr uint8_t kStreamDisable = 2;   // SET: stop the patterns a request matches

class Stream {
 public:
  Stream();

  // The period of the samples; 0 sends none. Default 100 ms.
  void setPeriodMs(uint32_t periodMs);
  // A fixed timestamp for every sample, or (nullopt, the default) the module's clock:
  // microseconds since the module was made.
  void setTimestamp(std::optional<uint64_t> timestamp) { fixed_ = timestamp; }
  // Active patterns as module << 24 | command << 16 | option << 8 | index.
  std::vector<uint32_t> patterns() const;
  uint64_t samplesSent() const { return samples_; }

  // Carries out one request whose UEI framing the module has checked (flags GET or SET,
  // option code, index 0): its success reply, or the code of its refusal.
  uint8_t handle(uint8_t address, uint8_t flags, uint8_t option, const std::vector<uint8_t>& d,
                 std::vector<uint8_t>& reply);

  bool matches(uint8_t command, uint8_t option, uint8_t index) const;
  // True when a round of samples is due by nowMs, moving the schedule on; next gets the
  // time of the following round (kNever when none).
  bool due(uint64_t nowMs, uint64_t& next);
  // The data bytes of one sample (width 1, 2 or 4), counted as sent.
  std::vector<uint8_t> sample(uint8_t command, uint8_t option, unsigned width, bool subindexed, uint8_t subindex,
                              uint32_t value);

 private:
  void reschedule(uint64_t nowMs);

  std::set<uint32_t> patterns_;
  uint32_t periodMs_ = 100;
  uint64_t nextMs_ = kNever;
  std::optional<uint64_t> fixed_;
  std::chrono::steady_clock::time_point epoch_;
  uint64_t samples_ = 0;
};

}  // namespace model
}  // namespace devsim

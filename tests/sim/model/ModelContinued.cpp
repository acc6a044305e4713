#include "tests/sim/model/ModelContinued.h"

#include <algorithm>

#include "tests/sim/SimDevice.h"

namespace devsim {
namespace model {

namespace {
constexpr size_t kChunk = 24;
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kHostRequest = 0x20;
constexpr uint8_t kContinueBit = 0x80;
constexpr int kBurst = 16;   // packets one call may make up when the front end was late
}  // namespace

void Continued::set(uint8_t command, uint8_t option, int count) { chosen_[{command, option}] = count; }

void Continued::stop() {
  chosen_.clear();
  for (Run& r : runs_) r.stopping = true;
}

std::vector<uint8_t> Continued::continued(const Run& run, uint32_t n) {
  std::vector<uint8_t> d = {run.command, run.option, run.index};
  for (size_t j = 0; j < kChunk; j++) d.push_back(static_cast<uint8_t>(n * kChunk + j));
  d.push_back(static_cast<uint8_t>(kContinueBit | (n & 0x7F)));
  return d;
}

std::vector<uint8_t> Continued::last(const Run& run, uint32_t n) {
  return {run.command, run.option, run.index, static_cast<uint8_t>(n & 0x7F)};
}

bool Continued::start(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& replies, uint64_t nowMs) {
  if (d.size() < 3 || (d[1] & 0xC0) != kGet || (d[2] & 0xE0) != kHostRequest) return false;
  auto chosen = chosen_.find({d[0], static_cast<uint8_t>(d[1] & 0x3F)});
  if (chosen == chosen_.end()) return false;
  Run run;
  run.command = d[0];
  run.option = d[1] & 0x3F;   // a GET reply carries the bare option code
  run.index = d[2] & 0x1F;
  if (chosen->second == kEndless) {
    run.nextMs = nowMs;
    runs_.push_back(run);
    return true;
  }
  const uint32_t count = static_cast<uint32_t>(chosen->second);
  for (uint32_t n = 0; n < count; n++) replies.push_back(continued(run, n));
  replies.push_back(last(run, count));
  return true;
}

uint64_t Continued::takeDue(uint64_t nowMs, std::vector<std::vector<uint8_t>>& out) {
  uint64_t next = kNever;
  for (auto it = runs_.begin(); it != runs_.end();) {
    if (it->stopping) {
      out.push_back(last(*it, it->sent));
      it = runs_.erase(it);
      continue;
    }
    for (int burst = 0; burst < kBurst && it->nextMs <= nowMs; burst++) {
      out.push_back(continued(*it, it->sent++));
      it->nextMs++;
    }
    it->nextMs = std::max(it->nextMs, nowMs + 1);
    next = std::min(next, it->nextMs);
    ++it;
  }
  return next;
}

}  // namespace model
}  // namespace devsim

#include "tests/sim/model/ModelStream.h"

#include "tests/sim/model/ModelCodes.h"

namespace devsim {
namespace model {

namespace {
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kWildcard = 0xFF;
constexpr uint8_t kSampleBit = 0x40;

uint8_t element(uint32_t pattern, int i) { return static_cast<uint8_t>(pattern >> (24 - 8 * i)); }

// Sample types by value width: plain, then with a subindex.
uint8_t sampleType(unsigned width, bool subindexed) {
  const uint8_t plain = width == 1 ? 1 : width == 2 ? 2 : 3;
  return subindexed ? static_cast<uint8_t>(plain + 4) : plain;
}
}  // namespace

Stream::Stream() : epoch_(std::chrono::steady_clock::now()) {}

void Stream::setPeriodMs(uint32_t periodMs) {
  periodMs_ = periodMs;
  reschedule(nowMs());
}

void Stream::reschedule(uint64_t now) { nextMs_ = patterns_.empty() || periodMs_ == 0 ? kNever : now + periodMs_; }

std::vector<uint32_t> Stream::patterns() const { return std::vector<uint32_t>(patterns_.begin(), patterns_.end()); }

uint8_t Stream::handle(uint8_t address, uint8_t flags, uint8_t option, const std::vector<uint8_t>& d,
                       std::vector<uint8_t>& reply) {
  if (flags == kGet) {
    if (option == kStreamDisable) return kErrMode;   // a command, nothing to read
    if (option != kStreamEnable) return kErrInvalidOption;
    if (d.size() != 3) return kErrParam;
    reply = {kCmdStream, option, 0x00, static_cast<uint8_t>(patterns_.empty() ? 0 : 1)};
    return 0;
  }
  if (option != kStreamEnable && option != kStreamDisable) return kErrInvalidOption;
  // The value is the pattern, big-endian: module, command, option, index.
  if (d.size() != 7 || d[3] != address) return kErrParam;
  const uint32_t pattern = static_cast<uint32_t>(d[3]) << 24 | static_cast<uint32_t>(d[4]) << 16 |
                           static_cast<uint32_t>(d[5]) << 8 | d[6];
  const bool wasActive = !patterns_.empty();
  if (option == kStreamEnable) {
    patterns_.insert(pattern);
  } else {
    // A wildcard in a disable request reaches every pattern with any value there.
    for (auto it = patterns_.begin(); it != patterns_.end();) {
      bool covered = true;
      for (int i = 1; i < 4; i++)
        covered = covered && (element(pattern, i) == kWildcard || element(pattern, i) == element(*it, i));
      it = covered ? patterns_.erase(it) : std::next(it);
    }
  }
  if (wasActive != !patterns_.empty()) reschedule(nowMs());
  reply = {kCmdStream, static_cast<uint8_t>(option | kAck), 0x00};
  return 0;
}

bool Stream::matches(uint8_t command, uint8_t option, uint8_t index) const {
  const uint8_t wanted[3] = {command, option, index};
  for (uint32_t p : patterns_) {
    bool all = true;
    for (int i = 1; i < 4; i++) all = all && (element(p, i) == kWildcard || element(p, i) == wanted[i - 1]);
    if (all) return true;
  }
  return false;
}

bool Stream::due(uint64_t now, uint64_t& next) {
  if (nextMs_ == kNever || now < nextMs_) {
    next = nextMs_;
    return false;
  }
  // A late round is not made up for: the next one follows a whole period later.
  nextMs_ += periodMs_;
  if (nextMs_ <= now) nextMs_ = now + periodMs_;
  next = nextMs_;
  return true;
}

std::vector<uint8_t> Stream::sample(uint8_t command, uint8_t option, unsigned width, bool subindexed,
                                    uint8_t subindex, uint32_t value) {
  uint64_t timestamp = 0;
  if (fixed_) {
    timestamp = *fixed_;
  } else {
    using namespace std::chrono;
    timestamp = static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now() - epoch_).count());
  }
  std::vector<uint8_t> d = {command, option, kSampleBit, sampleType(width, subindexed)};
  if (subindexed) d.push_back(subindex);
  for (int shift = 56; shift >= 0; shift -= 8) d.push_back(static_cast<uint8_t>(timestamp >> shift));
  for (unsigned i = width; i > 0; i--) d.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
  d.push_back(0x00);   // the sequence byte: a sample is a whole sequence of its own
  samples_++;
  return d;
}

}  // namespace model
}  // namespace devsim

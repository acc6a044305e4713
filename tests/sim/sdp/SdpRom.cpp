#include "tests/sim/sdp/SdpRom.h"

#include <cstdio>
#include <sstream>

namespace sdpsim {

namespace {

uint32_t big(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

std::vector<uint8_t> little(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

}  // namespace

Rom::Rom(Knobs knobs) : knobs_(std::move(knobs)) {}

void Rom::setKnobs(const Knobs& knobs) {
  std::lock_guard<std::mutex> lock(mutex_);
  knobs_ = knobs;
}

Knobs Rom::knobs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return knobs_;
}

void Rom::setJumpObserver(JumpObserver observer) {
  std::lock_guard<std::mutex> lock(observerMutex_);
  onJump_ = std::move(observer);
}

void Rom::securityState(std::vector<Answer>& out) const {
  out.push_back({Answer::SecurityState, little(knobs_.habClosed ? kHabClosed : kHabOpen)});
}

void Rom::word(uint32_t value, std::vector<Answer>& out) const { out.push_back({Answer::Data, little(value)}); }

uint8_t Rom::byteAt(uint32_t address) const {
  uint8_t value = 0;
  for (const Write& w : writes_) {
    if (address >= w.address && address - w.address < w.bytes.size()) value = w.bytes[address - w.address];
  }
  return value;
}

void Rom::command(const uint8_t* raw, std::vector<Answer>& out) {
  bool jumped = false;
  uint32_t jumpTo = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Frame f;
    f.type = static_cast<uint16_t>(raw[0] << 8 | raw[1]);
    f.address = big(raw + 2);
    f.format = raw[6];
    f.count = big(raw + 7);
    f.data = big(raw + 11);
    f.raw.assign(raw, raw + kFrameBytes);
    const bool known = f.type == kReadRegister || f.type == kWriteFile || f.type == kErrorStatus ||
                       f.type == kJumpAddress;
    if (jump_ || !known) {
      ignored_++;
      return;
    }
    frames_.push_back(f);
    switch (f.type) {
      case kErrorStatus:
        statusCommands_++;
        if (knobs_.dropStatusAnswers != 0) {
          if (knobs_.dropStatusAnswers > 0) knobs_.dropStatusAnswers--;
          break;
        }
        securityState(out);
        word(knobs_.statusWord, out);
        break;
      case kWriteFile: {
        Write w;
        w.address = f.address;
        w.count = f.count;
        writes_.push_back(w);
        receiving_ = true;
        strayDue_ = knobs_.strayDuringImage;
        if (f.count == 0) dataLocked(nullptr, 0, out);  // nothing to wait for: completes at once
        break;
      }
      case kReadRegister: {
        securityState(out);
        Answer a{Answer::Data, {}};
        // Whole words, as the ROM reads registers.
        const uint32_t count = (f.count + 3u) & ~3u;
        for (uint32_t at = 0; at < count && at < 4096; at += 4) {
          const uint32_t address = f.address + at;
          std::vector<uint8_t> bytes;
          if (address == kFuseWord0Address) {
            bytes = little(knobs_.fuse[0]);
          } else if (address == kFuseWord1Address) {
            bytes = little(knobs_.fuse[1]);
          } else {
            for (uint32_t i = 0; i < 4; i++) bytes.push_back(byteAt(address + i));
          }
          a.bytes.insert(a.bytes.end(), bytes.begin(), bytes.end());
        }
        out.push_back(a);
        break;
      }
      case kJumpAddress:
        securityState(out);
        if (knobs_.habClosed) {
          word(kRefused, out);
          break;
        }
        jump_ = f.address;
        jumpTo = f.address;
        jumped = true;
        break;
    }
  }
  if (!jumped) return;
  std::lock_guard<std::mutex> lock(observerMutex_);
  if (onJump_) onJump_(jumpTo);
}

void Rom::data(const uint8_t* bytes, size_t length, std::vector<Answer>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  dataLocked(bytes, length, out);
}

void Rom::dataLocked(const uint8_t* bytes, size_t length, std::vector<Answer>& out) {
  if (!receiving_ || writes_.empty()) return;
  Write& w = writes_.back();
  const size_t room = w.count - w.bytes.size();
  if (length > room) length = room;
  if (length > 0) w.bytes.insert(w.bytes.end(), bytes, bytes + length);
  if (w.bytes.size() < w.count) {
    if (strayDue_ && length > 0) {
      strayDue_ = false;
      out.push_back({Answer::Stray, {0x5A}});
    }
    return;
  }
  receiving_ = false;
  w.complete = true;
  if (knobs_.silentAfterImage) return;
  securityState(out);
  word(knobs_.refuseWritesAt.count(w.address) != 0 ? kRefused : knobs_.completionWord, out);
}

size_t Rom::dataExpected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!receiving_ || writes_.empty()) return 0;
  return writes_.back().count - writes_.back().bytes.size();
}

bool Rom::jumped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jump_.has_value();
}

std::vector<Frame> Rom::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

unsigned Rom::ignoredFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ignored_;
}

std::vector<Write> Rom::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

std::vector<uint8_t> Rom::memory(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> out(length, 0);
  for (const Write& w : writes_) {
    for (size_t i = 0; i < w.bytes.size(); i++) {
      const uint64_t at = static_cast<uint64_t>(w.address) + i;
      if (at >= address && at - address < length) out[at - address] = w.bytes[i];
    }
  }
  return out;
}

std::optional<uint32_t> Rom::jumpAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jump_;
}

unsigned Rom::statusCommands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusCommands_;
}

std::string Rom::dump() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream s;
  char line[96];
  for (const Write& w : writes_) {
    uint32_t sum = 0;
    for (uint8_t b : w.bytes) sum += b;
    std::snprintf(line, sizeof line, "write 0x%08X count %u received %zu sum 0x%08X%s\n", w.address, w.count,
                  w.bytes.size(), sum, w.complete ? "" : " (incomplete)");
    s << line;
  }
  if (jump_) {
    std::snprintf(line, sizeof line, "jump 0x%08X\n", *jump_);
    s << line;
  } else {
    s << "no jump\n";
  }
  s << "ignored frames " << ignored_ << "\n";
  return s.str();
}

}  // namespace sdpsim

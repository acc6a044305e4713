#pragma once
// An IspChip behind the master side of a pty pair: the host opens path() as its serial
// port. One thread moves bytes between the pty and the chip; with pacing on, bytes
// leave and are taken at the chip's line rate (ten bit times a character), as on a
// real UART.
//
// The line rate of the host is read from the pty's settings (the host's own
// tcsetattr). The simulator sets the idle pty to speed 0 and takes that as "not
// known", so a host that restores the settings it found on close does not spoil the
// bytes it wrote just before.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/lpc/IspChip.h"

namespace lpcsim {

class PtyChip {
 public:
  explicit PtyChip(const ChipOptions& options = ChipOptions());
  ~PtyChip();
  PtyChip(const PtyChip&) = delete;
  PtyChip& operator=(const PtyChip&) = delete;

  bool ok() const { return masterFd_ >= 0; }
  const std::string& path() const { return slavePath_; }

  // Runs fn on the chip under the simulator's lock: knobs and records.
  template <typename Fn>
  auto with(Fn fn) -> decltype(fn(std::declval<IspChip&>())) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fn(chip_);
  }
  // Waits (bounded) until pred holds; checked after every byte the chip takes or sends.
  bool waitFor(const std::function<bool(const IspChip&)>& pred, int timeoutMs);

  void setPacing(bool on);
  // A chip reset: autobaud again, and nothing half-sent stays on the line.
  void reset();

  Bytes flash();
  std::vector<std::string> commands();
  std::optional<uint32_t> goAddress();
  // How many command lines began with this letter.
  size_t count(char letter);

  // DIR/flash.bin (the whole flash), DIR/commands.txt (one command line a line),
  // DIR/go.txt (the G address in hex, or "none"). false when a file cannot be written.
  bool writeDump(const std::string& dir);

  // The line rate a pty speed setting stands for; 0 for speed 0 or an unknown one.
  static uint32_t rateOfSpeed(unsigned speed);

 private:
  struct Timed {
    Clock::time_point at;
    uint8_t byte;
    uint32_t rate;
  };

  void run();
  void wake();
  uint32_t hostRate() const;
  // One character at rate (0: the chip's rate, else 115200); zero unless pacing.
  Clock::duration charTime(uint32_t rate) const;

  IspChip chip_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pacing_ = false;

  int masterFd_ = -1;
  int slaveFd_ = -1;
  int wakeFd_ = -1;
  std::string slavePath_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  // Owned by the thread (and reset() under the lock).
  std::deque<Timed> inbox_;
  std::deque<Timed> outbox_;
  Clock::time_point lastIn_{};
  Clock::time_point lastOut_{};
};

}  // namespace lpcsim

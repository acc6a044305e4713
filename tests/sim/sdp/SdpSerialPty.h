#pragma once
// The simulated boot ROM on a serial line: a pty whose other end (path()) a client
// opens as its tty. Bytes are cut into 16-byte command frames (no report id) except
// while an image is being received; the ROM's answers go back as raw bytes. The UART
// association handshake (23 45 45 23, echoed) is answered too, for peers that send it.
//
// With a baud rate the ROM sees each byte only after its time on the wire (ten bits a
// byte) and its answers take that time as well, so a client's waits meet a real
// UART's timing; 0 runs unpaced.
//
// The simulator keeps its own handle on the tty, so a client may close and reopen it
// (as a probe of another protocol does first) without the line hanging up.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/sdp/SdpRom.h"

namespace sdpsim {

class SerialPty {
 public:
  // banner: what the started image writes on the line once the ROM has jumped to it
  // (a loaded program's console greeting); empty for a silent one.
  SerialPty(Rom& rom, uint32_t baud = 0, std::vector<uint8_t> banner = {});
  ~SerialPty();
  SerialPty(const SerialPty&) = delete;
  SerialPty& operator=(const SerialPty&) = delete;

  // The tty a client opens.
  const std::string& path() const { return path_; }

  // Every byte the client sent, in order.
  std::vector<uint8_t> received() const;
  // Every byte the simulator sent back, in order.
  std::vector<uint8_t> sent() const;
  // Waits (bounded) until at least count bytes have come in.
  bool waitForReceived(size_t count, int timeoutMs) const;
  unsigned associations() const { return associations_; }
  // Monotonic time of the last byte taken from the line (its arrival on the wire).
  std::chrono::steady_clock::time_point lastByteAt() const;

 private:
  void run();
  void take(const uint8_t* bytes, size_t length);
  void answer(const std::vector<Answer>& answers);
  // Sleeps until bytes that began on the wire no earlier than from (and after what the
  // clock already holds) have arrived.
  void pace(std::chrono::steady_clock::time_point& clock, std::chrono::steady_clock::time_point from, size_t bytes);

  Rom& rom_;
  const uint32_t baud_;
  const std::vector<uint8_t> banner_;
  bool bannerSent_ = false;
  int master_ = -1;
  int slave_ = -1;
  int wake_[2] = {-1, -1};
  std::string path_;
  std::vector<uint8_t> frame_;
  std::chrono::steady_clock::time_point inClock_{};
  std::chrono::steady_clock::time_point outClock_{};
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<uint8_t> received_;
  std::vector<uint8_t> sent_;
  std::chrono::steady_clock::time_point lastByteAt_{};
  std::atomic<unsigned> associations_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace sdpsim

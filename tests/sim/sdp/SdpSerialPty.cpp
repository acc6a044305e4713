#include "tests/sim/sdp/SdpSerialPty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace sdpsim {

namespace {

const uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};

std::chrono::steady_clock::duration wireTime(size_t bytes, uint32_t baud) {
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10 * 1000000000LL / baud);
}

}  // namespace

SerialPty::SerialPty(Rom& rom, uint32_t baud, std::vector<uint8_t> banner)
    : rom_(rom), baud_(baud), banner_(std::move(banner)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error(std::string("sdpsim: pty: ") + std::strerror(errno));
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("sdpsim: ptsname");
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error(std::string("sdpsim: open ") + name + ": " + std::strerror(errno));
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  tcsetattr(slave_, TCSANOW, &t);
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("sdpsim: pipe");
  thread_ = std::thread([this] { run(); });
}

SerialPty::~SerialPty() {
  stopping_ = true;
  const char b = 'x';
  if (write(wake_[1], &b, 1) < 0) {
  }
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  close(slave_);
  close(master_);
}

void SerialPty::pace(std::chrono::steady_clock::time_point& clock, std::chrono::steady_clock::time_point from,
                     size_t bytes) {
  if (baud_ == 0) return;
  clock = std::max(clock, from) + wireTime(bytes, baud_);
  std::this_thread::sleep_until(clock);
}

void SerialPty::run() {
  // A UART's receive FIFO: the ROM sees the line a few bytes at a time.
  const size_t chunk = baud_ != 0 ? 16 : 4096;
  uint8_t buffer[4096];
  // The last moment the line was seen empty: bytes read later arrived after it, so
  // their time on the wire runs from then at the earliest. Bytes that waited in the pty
  // while the ROM was busy follow the ones before them without a gap.
  auto idleSince = std::chrono::steady_clock::now();
  while (!stopping_) {
    pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int ready = poll(p, 2, 0);
    if (ready == 0) {
      idleSince = std::chrono::steady_clock::now();
      ready = poll(p, 2, 1000);
      if (ready > 0) idleSince = std::chrono::steady_clock::now();
    }
    if (ready < 0 && errno != EINTR) break;
    if (p[1].revents != 0 || stopping_) break;
    if ((p[0].revents & POLLIN) == 0) continue;
    const ssize_t n = read(master_, buffer, chunk);
    if (n <= 0) continue;
    pace(inClock_, idleSince, static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.insert(received_.end(), buffer, buffer + n);
      lastByteAt_ = std::chrono::steady_clock::now();
    }
    arrived_.notify_all();
    take(buffer, static_cast<size_t>(n));
  }
}

void SerialPty::take(const uint8_t* bytes, size_t length) {
  while (length > 0) {
    std::vector<Answer> answers;
    const size_t expected = rom_.dataExpected();
    if (expected > 0) {
      const size_t n = length < expected ? length : expected;
      rom_.data(bytes, n, answers);
      bytes += n;
      length -= n;
    } else {
      frame_.push_back(*bytes++);
      length--;
      if (frame_.size() == sizeof kAssociation && std::memcmp(frame_.data(), kAssociation, 4) == 0) {
        associations_++;
        frame_.clear();
        answers.push_back({Answer::Data, std::vector<uint8_t>(kAssociation, kAssociation + 4)});
      } else if (frame_.size() == kFrameBytes) {
        rom_.command(frame_.data(), answers);
        frame_.clear();
        if (!bannerSent_ && !banner_.empty() && rom_.jumped()) {
          bannerSent_ = true;
          answers.push_back({Answer::Data, banner_});
        }
      }
    }
    answer(answers);
  }
}

void SerialPty::answer(const std::vector<Answer>& answers) {
  for (const Answer& a : answers) {
    pace(outClock_, std::chrono::steady_clock::now(), a.bytes.size());
    size_t done = 0;
    while (done < a.bytes.size()) {
      const ssize_t n = write(master_, a.bytes.data() + done, a.bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        return;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.insert(sent_.end(), a.bytes.begin(), a.bytes.end());
  }
}

std::vector<uint8_t> SerialPty::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<uint8_t> SerialPty::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

bool SerialPty::waitForReceived(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= count; });
}

std::chrono::steady_clock::time_point SerialPty::lastByteAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastByteAt_;
}

}  // namespace sdpsim

#include "tests/sim/lpc/PtyChip.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace lpcsim {

namespace {

constexpr size_t kInboxLimit = 64 * 1024;
constexpr int kIdleWaitMs = 1000;
// A flooding chip keeps this many bytes ready for the line.
constexpr size_t kFloodBatch = 64 * 1024;
// Answers queue up to this many bytes on their way to the line: a long answer (a 1 MiB
// line) goes out in pieces instead of being handled whole on every turn.
constexpr size_t kOutboxLimit = 64 * 1024;

}  // namespace

uint32_t PtyChip::rateOfSpeed(unsigned speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;
  }
}

PtyChip::PtyChip(const ChipOptions& options) : chip_(options) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || wakeFd_ < 0) {
    if (master >= 0) close(master);
    return;
  }
  char name[256];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return;
  }
  // Kept open so that the master never reads a hang-up between host sessions.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (slave < 0 || tcgetattr(slave, &t) != 0) {
    if (slave >= 0) close(slave);
    close(master);
    return;
  }
  cfmakeraw(&t);
  cfsetispeed(&t, B0);
  cfsetospeed(&t, B0);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  masterFd_ = master;
  slaveFd_ = slave;
  slavePath_ = name;
  thread_ = std::thread([this] { run(); });
}

PtyChip::~PtyChip() {
  if (thread_.joinable()) {
    stopping_ = true;
    wake();
    thread_.join();
  }
  if (slaveFd_ >= 0) close(slaveFd_);
  if (masterFd_ >= 0) close(masterFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void PtyChip::wake() {
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // Only full when a wake-up is already pending.
  }
}

uint32_t PtyChip::hostRate() const {
  termios t{};
  if (tcgetattr(masterFd_, &t) != 0) return 0;
  return rateOfSpeed(cfgetospeed(&t));
}

Clock::duration PtyChip::charTime(uint32_t rate) const {
  if (!pacing_) return Clock::duration::zero();
  if (rate == 0) rate = chip_.rate();
  if (rate == 0) rate = 115200;
  // Start bit, eight data bits, stop bit.
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / rate));
}

void PtyChip::setPacing(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pacing_ = on;
  }
  wake();
}

void PtyChip::reset() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chip_.reset();
    inbox_.clear();
    outbox_.clear();
    uint8_t discard[4096];
    while (read(masterFd_, discard, sizeof discard) > 0) {
    }
    tcflush(slaveFd_, TCIFLUSH);
  }
  changed_.notify_all();
  wake();
}

bool PtyChip::waitFor(const std::function<bool(const IspChip&)>& pred, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(chip_); });
}

Bytes PtyChip::flash() {
  return with([](IspChip& c) { return c.flash(); });
}

std::vector<std::string> PtyChip::commands() {
  return with([](IspChip& c) { return c.commands(); });
}

std::optional<uint32_t> PtyChip::goAddress() {
  return with([](IspChip& c) { return c.goAddress(); });
}

size_t PtyChip::count(char letter) {
  size_t n = 0;
  for (const std::string& line : commands())
    if (!line.empty() && line[0] == letter) n++;
  return n;
}

bool PtyChip::writeDump(const std::string& dir) {
  Bytes image;
  std::vector<std::string> lines;
  std::optional<uint32_t> go;
  with([&](IspChip& c) {
    image = c.flash();
    lines = c.commands();
    go = c.goAddress();
  });
  std::ofstream f(dir + "/flash.bin", std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::ofstream c(dir + "/commands.txt", std::ios::trunc);
  for (const std::string& line : lines) c << line << "\n";
  std::ofstream g(dir + "/go.txt", std::ios::trunc);
  if (go) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", *go);
    g << text << "\n";
  } else {
    g << "none\n";
  }
  f.close();
  c.close();
  g.close();
  return f.good() && c.good() && g.good();
}

void PtyChip::run() {
  uint8_t buffer[4096];
  while (!stopping_) {
    bool wantRead = true;
    bool wantWrite = false;
    int timeoutMs = kIdleWaitMs;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const Clock::time_point now = Clock::now();
      bool changed = false;

      // The host's bytes, stamped with the rate it sent them at and, when paced, with
      // the time their last bit reaches the chip.
      while (inbox_.size() < kInboxLimit) {
        const ssize_t n = read(masterFd_, buffer, sizeof buffer);
        if (n <= 0) break;
        const uint32_t rate = hostRate();
        for (ssize_t i = 0; i < n; i++) {
          const Clock::time_point at = std::max(lastIn_, now) + charTime(rate);
          lastIn_ = at;
          inbox_.push_back(Timed{at, buffer[i], rate});
        }
      }
      while (!inbox_.empty() && inbox_.front().at <= now && !chip_.busy(now)) {
        chip_.receive(inbox_.front().byte, inbox_.front().rate, now);
        inbox_.pop_front();
        changed = true;
      }

      std::vector<std::pair<uint8_t, uint32_t>> ready;
      if (outbox_.size() < kOutboxLimit) chip_.takeOutput(now, ready, kOutboxLimit - outbox_.size());
      const std::optional<uint8_t> flood = chip_.flooding();
      if (flood && outbox_.size() < kFloodBatch) ready.resize(ready.size() + kFloodBatch, {*flood, chip_.rate()});
      for (const auto& [byte, rate] : ready) {
        const Clock::time_point at = std::max(lastOut_, now) + charTime(rate);
        lastOut_ = at;
        outbox_.push_back(Timed{at, byte, rate});
      }
      size_t due = 0;
      while (due < outbox_.size() && outbox_[due].at <= now) due++;
      if (due > 0) {
        // Answers sent at one rate and read at another arrive as noise.
        const uint32_t host = hostRate();
        Bytes bytes;
        for (size_t i = 0; i < due; i++) {
          const uint32_t rate = outbox_[i].rate;
          bytes.push_back(rate != 0 && host != 0 && rate != host ? IspChip::garble(outbox_[i].byte) : outbox_[i].byte);
        }
        const ssize_t n = write(masterFd_, bytes.data(), bytes.size());
        const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<std::ptrdiff_t>(written));
        if (written < due) wantWrite = true;
        if (written > 0) changed = true;
      }

      std::optional<Clock::time_point> next;
      auto earliest = [&next](Clock::time_point t) {
        if (!next || t < *next) next = t;
      };
      if (!inbox_.empty()) earliest(std::max(inbox_.front().at, chip_.busyUntil()));
      if (!outbox_.empty() && !wantWrite) earliest(outbox_.front().at);
      if (auto out = chip_.nextOutput(); out && outbox_.size() < kOutboxLimit) earliest(*out);
      if (flood && outbox_.size() < kFloodBatch) earliest(now);
      if (next) {
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(*next - now).count();
        timeoutMs = wait <= 0 ? 0 : static_cast<int>(std::min<long long>((wait + 999) / 1000, kIdleWaitMs));
        // Pacing needs better than millisecond steps: sleep the fraction here.
        if (wait > 0 && wait < 1000) {
          lock.unlock();
          std::this_thread::sleep_for(std::chrono::microseconds(wait));
          timeoutMs = 0;
          lock.lock();
        }
      }
      wantRead = inbox_.size() < kInboxLimit;
      if (changed) {
        lock.unlock();
        changed_.notify_all();
      }
    }
    pollfd fds[2] = {{wakeFd_, POLLIN, 0},
                     {masterFd_, static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0}};
    if (poll(fds, 2, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
      uint64_t v;
      if (read(wakeFd_, &v, sizeof v) < 0) {
        // Nothing pending after all.
      }
    }
  }
}

}  // namespace lpcsim

#include "updater/recovery/Serial_SDPLoader_unix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/unix/aTime.h"

using Clock = std::chrono::steady_clock;

struct PrivateSerial_SDPLoader {
  int fd = -1;
  std::string path;
  termios settings{};
  // When the last byte written so far has left the line at the baud rate.
  Clock::time_point lineFreeAt{};
};

namespace {

constexpr uint32_t SETTLE_MS = 1000;
constexpr uint32_t MAX_WORD_INDEX = 15;
constexpr size_t STATE_BYTES = 4;
constexpr unsigned BITS_PER_BYTE = 10;  // start bit, eight data bits, stop bit

Clock::duration lineTime(size_t bytes) {
  return std::chrono::microseconds(static_cast<int64_t>(bytes) * BITS_PER_BYTE * 1000000 / Serial_SDPLoader::BAUD);
}

void noteWritten(PrivateSerial_SDPLoader& d, size_t bytes) {
  d.lineFreeAt = std::max(Clock::now(), d.lineFreeAt) + lineTime(bytes);
}

// Takes every byte the line holds now; false when the line failed. A raw tty with no
// minimum count reads 0 when nothing is there.
bool drain(int fd, std::vector<uint8_t>& answer) {
  uint8_t buffer[256];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      answer.insert(answer.end(), buffer, buffer + n);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d(new PrivateSerial_SDPLoader()) {
  if (path != nullptr) d->path = path;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d->fd < 0) return;
  // The last command (the jump) must leave the line before the port goes; only what
  // came in unread is thrown away. A pty's output flush would also discard what the
  // other side has not read yet.
  tcdrain(d->fd);
  tcflush(d->fd, TCIFLUSH);
  close(d->fd);
  d->fd = -1;
}

bool Serial_SDPLoader::init() {
  if (d->fd >= 0) return true;
  const int fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  if (!isatty(fd)) {
    close(fd);
    return false;
  }
  std::memset(&d->settings, 0, sizeof d->settings);
  cfsetospeed(&d->settings, B115200);
  cfsetispeed(&d->settings, B115200);
  d->settings.c_cflag |= CS8 | CREAD | CLOCAL;
  d->settings.c_cc[VMIN] = 0;
  d->settings.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSAFLUSH, &d->settings) != 0) {
    close(fd);
    return false;
  }
  d->fd = fd;
  aTime_MSSleep(SETTLE_MS);
  tcflush(fd, TCIOFLUSH);
  d->lineFreeAt = Clock::now();
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& bytes) {
  if (d->fd < 0) return -1;
  if (bytes.size() <= 1) return 0;
  // Byte 0 is the HID report id, which a serial line does not carry.
  const uint8_t* next = bytes.data() + 1;
  size_t left = bytes.size() - 1;
  const Clock::time_point deadline = Clock::now() + lineTime(left) + std::chrono::milliseconds(WRITE_MARGIN_MS);
  while (left > 0) {
    const ssize_t n = write(d->fd, next, left);
    if (n > 0) {
      noteWritten(*d, static_cast<size_t>(n));
      next += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Only a full output queue is waited out; any other error (an adapter that went
    // away) ends the write.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return static_cast<ssize_t>(bytes.size() - 1);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& answer, uint32_t timeoutMs) {
  if (d->fd < 0) return 0;
  const size_t before = answer.size();
  bool healthy = drain(d->fd, answer);
  if (timeoutMs > 0) {
    // The answer can only begin once the command has left the line, so the time-out
    // runs from then.
    const Clock::time_point deadline =
        std::max(Clock::now(), d->lineFreeAt) + std::chrono::milliseconds(timeoutMs);
    while (healthy && answer.size() - before < ANSWER_BYTES) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{d->fd, POLLIN, 0};
      const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) break;
      healthy = drain(d->fd, answer);
    }
  }
  return static_cast<ssize_t>(answer.size() - before);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t index, uint32_t& value) {
  if (index > MAX_WORD_INDEX || answer.size() < 4u * (index + 2u)) return false;
  const size_t at = index + STATE_BYTES;
  value |= static_cast<uint32_t>(answer[at]) | static_cast<uint32_t>(answer[at + 1]) << 8 |
           static_cast<uint32_t>(answer[at + 2]) << 16 | static_cast<uint32_t>(answer[at + 3]) << 24;
  return true;
}

bool Serial_SDPLoader::padFrame() {
  const std::vector<uint8_t> filler = {0x00, 0x00};  // report id (not sent), one zero byte
  return writeData(filler) == 1;
}

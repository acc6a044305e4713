#pragma once
// A host made of a bare loopback TCP socket, for the simulator's self-tests: requests go
// out as bytes written by hand and answers come back as bytes, so the simulator is
// checked against the wire form alone and never against the library.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

class RawHost {
 public:
  explicit RawHost(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~RawHost() {
    if (fd_ >= 0) close(fd_);
  }
  RawHost(const RawHost&) = delete;
  RawHost& operator=(const RawHost&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool send(const Bytes& wire) {
    size_t sent = 0;
    while (sent < wire.size()) {
      const ssize_t n = ::send(fd_, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Exactly count bytes, or fewer when timeoutMs passes first.
  Bytes read(size_t count, int timeoutMs = 3000) {
    Bytes got;
    const long long deadline = nowMs() + timeoutMs;
    while (got.size() < count) {
      const long long left = deadline - nowMs();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t b[512];
      const size_t want = count - got.size() < sizeof b ? count - got.size() : sizeof b;
      const ssize_t n = ::read(fd_, b, want);
      if (n <= 0) break;
      got.insert(got.end(), b, b + n);
    }
    return got;
  }

  // One packet, [address][length][data] (empty on time-out).
  Bytes packet(int timeoutMs = 3000) {
    Bytes head = read(2, timeoutMs);
    if (head.size() < 2) return Bytes();
    Bytes rest = read(head[1], timeoutMs);
    if (rest.size() < head[1]) return Bytes();
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }

  // The first packet that is not a stream sample (data byte 2 with bit 6), skipping the
  // samples before it.
  Bytes answer(int timeoutMs = 3000) {
    for (;;) {
      Bytes p = packet(timeoutMs);
      if (p.size() < 5 || (p[4] & 0x40) == 0) return p;
    }
  }

  Bytes ask(const Bytes& wire, size_t replyBytes) {
    if (!send(wire)) return Bytes();
    return read(replyBytes);
  }

  // Whatever arrives within ms: for "nothing more comes".
  Bytes quiet(int ms) {
    Bytes got;
    const long long deadline = nowMs() + ms;
    for (;;) {
      const long long left = deadline - nowMs();
      if (left <= 0) return got;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t b[512];
      const ssize_t n = ::read(fd_, b, sizeof b);
      if (n <= 0) return got;
      got.insert(got.end(), b, b + n);
    }
  }

 private:
  static long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  int fd_ = -1;
};

// Bytes from a list with a tail appended: wire({0x04, 0x1C, 0x04, 0x07, 0x01}, run(1, 25)).
inline Bytes wire(Bytes head, const Bytes& tail = Bytes()) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// count bytes counting up from first (modulo 256).
inline Bytes run(uint8_t first, size_t count) {
  Bytes b;
  for (size_t i = 0; i < count; i++) b.push_back(static_cast<uint8_t>(first + i));
  return b;
}

}  // namespace simtest

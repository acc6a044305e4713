#include "common/transport/aSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

#include "common/unix/aTime.h"

namespace {

constexpr uint32_t kConnected = 0x1;
constexpr int kWriteTries = 10;
constexpr int kWriteRoundMs = 60;
constexpr unsigned kReceiveBuffer = 512;
// A device that takes each connection and closes it at once (a module busy with another
// host) would be called again at once, for ever: hundreds of thousands of connections
// in a few seconds, and the host that holds the module loses it again and again. A
// connection that ended sooner than kSteadyMs after it was made is followed by a pause
// before the next attempt, from kFirstPauseMs doubling up to kLongestPauseMs, so that a
// device busy for a moment is still reached well within a reply's wait (a second). The
// first such loss in a row is called again at once: one short connection is no storm,
// and a device that went (a reboot after an update) is then seen gone without a pause.
constexpr aTime kSteadyMs = 1000;
constexpr uint32_t kFirstPauseMs = 10;
constexpr uint32_t kLongestPauseMs = 200;

// The descriptor number stays the same for the life of the stream once made: a
// reconnection puts the new connection in its place with dup2, so that the other
// thread never uses a number that was closed (and perhaps given to someone else).
struct aSocketStream {
  uint32_t port;
  sockaddr_in address;
  std::atomic<int> fd{-1};
  std::atomic<uint32_t> flags{0};
  uint16_t check;
  std::mutex reconnectLock;
  std::atomic<uint32_t> generation{0};
  // The number of the connection the stream is on (aStream_NewConnectionNumber): a
  // reconnection is a new session with the device, which another host may have had
  // meanwhile (a module serving one connection at a time takes the newest).
  std::atomic<uint64_t> connection{0};
  // Under reconnectLock: when the current connection was made, and how many connections
  // in a row ended soon (the pause before the next reconnection follows from it).
  aTime connectedAt = 0;
  unsigned shortLosses = 0;
  // Receive side (reader thread only): bytes taken from the socket, handed out singly.
  uint8_t rx[kReceiveBuffer];
  unsigned rxHead = 0;
  unsigned rxCount = 0;
};

bool aVALIDSS(const aSocketStream* s) { return s != nullptr && s->check == aSOCKET_CHECK; }

bool sConnected(const aSocketStream* s) { return (s->flags.load() & kConnected) != 0; }

aErr sConnectError(int e) {
  return (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED) ? aErrConnection : aErrIO;
}

// A new connected socket in *out, or the error. The wait is bounded so that a link
// stop never hangs behind a connection attempt to a silent host.
aErr sOpenConnection(const aSocketStream* s, int* out) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return aErrIO;
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof s->address);
  int err = rc == 0 ? 0 : errno;
  if (rc != 0 && err == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    const aTime deadline = aTime_GetMonotonicMSTicks() + aSOCKET_CONNECT_TIMEOUT_MS;
    for (;;) {
      const aTime now = aTime_GetMonotonicMSTicks();
      const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      rc = poll(&p, 1, left);
      if (rc < 0 && errno == EINTR) continue;
      break;
    }
    if (rc == 0) {
      err = ETIMEDOUT;
    } else if (rc < 0) {
      err = errno;
    } else {
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  if (err != 0) {
    close(fd);
    return sConnectError(err);
  }
  const int one = 1;
  const timeval noTimeout{0, 0};
  const linger resetOnClose{1, 0};
  int nonBlocking = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0 ||
      ioctl(fd, FIONBIO, &nonBlocking) != 0) {
    close(fd);
    return aErrIO;
  }
  *out = fd;
  return aErrNone;
}

// Before a reconnection (reconnectLock held): waits when the lost connection was short.
void sPace(aSocketStream* s) {
  const bool steady = aTime_GetMonotonicMSTicks() - s->connectedAt >= kSteadyMs;
  if (steady) {
    s->shortLosses = 0;
    return;
  }
  if (s->shortLosses++ == 0) return;
  // The second loss in a row waits kFirstPauseMs, each further one twice as long.
  const unsigned doublings = std::min(s->shortLosses - 2, 5u);
  aTime_MSSleep(std::min(kFirstPauseMs << doublings, kLongestPauseMs));
}

// Reconnects unless another thread already did since seenGeneration was read.
// The connected flag stays set while the attempt runs and is cleared only when it
// fails: the other thread, meanwhile still on the lost connection, finds it lost too
// and waits here for this attempt's outcome instead of reporting a failure of its own.
aErr sReconnect(aSocketStream* s, uint32_t seenGeneration) {
  std::lock_guard<std::mutex> lock(s->reconnectLock);
  if (s->generation.load() != seenGeneration) return sConnected(s) ? aErrNone : aErrConnection;
  const int old = s->fd.load();
  if (old >= 0) sPace(s);
  int fresh = -1;
  aErr e = sOpenConnection(s, &fresh);
  if (e == aErrNone && old < 0) {
    s->fd = fresh;
  } else if (e == aErrNone) {
    if (dup2(fresh, old) < 0) e = aErrIO;
    close(fresh);
  }
  if (e == aErrNone) {
    s->connectedAt = aTime_GetMonotonicMSTicks();
    s->connection = aStream_NewConnectionNumber();
    s->flags.fetch_or(kConnected);
  } else {
    s->flags.fetch_and(~kConnected);
    // Closed in effect; the number is released only when the stream is deleted.
    if (old >= 0) shutdown(old, SHUT_RDWR);
  }
  s->generation++;
  return e;
}

bool sLost(int e) { return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT || e == EPIPE; }

aErr sSocketGet(uint8_t* byte, void* reference) {
  aSocketStream* s = static_cast<aSocketStream*>(reference);
  if (!aVALIDSS(s) || byte == nullptr) return aErrParam;
  if (s->rxCount > 0) {
    *byte = s->rx[s->rxHead++];
    s->rxCount--;
    return aErrNone;
  }
  if (!sConnected(s)) return aErrConnection;
  for (int attempt = 0; attempt < 2; attempt++) {
    const uint32_t generation = s->generation.load();
    const ssize_t n = recv(s->fd.load(), s->rx, sizeof s->rx, MSG_DONTWAIT);
    if (n > 0) {
      s->rxHead = 1;
      s->rxCount = static_cast<unsigned>(n - 1);
      *byte = s->rx[0];
      return aErrNone;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return aErrNotReady;
    if (n < 0 && !sLost(errno)) return aErrConnection;
    // Reset by the device, or closed by it (n == 0): a closed connection would read as
    // "nothing yet" for ever, so it is treated like a reset one.
    const aErr e = sReconnect(s, generation);
    if (e != aErrNone) return e;
  }
  return aErrNotReady;
}

aErr sSocketWrite(const uint8_t* data, uint64_t length, void* reference) {
  aSocketStream* s = static_cast<aSocketStream*>(reference);
  if (!aVALIDSS(s) || data == nullptr) return aErrParam;
  if (!sConnected(s)) return aErrConnection;
  uint64_t sent = 0;
  int tries = 0;
  while (sent < length) {
    const uint32_t generation = s->generation.load();
    const int fd = s->fd.load();
    const ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
      if (sent == length) return aErrNone;
      tries = 1;
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      tries++;
    } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
      const aErr e = sReconnect(s, generation);
      if (e != aErrNone) return e;
      // The new connection never saw the head of the block: send all of it again
      // rather than a tail the device could not make sense of.
      sent = 0;
      tries++;
    } else {
      return aErrIO;
    }
    if (tries >= kWriteTries) return aErrTimeout;
    // Wait for room rather than sleeping blindly; a full round still counts as a try.
    pollfd p{s->fd.load(), POLLOUT, 0};
    if (poll(&p, 1, kWriteRoundMs) < 0 && errno != EINTR) return aErrIO;
  }
  return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* reference) { return sSocketWrite(byte, 1, reference); }

bool sSocketPending(const void* reference) {
  const aSocketStream* s = static_cast<const aSocketStream*>(reference);
  return aVALIDSS(s) && s->rxCount > 0;
}

aErr sSocketDelete(void* reference) {
  aSocketStream* s = static_cast<aSocketStream*>(reference);
  if (!aVALIDSS(s)) return aErrIO;
  // No pause after the close: with SO_LINGER 0 the reset leaves at once, and a link's
  // teardown waits for nothing else.
  const int fd = s->fd.exchange(-1);
  if (fd >= 0) {
    s->flags = 0;
    close(fd);
  }
  s->flags = 0;
  s->check = 0;
  delete s;
  return aErrNone;
}

// The descriptor number stays the same across reconnections (see above).
int sSocketWaitDescriptor(const void* reference) {
  const aSocketStream* s = static_cast<const aSocketStream*>(reference);
  return aVALIDSS(s) ? s->fd.load() : -1;
}

uint64_t sSocketConnection(const void* reference) {
  const aSocketStream* s = static_cast<const aSocketStream*>(reference);
  return aVALIDSS(s) ? s->connection.load() : 0;
}

// Sends never block: a caller may write in place of the link's writer.
const aStreamOps kSocketOps = {sSocketGet,     sSocketPut,           sSocketWrite,
                               sSocketDelete,  sSocketPending,       sSocketWaitDescriptor,
                               /*promptWrites*/ true, sSocketConnection};

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint32_t port, aStream** stream) {
  if (stream == nullptr) return aErrResource;
  *stream = nullptr;
  if (port > 0xFFFF) return aErrResource;
  aSocketStream* s = new (std::nothrow) aSocketStream();
  if (s == nullptr) return aErrResource;
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(static_cast<uint16_t>(port));
  s->address.sin_addr.s_addr = address;
  s->check = aSOCKET_CHECK;
  if (sReconnect(s, 0) != aErrNone) {
    sSocketDelete(s);
    return aErrResource;
  }
  aStream* made = aStream_CreateWith(kSocketOps, s);
  if (made == nullptr) {
    sSocketDelete(s);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}

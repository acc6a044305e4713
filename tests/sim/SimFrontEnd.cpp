#include "tests/sim/SimFrontEnd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>

namespace devsim {

namespace {
constexpr uint64_t kIdlePollMs = 1000;
constexpr auto kPostTimeout = std::chrono::seconds(5);
}  // namespace

FrontEnd::FrontEnd(Device& device) : device_(device) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

FrontEnd::~FrontEnd() {
  stop();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void FrontEnd::start() {
  device_.setWakeup([this] { wake(); });
  thread_ = std::thread([this] { run(); });
}

void FrontEnd::stop() {
  if (!thread_.joinable()) return;
  device_.setWakeup(nullptr);
  stopping_ = true;
  wake();
  thread_.join();
}

void FrontEnd::wake() {
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The counter is only full when a wake-up is already pending.
  }
}

void FrontEnd::post(std::function<void()> fn) {
  if (!thread_.joinable()) {
    fn();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posted_.push_back([fn, done] {
      fn();
      done->set_value();
    });
  }
  wake();
  f.wait_for(kPostTimeout);
}

void FrontEnd::writeAll(int fd, const uint8_t* bytes, size_t length, bool split) {
  size_t sent = 0;
  while (sent < length) {
    const size_t step = split ? 1 : length - sent;
    // send() keeps a host that went away from killing the simulator with SIGPIPE.
    ssize_t n = ::send(fd, bytes + sent, step, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, bytes + sent, step);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 200) <= 0) return;   // the host stopped reading: give up
        continue;
      }
      return;
    }
    sent += static_cast<size_t>(n);
    if (split && sent < length) usleep(300);   // separate segments / reads on the host side
  }
}

void FrontEnd::run() {
  while (!stopping_) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = pollfd{wakeFd_, POLLIN, 0};
    const int lfd = listenFd();
    const int dfd = dataFd();
    int lIndex = -1, dIndex = -1;
    if (lfd >= 0) {
      lIndex = static_cast<int>(count);
      fds[count++] = pollfd{lfd, POLLIN, 0};
    }
    if (dfd >= 0) {
      dIndex = static_cast<int>(count);
      fds[count++] = pollfd{dfd, POLLIN, 0};
    }
    const int timeout = static_cast<int>(device_.msUntilNextEvent(kIdlePollMs));
    const int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      if (fds[0].revents) {
        uint64_t v;
        if (read(wakeFd_, &v, sizeof v) < 0) {
          // Nothing pending after all.
        }
        std::vector<std::function<void()>> jobs;
        {
          std::lock_guard<std::mutex> lock(postMutex_);
          jobs.swap(posted_);
        }
        for (auto& j : jobs) j();
      }
      if (lIndex >= 0 && fds[lIndex].revents) onListenReadable();
      if (dIndex >= 0 && fds[dIndex].revents) onDataReadable();
    }
    for (const Chunk& c : device_.takeDue()) writeChunk(c);
    afterWrites();
  }
  std::vector<std::function<void()>> jobs;
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    jobs.swap(posted_);
  }
  for (auto& j : jobs) j();
}

// ---------------------------------------------------------------- TCP

TcpFrontEnd::TcpFrontEnd(Device& device, uint16_t port, Accept policy)
    : FrontEnd(device), port_(port), accept_(policy) {
  if (!openListener()) {
    port_ = 0;
    return;
  }
  start();
}

TcpFrontEnd::~TcpFrontEnd() {
  stop();
  if (connFd_ >= 0) close(connFd_);
  if (listenFd_ >= 0) close(listenFd_);
}

bool TcpFrontEnd::openListener() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return false;
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port_);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 8) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  return true;
}

void TcpFrontEnd::onListenReadable() {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  const Accept policy = accept_.load();
  if (policy == Accept::kNone || (policy == Accept::kOneHost && connFd_ >= 0)) {
    // An orderly close before a word is said: what a module serving someone else does.
    shutdown(fd, SHUT_RDWR);
    close(fd);
    turnedAway_++;
    return;
  }
  if (connFd_ >= 0) dropConnection(false);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  connFd_ = fd;
  device_.connected();
}

void TcpFrontEnd::dropConnection(bool reset) {
  if (connFd_ < 0) return;
  if (reset) {
    linger l{1, 0};
    setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else {
    shutdown(connFd_, SHUT_RDWR);
  }
  close(connFd_);
  connFd_ = -1;
  device_.disconnected();
}

void TcpFrontEnd::onDataReadable() {
  uint8_t buffer[4096];
  const ssize_t n = recv(connFd_, buffer, sizeof buffer, 0);
  if (n > 0) {
    device_.feedBytes(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    dropConnection(false);
  }
}

void TcpFrontEnd::writeChunk(const Chunk& chunk) {
  if (connFd_ < 0) return;
  writeAll(connFd_, chunk.bytes.data(), chunk.bytes.size(), chunk.split);
}

void TcpFrontEnd::closeConnection() {
  post([this] { dropConnection(false); });
}

void TcpFrontEnd::takeOverAfterReplies(std::function<void()> meanwhile) { takeOver_ = std::move(meanwhile); }

void TcpFrontEnd::afterWrites() {
  if (!takeOver_) return;
  const std::function<void()> meanwhile = std::move(takeOver_);
  takeOver_ = nullptr;
  dropConnection(false);
  meanwhile();
}

void TcpFrontEnd::resetConnection() {
  post([this] { dropConnection(true); });
}

void TcpFrontEnd::setListening(bool listening) {
  post([this, listening] {
    if (!listening && listenFd_ >= 0) {
      close(listenFd_);
      listenFd_ = -1;
    } else if (listening && listenFd_ < 0) {
      openListener();
    }
  });
}

void TcpFrontEnd::setAccept(Accept policy) {
  post([this, policy] { accept_ = policy; });
}

void TcpFrontEnd::setReading(bool reading) {
  post([this, reading] { reading_ = reading; });
}

bool TcpFrontEnd::hasConnection() {
  // Shared, not on this stack: a post that times out still runs the job later.
  auto has = std::make_shared<std::atomic<bool>>(false);
  post([this, has] { *has = connFd_ >= 0; });
  return *has;
}

bool parseAccept(const std::string& text, TcpFrontEnd::Accept& policy) {
  if (text == "replace") policy = TcpFrontEnd::Accept::kReplace;
  else if (text == "one-host") policy = TcpFrontEnd::Accept::kOneHost;
  else if (text == "none") policy = TcpFrontEnd::Accept::kNone;
  else return false;
  return true;
}

// ---------------------------------------------------------------- pty

PtyFrontEnd::PtyFrontEnd(Device& device) : FrontEnd(device) {
  masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd_ < 0) return;
  char name[256];
  if (grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0 || ptsname_r(masterFd_, name, sizeof name) != 0) {
    close(masterFd_);
    masterFd_ = -1;
    return;
  }
  slavePath_ = name;
  slaveFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveFd_ >= 0) {
    termios t;
    if (tcgetattr(slaveFd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slaveFd_, TCSANOW, &t);
    }
  }
  fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
  device_.connected();
  start();
}

PtyFrontEnd::~PtyFrontEnd() {
  stop();
  if (slaveFd_ >= 0) close(slaveFd_);
  if (masterFd_ >= 0) close(masterFd_);
}

void PtyFrontEnd::onDataReadable() {
  uint8_t buffer[4096];
  const ssize_t n = read(masterFd_, buffer, sizeof buffer);
  if (n <= 0) {
    if (n < 0 && errno == EIO) usleep(10000);   // no slave open at this instant
    return;
  }
  for (ssize_t i = 0; i < n; i++) {
    WirePacket packet;
    switch (frames_.feed(buffer[i], packet)) {
      case FrameReader::kPacket: device_.feedPacket(packet); break;
      case FrameReader::kBadFrame: device_.noteBadFrame(); break;
      case FrameReader::kNothing: break;
    }
  }
}

void PtyFrontEnd::writeChunk(const Chunk& chunk) {
  if (!chunk.framed) {
    writeAll(masterFd_, chunk.bytes.data(), chunk.bytes.size(), chunk.split);
    return;
  }
  WirePacket p;
  p.address = chunk.bytes[0];
  p.data.assign(chunk.bytes.begin() + 2, chunk.bytes.end());
  const std::vector<uint8_t> frame = serialFrame(p);
  writeAll(masterFd_, frame.data(), frame.size(), chunk.split);
}

}  // namespace devsim

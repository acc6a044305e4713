// The TCP socket stream and the raw serial stream on their own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "common/transport/aSocket.h"
#include "common/unix/aSerial.h"
#include "tests/link/LinkFixtures.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

using namespace linktest;
using Bytes = std::vector<uint8_t>;

uint16_t unusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);   // nothing listens there now
  return ntohs(a.sin_port);
}

TEST(SocketStream, NoListenerIsAResourceFailure) {
  aStream* s = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSocket(loopback(), unusedPort(), &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateSocket(loopback(), 1, nullptr), aErrResource);
}

class SocketToDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tcp.ok());
    ASSERT_EQ(aStream_CreateSocket(loopback(), tcp.port(), &stream), aErrNone);
    ASSERT_TRUE(waitFor([&] { return device.connections() == 1; }));
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
  }
  // Reads until n bytes arrived or a bounded wait ran out.
  Bytes readBytes(size_t n, int timeoutMs = 2000) {
    Bytes got;
    const aTime end = aTime_GetMonotonicMSTicks() + static_cast<aTime>(timeoutMs);
    while (got.size() < n && aTime_GetMonotonicMSTicks() < end) {
      uint8_t b;
      const aErr e = aStream_Read(stream, &b, 1);
      if (e == aErrNone) got.push_back(b);
      else aTime_MSSleep(1);
    }
    return got;
  }

  devsim::Device device;
  devsim::TcpFrontEnd tcp{device};
  aStream* stream = nullptr;
};

TEST_F(SocketToDevice, EmptyReadReturnsAtOnce) {
  uint8_t b;
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 100u);
  const Bytes sync = {0xAD, 0x00};
  ASSERT_EQ(aStream_Write(stream, sync.data(), sync.size()), aErrNone);
  EXPECT_EQ(readBytes(2), (Bytes{0x04, 0x00}));
}

TEST_F(SocketToDevice, ReconnectsAfterResetAndAfterClose) {
  const Bytes sync = {0xAD, 0x00};
  tcp.resetConnection();
  EXPECT_TRUE(waitFor([&] {
    uint8_t b;
    aStream_Read(stream, &b, 1);
    return device.connections() == 2;
  }));
  tcp.closeConnection();
  EXPECT_TRUE(waitFor([&] {
    uint8_t b;
    aStream_Read(stream, &b, 1);
    return device.connections() == 3;
  }));
  ASSERT_TRUE(waitFor([&] { return tcp.hasConnection(); }));
  ASSERT_EQ(aStream_Write(stream, sync.data(), sync.size()), aErrNone);
  EXPECT_EQ(readBytes(2), (Bytes{0x04, 0x00}));
}

TEST_F(SocketToDevice, RefusedReconnectionIsReportedAndSticks) {
  tcp.setListening(false);
  tcp.closeConnection();
  uint8_t b;
  aErr e = aErrNotReady;
  ASSERT_TRUE(waitFor([&] { return (e = aStream_Read(stream, &b, 1)) != aErrNotReady; }));
  EXPECT_EQ(e, aErrConnection);
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrConnection);
  const Bytes sync = {0xAD, 0x00};
  EXPECT_EQ(aStream_Write(stream, sync.data(), sync.size()), aErrConnection);
}

// A peer that takes a connection, reads nothing until told to, then resets it and takes
// a second connection, recording what arrives there.
class StallingPeer {
 public:
  StallingPeer() {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listenFd_, 4);
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~StallingPeer() {
    if (thread_.joinable()) thread_.join();
    close(listenFd_);
  }
  uint16_t port() const { return port_; }
  void run(size_t expect) {
    thread_ = std::thread([this, expect] {
      int first = acceptOne();
      if (first < 0) return;
      const int small = 4096;
      setsockopt(first, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      while (!resetNow_) usleep(1000);
      linger l{1, 0};
      setsockopt(first, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      close(first);
      const int second = acceptOne();
      if (second < 0) return;
      uint8_t buffer[65536];
      while (second_.size() < expect) {
        pollfd p{second, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) break;
        const ssize_t n = read(second, buffer, sizeof buffer);
        if (n <= 0) break;
        second_.insert(second_.end(), buffer, buffer + n);
      }
      close(second);
    });
  }
  void resetNow() { resetNow_ = true; }
  Bytes received() {
    if (thread_.joinable()) thread_.join();
    return second_;
  }

 private:
  int acceptOne() {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return -1;
    return accept(listenFd_, nullptr, nullptr);
  }
  int listenFd_;
  uint16_t port_ = 0;
  std::atomic<bool> resetNow_{false};
  std::thread thread_;
  Bytes second_;
};

TEST(SocketStreamWrite, ReconnectionMidBlockSendsTheWholeBlockAgain) {
  StallingPeer peer;
  const size_t size = 8u << 20;   // far more than the socket buffers hold
  peer.run(size);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &stream), aErrNone);
  Bytes block(size);
  for (size_t i = 0; i < size; i++) block[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::thread resetter([&] {
    aTime_MSSleep(150);
    peer.resetNow();
  });
  const aErr e = aStream_Write(stream, block.data(), block.size());
  resetter.join();
  EXPECT_EQ(e, aErrNone);
  const Bytes got = peer.received();
  ASSERT_EQ(got.size(), block.size()) << "the new connection gets the block from its start";
  EXPECT_TRUE(got == block);
  aStream_Destroy(&stream);
}

// While one thread reconnects, the other thread's use of the stream waits for that
// attempt's outcome: the link's reader must not see a reconnection by the writer as a
// failed read. The listener's accept queue is held full, so the writer's reconnection
// stays in its connect until the test lets it through.
TEST(SocketStreamReconnect, ReadDuringTheOtherThreadsReconnectionIsNoFailure) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = loopback();
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 0), 0);   // one waiting connection fills the queue
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), ntohs(a.sin_port), &stream), aErrNone);
  const int first = accept(listener, nullptr, nullptr);
  ASSERT_GE(first, 0);
  const int filler = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const linger resetOnClose{1, 0};
  setsockopt(first, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
  close(first);
  aTime_MSSleep(50);   // the reset reaches the stream's socket

  const Bytes block = {0x04, 0x01, 0x2A};
  aErr written = aErrUnknown;
  std::thread writer([&] { written = aStream_Write(stream, block.data(), block.size()); });
  aTime_MSSleep(100);   // the writer is in its reconnection now
  std::thread releaser([&] {
    aTime_MSSleep(300);
    const int queued = accept(listener, nullptr, nullptr);   // the filler: room in the queue
    if (queued >= 0) close(queued);
  });
  uint8_t byte = 0;
  const aErr read = aStream_Read(stream, &byte, 1);
  releaser.join();
  writer.join();
  EXPECT_EQ(read, aErrNotReady);
  EXPECT_EQ(written, aErrNone);

  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  const int second = accept(listener, nullptr, nullptr);
  ASSERT_GE(second, 0);
  Bytes got(block.size());
  size_t have = 0;
  while (have < got.size()) {
    pollfd q{second, POLLIN, 0};
    if (poll(&q, 1, 3000) <= 0) break;
    const ssize_t n = recv(second, got.data() + have, got.size() - have, 0);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  EXPECT_EQ(got, block);
  close(second);
  close(filler);
  aStream_Destroy(&stream);
  close(listener);
}

TEST(SocketStreamDelete, ResetsTheConnection) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = loopback();
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), ntohs(a.sin_port), &stream), aErrNone);
  const int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  pollfd p{peer, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  uint8_t b;
  EXPECT_EQ(recv(peer, &b, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  close(peer);
  close(listener);
}

bool readableWithin(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

// The link waits on what each transport names when it makes its stream; a wrong answer
// would leave a reader asleep with input waiting, or let callers write where a write
// may block.
TEST_F(SocketToDevice, SaysWhatToWaitOn) {
  ASSERT_GE(stream->waitFd, 0);
  EXPECT_TRUE(stream->promptWrites);
  EXPECT_FALSE(readableWithin(stream->waitFd, 0));
  EXPECT_FALSE(aStream_InputPending(stream));
  const Bytes sync = {0xAD, 0x00};
  ASSERT_EQ(aStream_Write(stream, sync.data(), sync.size()), aErrNone);
  EXPECT_TRUE(readableWithin(stream->waitFd, 2000));
  // One byte read takes the whole reply off the descriptor: the rest is pending in the
  // transport, where a poll() no longer sees it.
  EXPECT_EQ(readBytes(1), (Bytes{0x04}));
  EXPECT_FALSE(readableWithin(stream->waitFd, 0));
  EXPECT_TRUE(aStream_InputPending(stream));
  EXPECT_EQ(readBytes(1), (Bytes{0x00}));
  EXPECT_FALSE(aStream_InputPending(stream));
}

TEST(StreamReadiness, SerialLinesAndCallersStreams) {
  devsim::Device device;
  devsim::PtyFrontEnd pty(device);
  ASSERT_TRUE(pty.ok());
  for (const bool packetized : {false, true}) {
    SCOPED_TRACE(packetized ? "COBS over the port" : "raw port");
    aStream* s = nullptr;
    ASSERT_EQ(packetized ? aStream_CreateSerial_Packetized(pty.slavePath().c_str(), 6, false, 0, 0, &s)
                         : aStream_CreateSerial(pty.slavePath().c_str(), 6, false, 0, 0, &s),
              aErrNone);
    ASSERT_GE(s->waitFd, 0);
    EXPECT_FALSE(s->promptWrites) << "a serial write waits until the line has drained";
    devsim::WirePacket sync;
    sync.address = 0xAD;
    const Bytes frame = devsim::serialFrame(sync);
    ASSERT_EQ(packetized ? aStream_Write(s, Bytes{0xAD, 0x00}.data(), 2) : aStream_Write(s, frame.data(), frame.size()),
              aErrNone);
    EXPECT_TRUE(readableWithin(s->waitFd, 2000)) << "the reply shows on the port's descriptor";
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
  }
  // A stream made by a caller names nothing: the link asks it.
  aStream* bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->waitFd, -1);
  EXPECT_FALSE(bare->promptWrites);
  EXPECT_FALSE(aStream_InputPending(bare));
  aStream_Destroy(&bare);
}

TEST(SerialStream, RefusesBadArgumentsAndMissingPorts) {
  aStream* s = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSerial("/nonexistent/tty", 6, false, 0, 0, &s), aErrNotFound);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 2, 0, &s), aErrResource);
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &s), aErrResource);
  EXPECT_EQ(aStream_CreateSerial_Packetized("/nonexistent/tty", 6, false, 0, 0, &s), aErrNotFound);
  // A regular file has no line settings.
  EXPECT_EQ(aStream_CreateSerial("/proc/self/status", 6, false, 0, 0, &s), aErrIO);
  const std::string longPath(5000, 'a');
  EXPECT_EQ(aStream_CreateSerial(longPath.c_str(), 6, false, 0, 0, &s), aErrResource);
}

TEST(SerialStream, RawBytesBothWaysAndSettingsRestored) {
  devsim::Device device;
  devsim::PtyFrontEnd pty(device);
  ASSERT_TRUE(pty.ok());
  // Give the port settings of its own to see them come back.
  const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios before;
  ASSERT_EQ(tcgetattr(fd, &before), 0);
  before.c_lflag |= ECHO;
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(fd, &before), 0);

  aStream* s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 7, true, 1, 1, &s), aErrNone);
  termios applied;
  ASSERT_EQ(tcgetattr(fd, &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B230400));
  // (A pty keeps its own character size and parity, so those are not visible here.)
  EXPECT_EQ(applied.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_EQ(applied.c_cc[VMIN], 0);
  EXPECT_EQ(applied.c_cc[VTIME], 0);
  // A raw frame out: the simulator decodes it and answers in kind.
  devsim::WirePacket sync;
  sync.address = 0xAD;
  const Bytes frame = devsim::serialFrame(sync);
  ASSERT_EQ(aStream_Write(s, frame.data(), frame.size()), aErrNone);
  Bytes got;
  const aTime end = aTime_GetMonotonicMSTicks() + 2000;
  while (got.size() < 5 && aTime_GetMonotonicMSTicks() < end) {
    uint8_t b;
    if (aStream_Read(s, &b, 1) == aErrNone) got.push_back(b);
    else aTime_MSSleep(1);
  }
  devsim::WirePacket expected;
  expected.address = 0x04;
  EXPECT_EQ(got, devsim::serialFrame(expected));
  ASSERT_EQ(aStream_Destroy(&s), aErrNone);

  termios after;
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  close(fd);
}

}  // namespace

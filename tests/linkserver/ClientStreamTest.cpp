// The client stream against the fake link server on loopback, inside a network
// namespace of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/transport/aZMQStream.h"
#include "tests/linkserver/FakeLinkServer.h"
#include "tests/support/PrivateNetwork.h"

namespace {

using Clock = std::chrono::steady_clock;
using lstest::FakeLinkServer;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::vector<uint8_t> bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const std::vector<uint8_t>& data) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : data) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// Reads count bytes one get at a time (each get waits at most a second).
std::vector<uint8_t> readBytes(aStream* stream, size_t count, aErr* last = nullptr) {
  std::vector<uint8_t> got;
  const auto start = Clock::now();
  while (got.size() < count && msSince(start) < 5000) {
    uint8_t byte = 0;
    const aErr e = aStream_Read(stream, &byte, 1);
    if (last != nullptr) *last = e;
    if (e == aErrNone) got.push_back(byte);
    else if (e != aErrNotReady) break;
  }
  return got;
}

// TCP sockets listening in this namespace.
int tcpListeners() {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  int listening = 0;
  while (std::getline(table, line)) {
    char local[64], remote[64], state[8];
    if (std::sscanf(line.c_str(), "%*s %63s %63s %7s", local, remote, state) == 3 && std::string(state) == "0A") listening++;
  }
  return listening;
}

class ClientStream : public ::testing::Test {
 protected:
  void SetUp() override { NETTEST_ENTER_PRIVATE_NETWORK(false); }
  void TearDown() override {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
  }
  void open(uint16_t port) { ASSERT_EQ(aStream_CreateClient(kLoopback, port, &stream_), aErrNone); }
  void write(const std::string& hexBytes) {
    const std::vector<uint8_t> b = bytes(hexBytes);
    ASSERT_EQ(aStream_Write(stream_, b.data(), b.size()), aErrNone);
  }

  aStream* stream_ = nullptr;
};

TEST_F(ClientStream, PacketGoesAsOneFrameAndTheAnswerComesBackInOrder) {
  FakeLinkServer fake;
  ASSERT_TRUE(fake.ok());
  open(fake.port());
  write("0404170a0b0c");   // an echo request: the fake answers with the same packet
  ASSERT_TRUE(fake.waitForFrames(1));
  ASSERT_EQ(fake.frames().size(), 1u);
  EXPECT_EQ(fake.frames()[0].bytes, "0404170a0b0c");
  EXPECT_EQ(hex(readBytes(stream_, 6)), "0404170a0b0c");
}

TEST_F(ClientStream, PooledWriteGoesOutAsOneFramePerPacket) {
  FakeLinkServer fake;
  open(fake.port());
  // 50 packets of different lengths in one write, as the link's pooled writer joins them.
  std::string pooled;
  std::vector<std::string> packets;
  for (int i = 0; i < 50; i++) {
    const int length = i % 5;
    std::string packet = "06" + hex({static_cast<uint8_t>(length)});
    for (int j = 0; j < length; j++) packet += hex({static_cast<uint8_t>(i)});
    packets.push_back(packet);
    pooled += packet;
  }
  write(pooled);
  ASSERT_TRUE(fake.waitForFrames(50));
  std::vector<lstest::Frame> frames = fake.frames();
  ASSERT_EQ(frames.size(), 50u);
  for (size_t i = 0; i < 50; i++) EXPECT_EQ(frames[i].bytes, packets[i]) << i;
  // A tail that is no whole packet goes out as it is, in one frame.
  write("0405aabb");
  ASSERT_TRUE(fake.waitForFrames(51));
  EXPECT_EQ(fake.frames().back().bytes, "0405aabb");
}

TEST_F(ClientStream, BatchFromTheServerIsReadByteByByte) {
  FakeLinkServer fake;
  open(fake.port());
  write("ad00");   // makes the fake know this client
  EXPECT_EQ(hex(readBytes(stream_, 2)), "0400");
  std::string batch;
  for (int i = 0; i < 10; i++) {
    batch += "041c";
    for (int j = 0; j < 28; j++) batch += hex({static_cast<uint8_t>(i * 28 + j)});
  }
  ASSERT_EQ(batch.size(), 600u);   // 300 bytes
  ASSERT_TRUE(fake.send(batch));
  EXPECT_EQ(hex(readBytes(stream_, 300)), batch);
  // The next get waits for a new frame: nothing is left over.
  uint8_t byte;
  const auto start = Clock::now();
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  EXPECT_GE(msSince(start), 900);
  EXPECT_LE(msSince(start), 1500);
}

TEST_F(ClientStream, EmptyFrameIsDroppedAndTheLinkGoesOn) {
  FakeLinkServer fake;
  open(fake.port());
  write("ad00");
  EXPECT_EQ(hex(readBytes(stream_, 2)), "0400");
  ASSERT_TRUE(fake.send(""));
  ASSERT_TRUE(fake.send("040149"));
  aErr last = aErrNone;
  EXPECT_EQ(hex(readBytes(stream_, 3, &last)), "040149");
  EXPECT_EQ(last, aErrNone);
}

// A client stream names no descriptor (a read waits for a frame by itself), says when
// the rest of a frame is still to be read, and lets a caller write in the writer's place.
TEST_F(ClientStream, SaysWhatToWaitOn) {
  FakeLinkServer fake;
  ASSERT_TRUE(fake.ok());
  open(fake.port());
  EXPECT_EQ(stream_->waitFd, -1);
  EXPECT_TRUE(stream_->promptWrites);
  EXPECT_FALSE(aStream_InputPending(stream_));
  write("0404170a0b0c");
  EXPECT_EQ(hex(readBytes(stream_, 1)), "04");
  EXPECT_TRUE(aStream_InputPending(stream_));
  EXPECT_EQ(hex(readBytes(stream_, 5)), "04170a0b0c");
  EXPECT_FALSE(aStream_InputPending(stream_));
}

TEST_F(ClientStream, SingleByteWriteIsRefused) {
  FakeLinkServer fake;
  open(fake.port());
  const uint8_t one = 0x04;
  EXPECT_EQ(aStream_Write(stream_, &one, 1), aErrUnimplemented);
}

TEST_F(ClientStream, NoServerIsNoFailureButNothingArrives) {
  open(FakeLinkServer::closedPort());
  write("ad00");
  uint8_t byte;
  const auto start = Clock::now();
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  EXPECT_GE(msSince(start), 900);
  EXPECT_LE(msSince(start), 1500);
}

// A signal the program handles, delivered to every thread of the process (the stream's
// broker actor and its waits among them), interrupts their waits and nothing more: the
// stream goes on carrying frames both ways, and a read it cuts short reports "nothing
// yet", not a failure.
TEST_F(ClientStream, SignalsThatInterruptItsWaitsLeaveItWorking) {
  struct sigaction handled {}, before {};
  handled.sa_handler = [](int) {};
  sigemptyset(&handled.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &handled, &before), 0);
  FakeLinkServer fake;
  open(fake.port());
  auto everyThread = [] {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return;
    while (dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] != '.') syscall(SYS_tgkill, getpid(), std::atoi(entry->d_name), SIGUSR1);
    }
    closedir(tasks);
  };
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE(round);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));   // every thread waiting
    everyThread();
    const std::string request = "040417" + hex({static_cast<uint8_t>(round)}) + "0b0c";
    write(request);
    aErr last = aErrNone;
    EXPECT_EQ(hex(readBytes(stream_, 6, &last)), request) << "last read: " << last;
  }
  // A read that a signal cuts short.
  std::thread interrupt([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    everyThread();
  });
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  interrupt.join();
  // A thread may not have taken its signal yet: ignoring the signal discards what is
  // still pending, so that the disposition restored next cannot end the process.
  struct sigaction ignored {};
  ignored.sa_handler = SIG_IGN;
  sigemptyset(&ignored.sa_mask);
  sigaction(SIGUSR1, &ignored, nullptr);
  sigaction(SIGUSR1, &before, nullptr);
}

TEST_F(ClientStream, DestroyEndsTheBrokerPromptly) {
  FakeLinkServer fake;
  open(fake.port());
  const auto start = Clock::now();
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_LE(msSince(start), 1300);
  EXPECT_EQ(stream_, nullptr);
  aStream* none = nullptr;
  EXPECT_EQ(aStream_CreateClient(kLoopback, fake.port(), nullptr), aErrParam);
  EXPECT_EQ(none, nullptr);
}

TEST_F(ClientStream, InternalHandOverListensNowhere) {
  FakeLinkServer fake;
  ASSERT_EQ(tcpListeners(), 1);   // the fake's frontend
  open(fake.port());
  write("ad00");
  EXPECT_EQ(hex(readBytes(stream_, 2)), "0400");
  EXPECT_EQ(tcpListeners(), 1);   // nothing of the stream's own that another process could join
}

TEST_F(ClientStream, RequestsForAnAbsentServerAreBoundedWhenOneComes) {
  const uint16_t port = FakeLinkServer::closedPort();
  open(port);
  for (int i = 0; i < 600; i++) write("0601" + hex({static_cast<uint8_t>(i)}));   // never answered
  FakeLinkServer fake({"--port", std::to_string(port)});
  ASSERT_TRUE(fake.ok());
  ASSERT_TRUE(fake.waitForFrames(1, 5000));
  // A fence: once its answer is here, everything queued before it has arrived. (While
  // the queue drains it may itself find the queue full: it is asked again.)
  std::string answer;
  for (int attempt = 0; attempt < 5 && answer.empty(); attempt++) {
    write("ad00");
    answer = hex(readBytes(stream_, 2));
  }
  ASSERT_EQ(answer, "0400");
  ASSERT_TRUE(fake.waitForFrame("ad00"));
  size_t replayed = 0;
  for (const lstest::Frame& f : fake.frames()) replayed += f.bytes.compare(0, 4, "0601") == 0;
  EXPECT_GE(replayed, 1u);
  EXPECT_LE(replayed, static_cast<size_t>(aZMQSTREAM_SERVER_QUEUE) + 8);
}

}  // namespace

// The simulator is the yardstick of the link tests, so its own wire handling is checked
// against published values and raw sockets here.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/SimWire.h"

namespace {

using devsim::WirePacket;

TEST(SimWire, CrcAndStuffingMatchPublishedValues) {
  const char* check = "123456789";
  EXPECT_EQ(devsim::crc8Bitwise(reinterpret_cast<const uint8_t*>(check), 9), 0xA1);
  EXPECT_EQ(devsim::stuff({0x11, 0x00, 0x22}), (std::vector<uint8_t>{0x02, 0x11, 0x02, 0x22}));
  std::vector<uint8_t> run(254, 0x01);
  std::vector<uint8_t> body = devsim::stuff(run);
  ASSERT_EQ(body.size(), 256u);
  EXPECT_EQ(body.front(), 0xFF);
  EXPECT_EQ(body.back(), 0x01);
  std::vector<uint8_t> back;
  ASSERT_TRUE(devsim::unstuff(body, back));
  EXPECT_EQ(back, run);
  EXPECT_FALSE(devsim::unstuff({0x09, 0x01, 0x02, 0x03}, back));
}

TEST(SimWire, FrameReaderRejectsBadCrcThenAcceptsNext) {
  WirePacket p;
  p.address = 0x02;
  p.data = {0x05, 0x00};
  std::vector<uint8_t> good = devsim::serialFrame(p);
  std::vector<uint8_t> bad = good;
  bad[1] ^= 0x40;
  devsim::FrameReader reader;
  WirePacket out;
  int results[3] = {0, 0, 0};
  for (const auto* frame : {&bad, &good})
    for (uint8_t b : *frame) results[reader.feed(b, out)]++;
  EXPECT_EQ(results[devsim::FrameReader::kBadFrame], 1);
  EXPECT_EQ(results[devsim::FrameReader::kPacket], 1);
  EXPECT_EQ(out.address, 0x02);
  EXPECT_EQ(out.data, p.data);
}

int connectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> readFor(int fd, size_t want, int timeoutMs) {
  std::vector<uint8_t> got;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    uint8_t b[256];
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) break;
    got.insert(got.end(), b, b + n);
  }
  return got;
}

TEST(SimTcp, AnswersSyncModelQueryAndSendsHeartbeats) {
  devsim::Config c;
  c.address = 0x06;
  c.model = 0x2A;
  c.heartbeatMs = 20;
  devsim::Device device(c);
  devsim::TcpFrontEnd tcp(device);
  ASSERT_TRUE(tcp.ok());
  const int fd = connectTo(tcp.port());
  ASSERT_GE(fd, 0);
  const uint8_t request[] = {0xAD, 0x00, 0x06, 0x03, 0x03, 0x48, 0x20};
  ASSERT_EQ(write(fd, request, sizeof request), static_cast<ssize_t>(sizeof request));
  const std::vector<uint8_t> got = readFor(fd, 12, 2000);
  ASSERT_GE(got.size(), 8u);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 8),
            (std::vector<uint8_t>{0x06, 0x00, 0x06, 0x04, 0x03, 0x08, 0x00, 0x2A}));
  // Answer the heartbeat that follows and let the device check it.
  const std::vector<uint8_t> beat(got.begin() + 8, got.begin() + 12);
  ASSERT_EQ(beat.size(), 4u);
  EXPECT_EQ(beat[0], 0x06);
  const uint8_t answer[] = {0x06, 0x02, 0x00, static_cast<uint8_t>(beat[3] + 2)};
  ASSERT_EQ(write(fd, answer, sizeof answer), 4);
  for (int i = 0; i < 600 && device.heartbeats().answered == 0; i++) usleep(5000);   // 3 s at most
  EXPECT_EQ(device.heartbeats().answered, 1u);
  EXPECT_EQ(device.countReceived([](const WirePacket& p) { return p.address == 0xAD; }), 1u);
  close(fd);
}

TEST(SimPty, SpeaksCheckedFrames) {
  devsim::Device device;
  devsim::PtyFrontEnd pty(device);
  ASSERT_TRUE(pty.ok());
  const int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  WirePacket sync;
  sync.address = 0xAD;
  const std::vector<uint8_t> frame = devsim::serialFrame(sync);
  ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  const std::vector<uint8_t> got = readFor(fd, 5, 2000);
  devsim::FrameReader reader;
  WirePacket out;
  bool packet = false;
  for (uint8_t b : got) packet = packet || reader.feed(b, out) == devsim::FrameReader::kPacket;
  ASSERT_TRUE(packet);
  EXPECT_EQ(out.address, 0x04);
  EXPECT_TRUE(out.data.empty());
  close(fd);
}

}  // namespace

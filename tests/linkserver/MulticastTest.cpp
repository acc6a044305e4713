// Multicast sockets on the loopback interface, against plain-socket Python peers, inside
// a network namespace of the test's own (loopback only).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/discovery/aMulticast.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/linkserver/Peers.h"
#include "tests/support/BackgroundProcess.h"

namespace {

using lstest::peerScript;
using testsupport::BackgroundProcess;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const uint32_t kGroup = nettest::address("224.0.0.7");
constexpr uint16_t kPort = 9870;

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string hex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; i++) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

// A datagram from a plain UDP socket, unicast to 127.0.0.1 or to the group.
void sendPlain(const char* to, uint16_t port, const std::vector<uint8_t>& bytes) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  in_addr through{};
  through.s_addr = kLoopback;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  inet_pton(AF_INET, to, &target.sin_addr);
  EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target),
            static_cast<ssize_t>(bytes.size()));
  close(fd);
}

class Multicast : public ::testing::Test {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(false);
  }
};

TEST_F(Multicast, ReceiverHoldsItsPortUntilDestroyed) {
  aMulticast* first = aMulticast_Create(0, kGroup, kPort, 0);   // 0: the loopback interface
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(aMulticast_Create(kLoopback, kGroup, kPort, 0), nullptr);
  // Neither kind of receiver gets in beside an exclusive one: the probe stays a probe.
  EXPECT_EQ(aMulticast_CreateSharedReceiver(kLoopback, kGroup, kPort), nullptr);
  // Senders are never bound: any number, for a held port too.
  aMulticast* senders[3];
  for (aMulticast*& s : senders) {
    s = aMulticast_Create(kLoopback, kGroup, kPort, 1);
    EXPECT_NE(s, nullptr);
  }
  EXPECT_EQ(aMulticast_Destroy(&first), 0);
  EXPECT_EQ(first, nullptr);
  aMulticast* second = aMulticast_Create(kLoopback, kGroup, kPort, 0);
  EXPECT_NE(second, nullptr);
  aMulticast_Destroy(&second);
  for (aMulticast*& s : senders) aMulticast_Destroy(&s);
}

TEST_F(Multicast, SharedReceiversEachGetEveryDatagram) {
  aMulticast* a = aMulticast_CreateSharedReceiver(kLoopback, kGroup, kPort);
  aMulticast* b = aMulticast_CreateSharedReceiver(kLoopback, kGroup, kPort);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(aMulticast_Create(kLoopback, kGroup, kPort, 0), nullptr);
  aMulticast* sender = aMulticast_Create(kLoopback, kGroup, kPort, 1);
  const uint8_t word[4] = {0xBA, 0xDC, 0xCD, 0xAB};
  ASSERT_EQ(aMulticast_Send(sender, word, sizeof word), 4);
  for (aMulticast* r : {a, b}) {
    uint8_t got[8] = {};
    EXPECT_EQ(aMulticast_Receive(r, got, sizeof got), 4);
    EXPECT_EQ(hex(got, 4), "badccdab");
  }
  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&a);
  aMulticast_Destroy(&b);
}

TEST_F(Multicast, WrongDirectionAndMissingRecordAreRefused) {
  aMulticast* receiver = aMulticast_Create(kLoopback, kGroup, kPort, 0);
  aMulticast* sender = aMulticast_Create(kLoopback, kGroup, kPort, 1);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);
  uint8_t buffer[4] = {1, 2, 3, 4};
  EXPECT_EQ(aMulticast_Send(receiver, buffer, 4), -3);
  EXPECT_EQ(aMulticast_Receive(sender, buffer, 4), -3);
  EXPECT_EQ(aMulticast_Send(nullptr, buffer, 4), -2);
  EXPECT_EQ(aMulticast_Receive(nullptr, buffer, 4), -2);
  aMulticast_Destroy(&receiver);
  aMulticast_Destroy(&sender);
  EXPECT_EQ(aMulticast_Destroy(&receiver), -2);
  EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
}

TEST_F(Multicast, ReceiveWithNothingArrivingTimesOutAfterOneSecond) {
  aMulticast* receiver = aMulticast_Create(kLoopback, kGroup, kPort, 0);
  ASSERT_NE(receiver, nullptr);
  uint8_t buffer[16];
  const auto start = Clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1);
  EXPECT_GE(msSince(start), 900);
  EXPECT_LE(msSince(start), 1500);
  aMulticast_Destroy(&receiver);
}

TEST_F(Multicast, PlainSocketsOnTheGroupHearEachOther) {
  // What the library sends reaches a Python receiver joined to the group on 127.0.0.1...
  auto listener = BackgroundProcess::python(peerScript("mcast_probe.py"), {"--wait-ms", "3000", "listen", std::to_string(kPort)});
  ASSERT_TRUE(listener->waitFor("READY"));
  aMulticast* sender = aMulticast_Create(kLoopback, kGroup, kPort, 1);
  const uint8_t word[4] = {0xBA, 0xDC, 0xCD, 0xAB};
  EXPECT_EQ(aMulticast_Send(sender, word, sizeof word), 4);
  EXPECT_EQ(listener->first("DATAGRAM"), "badccdab");
  aMulticast_Destroy(&sender);

  // ...and what a Python sender sends to the group reaches the library's receiver.
  aMulticast* receiver = aMulticast_Create(kLoopback, kGroup, kPort + 1, 0);
  ASSERT_NE(receiver, nullptr);
  auto peer = BackgroundProcess::python(peerScript("mcast_probe.py"), {"send", std::to_string(kPort + 1), "0102030405"});
  uint8_t got[16];
  // The receiver's socket queues the datagram from the moment it exists: a peer slow to
  // start (a loaded machine) is waited for over a few of the library's one-second reads.
  int64_t received = -1;
  for (int read = 0; read < 10 && received < 0; read++) received = aMulticast_Receive(receiver, got, sizeof got);
  ASSERT_EQ(received, 5);
  EXPECT_EQ(hex(got, 5), "0102030405");
  aMulticast_Destroy(&receiver);
}

TEST_F(Multicast, UnicastToTheReceiversPortIsNotTaken) {
  aMulticast* receiver = aMulticast_Create(kLoopback, kGroup, kPort, 0);
  ASSERT_NE(receiver, nullptr);
  sendPlain("127.0.0.1", kPort, {0xBA, 0xDC, 0xCD, 0xAB});
  uint8_t got[16];
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), -1);
  // The same bytes to the group do arrive: the receiver itself works.
  sendPlain("224.0.0.7", kPort, {0xBA, 0xDC, 0xCD, 0xAB});
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), 4);
  aMulticast_Destroy(&receiver);
}

TEST_F(Multicast, DatagramLongerThanTheBufferIsRefusedNotCut) {
  aMulticast* receiver = aMulticast_Create(kLoopback, kGroup, kPort, 0);
  ASSERT_NE(receiver, nullptr);
  sendPlain("224.0.0.7", kPort, std::vector<uint8_t>(129, 0x06));
  sendPlain("224.0.0.7", kPort, std::vector<uint8_t>(128, 0x07));
  uint8_t got[128];
  const auto start = Clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), -1);
  EXPECT_LT(msSince(start), 500);   // refused at once, not waited out
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), 128);
  EXPECT_EQ(got[127], 0x07);
  aMulticast_Destroy(&receiver);
}

}  // namespace

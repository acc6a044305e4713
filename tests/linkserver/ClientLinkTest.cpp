// Client links (link kind 4) against the fake link server on loopback, inside a network
// namespace of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "tests/linkserver/FakeLinkServer.h"
#include "tests/support/PrivateNetwork.h"

namespace {

using lstest::FakeLinkServer;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::string hex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; i++) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

std::string wire(const aPacket* p) {
  std::string text = hex(&p->address, 1) + hex(&p->dataSize, 1);
  return text + hex(p->data, p->dataSize);
}

uint8_t anyPacket(const aPacket*, void*) { return 1; }

aErr put(aLinkRef link, uint8_t address, std::vector<uint8_t> data) {
  const uint8_t none = 0;   // a packet without data still needs a data pointer
  aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.empty() ? &none : data.data());
  const aErr e = aLink_PutPacket(link, p);
  aPacket_Destroy(&p);
  return e;
}

class ClientLink : public ::testing::Test {
 protected:
  void SetUp() override { NETTEST_ENTER_PRIVATE_NETWORK(false); }
  void TearDown() override {
    for (aLinkRef& id : links_)
      if (id != 0) aLink_Destroy(&id);
  }
  aLinkRef open(uint16_t port, aLinkRef ref = 0) {
    const aLinkRef id = aLink_CreateClient(kLoopback, port, ref);
    if (id != 0 && ref == 0) links_.push_back(id);
    return id;
  }

  std::vector<aLinkRef> links_;
};

TEST_F(ClientLink, RouteOnFirstThenOneFramePerPacketAndTheAnswerComesBack) {
  FakeLinkServer fake({"--answer", "040149=04024913"});
  ASSERT_TRUE(fake.ok());
  const aLinkRef link = open(fake.port());
  ASSERT_NE(link, 0u);
  EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);   // no handshake with a server
  ASSERT_TRUE(fake.waitForFrames(1));
  EXPECT_EQ(fake.frames()[0].bytes, "af0101");

  ASSERT_EQ(put(link, 0x04, {0x49}), aErrNone);
  aPacket* answer = aLink_AwaitFirst(link, anyPacket, nullptr, 2000);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(wire(answer), "04024913");
  aPacket_Destroy(&answer);
  const std::vector<lstest::Frame> frames = fake.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].bytes, "040149");
  EXPECT_EQ(frames[1].identity, frames[0].identity);
}

TEST_F(ClientLink, BatchFromTheServerYieldsItsPacketsInOrder) {
  FakeLinkServer fake;
  const aLinkRef link = open(fake.port());
  ASSERT_NE(link, 0u);
  ASSERT_TRUE(fake.waitForFrames(1));   // the route-on packet: the fake knows the client
  std::string batch;
  std::vector<std::string> packets;
  for (int i = 0; i < 10; i++) {
    std::string packet = "041c";
    for (int j = 0; j < 28; j++) {
      const uint8_t b = static_cast<uint8_t>(0x20 + i);
      packet += hex(&b, 1);
    }
    packets.push_back(packet);
    batch += packet;
  }
  ASSERT_TRUE(fake.send(batch));   // 300 bytes in one frame
  for (const std::string& expected : packets) {
    aPacket* p = aLink_AwaitPacket(link, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(wire(p), expected);
    aPacket_Destroy(&p);
  }
}

TEST_F(ClientLink, PooledPacketsArriveOneFrameEach) {
  FakeLinkServer fake;
  const aLinkRef link = open(fake.port());
  ASSERT_TRUE(fake.waitForFrames(1));
  ASSERT_EQ(aLink_EnablePooledPackets(link, 1), aErrNone);
  for (int i = 0; i < 50; i++) ASSERT_EQ(put(link, 0x06, {0x42, static_cast<uint8_t>(i)}), aErrNone);
  ASSERT_TRUE(fake.waitForFrames(51));
  const std::vector<lstest::Frame> frames = fake.frames();
  ASSERT_EQ(frames.size(), 51u);
  for (int i = 0; i < 50; i++) {
    const uint8_t n = static_cast<uint8_t>(i);
    EXPECT_EQ(frames[1 + i].bytes, "060242" + hex(&n, 1));
  }
}

TEST_F(ClientLink, EveryNewClientIsItsOwnLinkAndARefIsShared) {
  FakeLinkServer fake;
  const aLinkRef a = open(fake.port());
  const aLinkRef b = open(fake.port());
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  // Another use of an existing link, whatever address and port are given.
  aLinkRef shared = aLink_CreateClient(0, 0, a);
  EXPECT_EQ(shared, a);
  EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
  EXPECT_EQ(aLink_GetStatus(a), kLinkStatusRunning);   // one use is left
  EXPECT_EQ(aLink_CreateClient(kLoopback, fake.port(), 0x7FFFFFF0u), 0u);
}

TEST_F(ClientLink, NoServerListeningStillMakesALink) {
  const aLinkRef link = open(FakeLinkServer::closedPort());
  ASSERT_NE(link, 0u);
  EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
  EXPECT_EQ(aLink_AwaitPacket(link, 300), nullptr);
}

TEST_F(ClientLink, ResetReachesAServerThatCameBackOnThePort) {
  uint16_t port = 0;
  aLinkRef link = 0;
  {
    FakeLinkServer first;
    port = first.port();
    link = open(port);
    ASSERT_TRUE(first.waitForFrames(1));
  }
  FakeLinkServer second({"--port", std::to_string(port)});
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(aLink_Reset(link), aErrNone);
  // The new stream says route on; (the old one's route off may reach this server too).
  ASSERT_TRUE(second.waitForFrames(1));
  bool routeOn = false;
  for (int i = 0; i < 50 && !routeOn; i++) {
    for (const lstest::Frame& f : second.frames()) routeOn = routeOn || f.bytes == "af0101";
    if (!routeOn) second.waitForFrames(second.frames().size() + 1, 100);
  }
  EXPECT_TRUE(routeOn);
  ASSERT_EQ(put(link, 0xAD, {}), aErrNone);
  aPacket* answer = aLink_AwaitFirst(link, anyPacket, nullptr, 2000);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(wire(answer), "0400");
  aPacket_Destroy(&answer);
}

}  // namespace

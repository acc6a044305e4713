// What a broker that shares one device link among clients must be tested against: long
// runs of continued replies, a packet that slips in just before a reply, and a device
// that never answers the model query. Reached over a bare socket, bytes written by hand.
#include <gtest/gtest.h>

#include <vector>

#include "tests/sim/ModelSim.h"
#include "tests/sim/RawHost.h"

namespace {

using devsim::model::Continued;
using simtest::Bytes;
using simtest::ModelSim;
using simtest::RawHost;
using simtest::run;
using simtest::wire;

// The n-th continued packet of a run answering a GET of system option 50 on module 4:
// 24 bytes counting on from n * 24, then the continue bit with sequence n (mod 128).
Bytes continued(unsigned n) {
  Bytes p = wire({0x04, 0x1C, 0x03, 0x32, 0x00}, run(static_cast<uint8_t>(n * 24), 24));
  p.push_back(static_cast<uint8_t>(0x80 | (n & 0x7F)));
  return p;
}

const Bytes kGet50 = {0x04, 0x03, 0x03, 0x72, 0x20};

TEST(SimContinued, CountedRunIsThatManyContinuedPacketsAndAFinalOne) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->continueReplies(0x03, 50, 3);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.send(kGet50));
  for (unsigned n = 0; n < 3; n++) EXPECT_EQ(host.packet(), continued(n)) << "packet " << n;
  EXPECT_EQ(host.packet(), (Bytes{0x04, 0x04, 0x03, 0x32, 0x00, 0x03}));
  EXPECT_EQ(host.quiet(100), Bytes());
  // The choice holds for the next GET too.
  ASSERT_TRUE(host.send(kGet50));
  EXPECT_EQ(host.packet(), continued(0));
}

TEST(SimContinued, EndlessRunGoesOnUntilStoppedThenEndsAndAnswersAsBefore) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->continueReplies(0x03, 50, Continued::kEndless);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.send(kGet50));
  // Past the sequence number's wrap at 128.
  for (unsigned n = 0; n < 200; n++) {
    const Bytes p = host.packet();
    ASSERT_EQ(p, continued(n)) << "packet " << n;
  }
  sim.module->stopContinuedReplies();
  // Packets already on their way, then the final one with the next sequence number.
  unsigned n = 200;
  Bytes p = host.packet();
  for (; p.size() == 30 && n < 5000; n++) {
    ASSERT_EQ(p, continued(n));
    p = host.packet();
  }
  EXPECT_EQ(p, (Bytes{0x04, 0x04, 0x03, 0x32, 0x00, static_cast<uint8_t>(n & 0x7F)}));
  EXPECT_EQ(host.quiet(100), Bytes());
  // The choice is forgotten: option 50 is no option of the system entity (29).
  EXPECT_EQ(host.ask(kGet50, 6), (Bytes{0x04, 0x04, 0x03, 0x32, 0x80, 0x1D}));
}

TEST(SimUnsolicited, PacketGoesJustBeforeTheReplyOfTheNextRequests) {
  devsim::Config config;
  config.unsolicited.data = {0x99};   // from the module's own address
  config.unsolicitedCount = 2;
  ModelSim sim(0x04, config);
  ASSERT_TRUE(sim.tcp->ok());
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  // Neither the sync reply nor a heartbeat answer counts as a request.
  EXPECT_EQ(host.ask({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
  ASSERT_TRUE(host.send({0x04, 0x02, 0x00, 0x02}));
  // The model query: [04 01 99] comes first.
  EXPECT_EQ(host.ask({0x04, 0x03, 0x03, 0x48, 0x20}, 9), (Bytes{0x04, 0x01, 0x99, 0x04, 0x04, 0x03, 0x08, 0x00, 0x13}));
  // Before each packet of a many-packet answer? No: before its first only.
  sim.module->continueReplies(0x03, 50, 1);
  ASSERT_TRUE(host.send(kGet50));
  EXPECT_EQ(host.packet(), (Bytes{0x04, 0x01, 0x99}));
  EXPECT_EQ(host.packet(), continued(0));
  EXPECT_EQ(host.packet(), (Bytes{0x04, 0x04, 0x03, 0x32, 0x00, 0x01}));
  // Two requests had one; the third has none.
  EXPECT_EQ(host.ask({0x04, 0x02, 0x17, 0x05}, 4), (Bytes{0x04, 0x02, 0x17, 0x05}));
  EXPECT_EQ(host.quiet(100), Bytes());
}

TEST(SimUnsolicited, ComesFromTheAddressGivenAndOnlyWithAReply) {
  devsim::Config config;
  config.unsolicited.address = 0x06;
  config.unsolicited.data = {0x03, 0x08, 0x00, 0x2A};   // looks like another module's model answer
  config.unsolicitedCount = -1;
  ModelSim sim(0x04, config);
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->muteOption(0x03, 9);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  // A request that gets no reply brings no unsolicited packet either.
  ASSERT_TRUE(host.send({0x04, 0x03, 0x03, 0x49, 0x20}));
  EXPECT_EQ(host.quiet(150), Bytes());
  for (int i = 0; i < 2; i++)
    EXPECT_EQ(host.ask({0x04, 0x02, 0x17, 0x07}, 10),
              (Bytes{0x06, 0x04, 0x03, 0x08, 0x00, 0x2A, 0x04, 0x02, 0x17, 0x07}));
}

TEST(SimModelQuery, CanGoUnansweredWhileEverythingElseIsAnswered) {
  devsim::Config config;
  config.answerModelQuery = false;
  ModelSim sim(0x04, config);
  ASSERT_TRUE(sim.tcp->ok());
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.ask({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
  ASSERT_TRUE(host.send({0x04, 0x03, 0x03, 0x48, 0x20}));
  EXPECT_EQ(host.quiet(300), Bytes());
  // The serial number (option 9) is still answered.
  EXPECT_EQ(host.ask({0x04, 0x03, 0x03, 0x49, 0x20}, 9), (Bytes{0x04, 0x07, 0x03, 0x09, 0x00, 0x12, 0x34, 0xAB, 0xCD}));
  EXPECT_EQ(sim.device->countReceived([](const devsim::WirePacket& p) { return p.data == Bytes{0x03, 0x48, 0x20}; }), 1u);
}

TEST(SimModelQuery, KnobAlsoSilencesTheDeviceWithoutTheModel) {
  devsim::Config config;
  config.answerModelQuery = false;
  devsim::Device device(config);
  devsim::TcpFrontEnd tcp(device);
  ASSERT_TRUE(tcp.ok());
  RawHost host(tcp.port());
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.send({0x04, 0x03, 0x03, 0x48, 0x20}));
  EXPECT_EQ(host.quiet(300), Bytes());
  config.answerModelQuery = true;
  device.setConfig(config);
  EXPECT_EQ(host.ask({0x04, 0x03, 0x03, 0x48, 0x20}, 6), (Bytes{0x04, 0x04, 0x03, 0x08, 0x00, 0x13}));
}

}  // namespace

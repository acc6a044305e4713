// The link server's set-up and tear-down and its discovery answers: loopback multicast
// asked by an independent Python probe, and beacons heard on "another machine" (a second
// namespace at the far end of a veth pair).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/internal/aLinkTable.h"
#include "common/server/aServerRecord.h"
#include "tests/linkserver/ProcessState.h"
#include "tests/linkserver/ServerFixture.h"
#include "tests/support/OtherMachine.h"

namespace lstest {
namespace {

using testsupport::BackgroundProcess;

std::vector<uint8_t> bytesOf(const std::string& hexText) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hexText.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hexText.substr(i, 2), nullptr, 16)));
  return out;
}

// A discovery answer as its table lays it out: six little-endian words, the IPv4 address
// as it goes on the wire, the port as a little-endian word, 96 bytes of zero.
struct Answer {
  int32_t type = 0;
  uint32_t serial = 0, module = 0, router = 0, routerSerial = 0, model = 0;
  std::string address;
  uint32_t port = 0;
  bool restZero = false;
};

uint32_t word(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

bool decode(const std::string& hexText, Answer* a) {
  const std::vector<uint8_t> b = bytesOf(hexText);
  if (b.size() != 128) return false;
  a->type = static_cast<int32_t>(word(b, 0));
  a->serial = word(b, 4);
  a->module = word(b, 8);
  a->router = word(b, 12);
  a->routerSerial = word(b, 16);
  a->model = word(b, 20);
  a->address = std::to_string(b[24]) + "." + std::to_string(b[25]) + "." + std::to_string(b[26]) + "." + std::to_string(b[27]);
  a->port = word(b, 28);
  a->restZero = true;
  for (size_t i = 32; i < 128; i++) a->restZero = a->restZero && b[i] == 0;
  return true;
}

// The answers a probe of offset k got within the client's one second.
std::vector<std::string> askOffset(int k) {
  auto probe = BackgroundProcess::python(peerScript("mcast_probe.py"), {"--wait-ms", "1000", "ask", std::to_string(k)});
  int status = -1;
  EXPECT_TRUE(probe->waitExit(10000, &status));
  return probe->linesWith("REPLY");
}

class ServerSetup : public ServerFixture {};

// Nothing else of the server listens: its internal pairs are in-process endpoints.
TEST_F(ServerSetup, ALocalServerListensOnLoopbackOnlyAndNothingElse) {
  startServer();
  uint32_t served = 0;
  ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
  EXPECT_EQ(served, loopback());
  std::vector<std::string> got = listeners();
  std::sort(got.begin(), got.end());
  std::vector<std::string> expected = {"127.0.0.1:" + std::to_string(sim->tcp->port()), "127.0.0.1:" + std::to_string(port)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
}

TEST_F(ServerSetup, MulticastAnswersComeAtOnceWithTheServersDescription) {
  startServer();
  auto asker = BackgroundProcess::python(peerScript("mcast_asker.py"), {"--tries", "20"});
  int status = -1;
  ASSERT_TRUE(asker->waitExit(60000, &status));
  const std::vector<std::string> tries = asker->linesWith("TRY");
  ASSERT_EQ(tries.size(), 20u) << asker->errors();
  for (const std::string& line : tries) {
    SCOPED_TRACE(line);
    std::istringstream fields(line);
    int n = 0, count = 0, ms = 0;
    std::string first;
    fields >> n >> count >> ms >> first;
    // One answer, well inside the second a client waits for it: a responder that stops
    // listening for a while answers near the edge of that second, or after it.
    EXPECT_EQ(count, 1);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 500);
    Answer a;
    ASSERT_TRUE(decode(first, &a));
    EXPECT_EQ(a.type, kLinkTypeQuivelTCPIP);
    EXPECT_EQ(a.serial, kSerial);
    EXPECT_EQ(a.module, kModule);
    EXPECT_EQ(a.router, 0u);
    EXPECT_EQ(a.routerSerial, 0u);
    EXPECT_EQ(a.model, kModel);
    EXPECT_EQ(a.address, "127.0.0.1");
    EXPECT_EQ(a.port, port);
    EXPECT_TRUE(a.restZero);
  }
}

TEST_F(ServerSetup, NoAnswerBeforeTheModelIsKnown) {
  startServer(1, 0, false);
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"HELD 0"});
  EXPECT_TRUE(askOffset(0).empty());
  aServer_SetModel(server, kModel);
  EXPECT_EQ(askOffset(0).size(), 1u);
}

TEST_F(ServerSetup, TwoLocalServersHoldTheFirstTwoOffsets) {
  startServer();
  simtest::ModelSim second(0x06);
  aLinkRef otherDevice = aLink_CreateTCPIP(0x5555, loopback(), second.tcp->port());
  ASSERT_NE(otherDevice, 0u);
  aServer* other = aServer_Create(otherDevice, 0, 1);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(aServer_Start(other), aErrNone);
  aServer_SetModel(other, 0x21);
  EXPECT_EQ(probeOffsets({"0", "1", "2"}), (std::vector<std::string>{"HELD 0", "HELD 1", "FREE 2"}));
  Answer a;
  const std::vector<std::string> replies = askOffset(1);
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_TRUE(decode(replies[0], &a));
  EXPECT_EQ(a.serial, 0x5555u);
  EXPECT_EQ(a.model, 0x21u);
  aServer_Destroy(&other);
  aLink_Destroy(&otherDevice);
}

// After the tear-down the request port is free again, the frontend refuses, and the
// server's threads and descriptors are gone.
TEST_F(ServerSetup, TearDownLeavesNothingBehind) {
  ZeroMQThreads started;
  const size_t threadBaseline = threads(), descriptorBaseline = descriptors();
  startServer();
  {
    auto c = client();
    c->send("ad00");
    EXPECT_EQ(c->fence().size(), 1u);
    EXPECT_EQ(askOffset(0).size(), 1u);
  }
  EXPECT_GT(threads(), threadBaseline);
  ASSERT_EQ(aServer_Destroy(&server), aErrNone);
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
  EXPECT_TRUE(refusesConnections(port));
  EXPECT_TRUE(backTo(threadBaseline, threads)) << threads() << " threads, " << threadBaseline << " before";
  EXPECT_TRUE(backTo(descriptorBaseline, descriptors)) << descriptors() << " descriptors, " << descriptorBaseline << " before";
}

// The device link's stream filter goes with the server: samples reach the link again.
TEST_F(ServerSetup, TearDownGivesTheDeviceLinkBackItsPackets) {
  startServer();
  aServer_Destroy(&server);
  const uint8_t echo[3] = {0x17, 1, 2};
  aPacket request;
  aPacket_Fill(&request, kModule, sizeof echo, echo);
  ASSERT_EQ(aLink_PutPacket(device, &request), aErrNone);
  aPacket* reply = aLink_AwaitPacket(device, 2000);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->dataSize, 3);
  aPacket_Destroy(&reply);
}

// What the server is made for: the kind it announces follows the device link's kind,
// and only device links can have one.
TEST(ServerCreation, KindFollowsTheDeviceLink) {
  struct Case {
    uint32_t type;
    int32_t announced;   // 0: no server
  } cases[] = {{kLinkTypeUSB, kLinkTypeQuivelUSB}, {kLinkTypeTCPIP, kLinkTypeQuivelTCPIP},
               {kLinkTypeSerial, kLinkTypeQuivelSerial}, {kLinkTypeNone, 0}, {kLinkTypeQuivel, 0},
               {kLinkTypeQuivelTCPIP, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    // A table entry without a link record is all a server looks at when it is made.
    aLinkRef id = sCreate2(0x00ABCDEF, 0, 0, c.type, nullptr, nullptr);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(sChangeUseCount(sLookupEntryByID(id), 1), aErrNone);
    aServer* s = aServer_Create(id, 0, 1);
    if (c.announced == 0) {
      EXPECT_EQ(s, nullptr);
    } else {
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(s->specType, static_cast<uint32_t>(c.announced));
      EXPECT_EQ(s->serial, 0x00ABCDEFu);
      uint32_t served = 0;
      EXPECT_EQ(aServer_GetInterface(s, &served), aErrNone);
      EXPECT_EQ(served, loopback());
      EXPECT_EQ(aServer_FlushFIFO(s), aErrNone);   // not started: nothing to flush
      EXPECT_EQ(aServer_Destroy(&s), aErrNone);
      EXPECT_EQ(s, nullptr);
    }
    aLinkEntryPtr extracted;
    sReleaseUse(id, &extracted);
  }
  EXPECT_EQ(aServer_Create(0, 0, 1), nullptr);
  EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
  aServer* none = nullptr;
  EXPECT_EQ(aServer_Destroy(&none), aErrParam);
  EXPECT_EQ(aServer_Start(nullptr), aErrParam);
  uint16_t p = 0;
  uint32_t i = 0;
  EXPECT_EQ(aServer_GetPort(nullptr, &p), aErrParam);
  EXPECT_EQ(aServer_GetInterface(nullptr, &i), aErrParam);
  EXPECT_EQ(aServer_SetModel(nullptr, 1), aErrParam);
  EXPECT_EQ(aServer_SetModuleAddress(nullptr, 1), aErrParam);
  EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
}

// A server on a serial device link announces the serial kind.
TEST_F(ServerSetup, ASerialDeviceLinkIsAnnouncedAsSuch) {
  devsim::Config c;
  c.serial = 0x7777;
  devsim::Device serialDevice(c);
  auto network = devsim::model::Network::install(serialDevice);
  devsim::PtyFrontEnd pty(serialDevice);
  ASSERT_TRUE(pty.ok());
  aLinkRef serialLink = aLink_CreateSerial(0x7777, pty.slavePath().c_str(), 115200);
  ASSERT_NE(serialLink, 0u);
  aServer* s = aServer_Create(serialLink, 0, 1);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(aServer_Start(s), aErrNone);
  aServer_SetModel(s, 0x13);
  const std::vector<std::string> replies = askOffset(0);
  ASSERT_EQ(replies.size(), 1u);
  Answer a;
  ASSERT_TRUE(decode(replies[0], &a));
  EXPECT_EQ(a.type, kLinkTypeQuivelSerial);
  EXPECT_EQ(a.serial, 0x7777u);
  aServer_Destroy(&s);
  aLink_Destroy(&serialLink);
}

class ServerOnANetwork : public ServerFixture {
 protected:
  void enterNetwork() override { NETTEST_ENTER_PRIVATE_NETWORK(true); }
};

// Local only means loopback, whatever interface was named: the server binds there,
// reports it and announces it, so that whoever connects to what it reports finds it.
TEST_F(ServerOnANetwork, LocalOnlyServesLoopbackWhateverInterfaceIsNamed) {
  startServer(1, nettest::address(nettest::kFirstAddress));
  uint32_t served = 0;
  ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
  EXPECT_EQ(served, loopback());
  EXPECT_EQ(listeners().size(), 2u);
  for (const std::string& l : listeners()) EXPECT_EQ(l.rfind("127.0.0.1:", 0), 0u) << l;
  const std::vector<std::string> replies = askOffset(0);
  ASSERT_EQ(replies.size(), 1u);
  Answer a;
  ASSERT_TRUE(decode(replies[0], &a));
  EXPECT_EQ(a.address, "127.0.0.1");
  EXPECT_EQ(a.port, port);
  auto c = client();
  c->send("ad00");
  EXPECT_EQ(c->fence().size(), 1u);
}

// A start that fails (an interface the host does not have) leaves nothing running once
// the server is destroyed.
TEST_F(ServerOnANetwork, AFailedStartLeavesNothingBehind) {
  ZeroMQThreads started;
  const size_t threadBaseline = threads(), descriptorBaseline = descriptors();
  aServer* s = aServer_Create(device, nettest::address("192.0.2.77"), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(aServer_Start(s), aErrResource);
  EXPECT_EQ(aServer_Destroy(&s), aErrNone);
  EXPECT_TRUE(backTo(threadBaseline, threads));
  EXPECT_TRUE(backTo(descriptorBaseline, descriptors)) << fdList();
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
}

class ServerBeacon : public ServerFixture {
 protected:
  void enterNetwork() override {
    NETTEST_ENTER_PRIVATE_NETWORK(true);
    const std::string why = there.start();
    ASSERT_TRUE(why.empty()) << why;
  }

  // Beacons sent from the other machine at the given times (ms); the answers heard there.
  std::vector<std::string> ask(const std::string& at, int listenMs) {
    auto asker = BackgroundProcess::python(peerScript("beacon_asker.py"),
                                           {"--send", nettest::kBroadcastAddress, "--at", at, "--listen-ms", std::to_string(listenMs)},
                                           there.pid());
    int status = -1;
    EXPECT_TRUE(asker->waitExit(listenMs + 10000, &status));
    EXPECT_TRUE(asker->waitFor("READY", 1, 0));
    return asker->linesWith("ANSWER");
  }

  nettest::OtherMachine there;
};

// A server that is not local only serves on the host's first interface and answers a
// discovery beacon there by publishing its description for two to three seconds; a
// second beacon meanwhile changes nothing. A client on the other machine reaches it.
TEST_F(ServerBeacon, AnswersForItsWindowAndIsReachedFromAnotherMachine) {
  startServer(0, 0, false);
  uint32_t served = 0;
  ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
  EXPECT_EQ(served, nettest::address(nettest::kHereAddress));
  // Heard before the model is known: consumed without an answer.
  EXPECT_TRUE(ask("0", 1000).empty());
  aServer_SetModel(server, kModel);

  const std::vector<std::string> answers = ask("0,500", 4500);
  ASSERT_GE(answers.size(), 15u);
  std::vector<long> times;
  for (const std::string& line : answers) {
    std::istringstream fields(line);
    long ms = 0;
    std::string from, hexText;
    fields >> ms >> from >> hexText;
    EXPECT_EQ(from, nettest::kHereAddress);
    Answer a;
    ASSERT_TRUE(decode(hexText, &a)) << hexText;
    EXPECT_EQ(a.type, kLinkTypeQuivelTCPIP);
    EXPECT_EQ(a.serial, kSerial);
    EXPECT_EQ(a.model, kModel);
    EXPECT_EQ(a.address, nettest::kHereAddress);
    EXPECT_EQ(a.port, port);
    times.push_back(ms);
  }
  EXPECT_LT(times.front(), 400);
  EXPECT_GE(times.back(), 1900);
  EXPECT_LE(times.back(), 3200);   // silenced after 2 to 3 s, the second beacon notwithstanding

  Client there1(port, nettest::kHereAddress, there.pid());
  ASSERT_TRUE(there1.ready());
  there1.send("ad00");
  const std::vector<Frame> got = there1.fence();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].hex, "0400");
}

}  // namespace
}  // namespace lstest

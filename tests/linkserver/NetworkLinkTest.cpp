// The network-link feature of Link and Module: the fallback to a link server, and (once
// client links exist) connecting through the fake link server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <string>

#include "api/Link.h"
#include "api/Module.h"
#include "tests/linkserver/FakeLinkServer.h"
#include "tests/linkserver/Peers.h"
#include "tests/support/BackgroundProcess.h"
#include "tests/support/PrivateNetwork.h"

namespace {

using Quenlark::Tallowick::Link;
using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::QuivelConfig;
using testsupport::BackgroundProcess;

QuivelConfig feature(uint8_t enabled, uint8_t fallback) {
  QuivelConfig c;
  c.enabled = enabled;
  c.fallback = fallback;
  return c;
}

class NetworkLink : public ::testing::Test {
 protected:
  void SetUp() override { NETTEST_ENTER_PRIVATE_NETWORK(false); }
};

// A TCP/IP module that is not found falls back to a link-server discovery only when the
// feature is on: with it off that attempt could only be refused.
TEST_F(NetworkLink, FallbackAsksForLinkServersOnlyWithTheFeatureOn) {
  for (uint8_t enabled : {0, 1}) {
    SCOPED_TRACE(static_cast<int>(enabled));
    auto server = BackgroundProcess::python(lstest::peerScript("mcast_responder.py"),
                                            {"--offset", "0", "--serial", "0x5151", "--silent"});
    ASSERT_EQ(server->first("OFFSET"), "0");
    Link link("Link");
    ASSERT_EQ(link.setConfig(feature(enabled, 1)), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(kLinkTypeTCPIP, 0x5151, 0), aErrNotFound);
    if (enabled) {
      EXPECT_TRUE(server->waitFor("REQUEST"));
    } else {
      EXPECT_TRUE(server->linesWith("REQUEST").empty());
    }
  }
}

linkSpec serverSpec(uint16_t port) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = kLinkTypeQuivel;
  spec.serialNumber = 0x5151;
  spec.t.ip.address = htonl(INADDR_LOOPBACK);
  spec.t.ip.port = port;
  return spec;
}

TEST_F(NetworkLink, ModuleConnectsThroughALinkServerAndTakesItsAddress) {
  lstest::FakeLinkServer fake({"--address", "0x0A"});
  ASSERT_TRUE(fake.ok());
  Module module(2);
  ASSERT_EQ(module.setConfig(feature(1, 0)), aErrNone);
  ASSERT_EQ(module.connectFromSpec(serverSpec(fake.port())), aErrNone);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 0x0A);
  bool asked = false;
  for (const lstest::Frame& f : fake.frames()) asked = asked || f.bytes == "ad00";
  EXPECT_TRUE(asked);
  EXPECT_EQ(module.disconnect(), aErrNone);
}

TEST_F(NetworkLink, ModuleWithTheFeatureOffRefusesTheSameSpec) {
  lstest::FakeLinkServer fake;
  Module module(2);
  ASSERT_EQ(module.setConfig(feature(0, 0)), aErrNone);
  EXPECT_EQ(module.connectFromSpec(serverSpec(fake.port())), aErrConfiguration);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), 8);
  EXPECT_FALSE(fake.waitForFrames(1, 300));   // nothing was opened toward it
}

TEST_F(NetworkLink, DiscoverAndConnectFindsTheServerByLoopbackMulticast) {
  lstest::FakeLinkServer fake({"--address", "0x0C"});
  auto responder = BackgroundProcess::python(lstest::peerScript("mcast_responder.py"),
                                             {"--offset", "0", "--serial", "0x6161", "--kind", "6",
                                              "--port", std::to_string(fake.port())});
  ASSERT_EQ(responder->first("OFFSET"), "0");
  Module module(2);
  ASSERT_EQ(module.setConfig(feature(1, 0)), aErrNone);
  ASSERT_EQ(module.discoverAndConnect(kLinkTypeQuivel, 0x6161), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 0x0C);
  linkSpec spec;
  ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, kLinkTypeQuivelTCPIP);
  EXPECT_EQ(spec.t.ip.port, fake.port());
}

}  // namespace

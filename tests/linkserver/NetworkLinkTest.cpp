// The network-link feature of Link and Module: the fallback to a link server, and (once
// client links exist) connecting through the fake link server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <memory>
#include <string>

#include "api/Link.h"
#include "api/Module.h"
#include "tests/linkserver/Peers.h"
#include "tests/support/BackgroundProcess.h"
#include "tests/support/PrivateNetwork.h"

namespace {

using Quenlark::Tallowick::Link;
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

}  // namespace

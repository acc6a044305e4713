// Link: construction, configuration and specifier, connection, status, the address
// query and sharing a core link.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "api/Entity.h"
#include "api/Link.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

// Each of them owns a core link use (or the Link that holds one): a copy would release
// it twice.
static_assert(!std::is_copy_constructible<Link>::value && !std::is_copy_assignable<Link>::value, "");
static_assert(!std::is_copy_constructible<Module>::value && !std::is_copy_assignable<Module>::value, "");
static_assert(!std::is_copy_constructible<EntityClass>::value && !std::is_copy_assignable<EntityClass>::value, "");

TEST(LinkBasics, NameIsCopiedAndCutAt1024) {
  const std::string longName(2000, 'x');
  Link a(longName.c_str());
  EXPECT_EQ(std::string(a.getName()), longName.substr(0, 1024));
  Link b(nullptr);
  EXPECT_EQ(b.getName(), nullptr);
  std::string shortName = "pump";
  Link c(shortName.c_str());
  shortName[0] = 'X';
  EXPECT_STREQ(c.getName(), "pump");
}

TEST(LinkBasics, UnconnectedLinkReportsAndRefuses) {
  Link link("Link");
  EXPECT_EQ(link.getStatus(), 8);
  EXPECT_FALSE(link.isConnected());
  uint8_t address = 0x55;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  linkSpec s;
  EXPECT_EQ(link.getLinkSpecifier(&s), aErrNotFound);
  EXPECT_EQ(link.getConfig(nullptr), aErrParam);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
}

TEST(LinkBasics, DefaultConfig) {
  QuivelConfig c;
  EXPECT_EQ(c.enabled, 1);
  EXPECT_EQ(c.fallback, 1);
  EXPECT_EQ(c.localOnly, 1);
  EXPECT_EQ(c.port, 0);
  EXPECT_EQ(c.interfaceAddress, htonl(INADDR_LOOPBACK));
}

// Link kinds the build cannot or may not create never leave a core link behind.
TEST(LinkBasics, RefusedLinkKinds) {
  struct Case {
    linkType type;
    uint8_t enabled;
    aErr expected;
  } cases[] = {
      {kLinkTypeQuivel, 0, aErrConfiguration},
      {kLinkTypeQuivelSerial, 0, aErrConfiguration},
      {kLinkTypeQuivel, 1, aErrConnection},        // no server address: no client link
      {kLinkTypeTCPIP, 1, aErrUnimplemented},      // the server in front of a device comes later
      {kLinkTypeNone, 0, aErrMode},
      {8, 0, aErrMode},
  };
  for (const auto& c : cases) {
    linkSpec s;
    std::memset(&s, 0, sizeof s);
    s.type = c.type;
    s.serialNumber = 0x77;
    Link link("Link");
    QuivelConfig config;
    config.enabled = c.enabled;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(s), aErrNone);
    EXPECT_EQ(link.connect(), c.expected) << "type " << c.type;
    EXPECT_EQ(link.getStatus(), 8) << "type " << c.type;
  }
}

class LinkOverTcp : public SimFixture {};

TEST_F(LinkOverTcp, ConnectsFromStoredSpecifierAndRefusesChangesWhileConnected) {
  Link link(spec(), "Link");
  ASSERT_EQ(link.setConfig(noServer()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_TRUE(link.isConnected());
  EXPECT_EQ(link.getStatus(), kLinkStatusRunning);
  EXPECT_EQ(link.connect(), aErrConnection);

  QuivelConfig changed = noServer();
  changed.port = 1234;
  EXPECT_EQ(link.setConfig(changed), aErrMode);
  QuivelConfig now;
  ASSERT_EQ(link.getConfig(&now), aErrNone);
  EXPECT_EQ(now.port, 0);
  linkSpec other = spec();
  other.serialNumber = 1;
  EXPECT_EQ(link.setLinkSpecifier(other), aErrBusy);
  linkSpec stored;
  ASSERT_EQ(link.getLinkSpecifier(&stored), aErrNone);
  EXPECT_EQ(stored.serialNumber, spec().serialNumber);

  // Disconnecting keeps the specifier, so the same device can be reached again.
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), 8);
  EXPECT_EQ(link.connect(), aErrNone);
  EXPECT_TRUE(link.isConnected());
}

TEST_F(LinkOverTcp, NobodyListeningIsAConnectionFailure) {
  linkSpec s = spec();
  tcp->setListening(false);
  Link link(s, "Link");
  ASSERT_EQ(link.setConfig(noServer()), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.getStatus(), 8);
}

// The query is an empty packet to 0xAD; it must really leave (an empty packet still
// needs a data pointer to be made).
TEST_F(LinkOverTcp, AddressQueryGoesOutAndTakesTheAnswer) {
  Link link(spec(), "Link");
  ASSERT_EQ(link.setConfig(noServer()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  device->clearReceived();
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, front->address());
  EXPECT_EQ(countSent(0xAD, {}), 1u);
}

TEST_F(LinkOverTcp, UnansweredAddressQueryIsNotReady) {
  devsim::Config c = device->config();
  c.answerSync = false;
  device->setConfig(c);
  Link link(spec(), "Link");
  ASSERT_EQ(link.setConfig(noServer()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  uint8_t address = 0x33;
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_GE(aTime_GetMonotonicMSTicks() - start, 900u);
  EXPECT_EQ(address, 0);
  EXPECT_EQ(countSent(0xAD, {}), 1u);
}

TEST_F(LinkOverTcp, SharedCoreLinkOutlivesTheBorrower) {
  Link router(spec(), "Router");
  ASSERT_EQ(router.setConfig(noServer()), aErrNone);
  ASSERT_EQ(router.connect(), aErrNone);
  {
    Link unconnected("Other"), alsoUnconnected("Another");
    EXPECT_EQ(unconnected.connectThroughLinkModule(alsoUnconnected), aErrInitialization);
    EXPECT_EQ(router.connectThroughLinkModule(unconnected), aErrInitialization);
    // A Link that holds a core link of its own cannot take another one.
    Link second(spec(), "Second");
    ASSERT_EQ(second.setConfig(noServer()), aErrNone);
    ASSERT_EQ(second.connect(), aErrNone);
    EXPECT_EQ(second.connectThroughLinkModule(router), aErrConnection);
  }
  {
    Link shared(spec(), "Device");
    ASSERT_EQ(shared.setConfig(noServer()), aErrNone);
    ASSERT_EQ(shared.connectThroughLinkModule(router), aErrNone);
    EXPECT_TRUE(shared.isConnected());
  }
  // The borrower dropped its own use only.
  EXPECT_TRUE(router.isConnected());
  uint8_t address = 0;
  EXPECT_EQ(router.getModuleAddress(&address), aErrNone);
}

// A failed attempt to share never keeps the lent id: destroying the borrower must not
// take the router's own use away.
TEST_F(LinkOverTcp, FailedSharingKeepsNoBorrowedId) {
  Link router(spec(), "Router");
  ASSERT_EQ(router.setConfig(noServer()), aErrNone);
  ASSERT_EQ(router.connect(), aErrNone);
  {
    Link noSpec("Device");
    EXPECT_EQ(noSpec.connectThroughLinkModule(router), aErrConfiguration);
    EXPECT_EQ(noSpec.getStatus(), 8);
  }
  {
    linkSpec quivel = spec();
    quivel.type = kLinkTypeQuivel;
    Link refused(quivel, "Device");
    ASSERT_EQ(refused.setConfig(noServer()), aErrNone);
    EXPECT_EQ(refused.connectThroughLinkModule(router), aErrConfiguration);
    EXPECT_EQ(refused.disconnect(), aErrNone);
  }
  EXPECT_TRUE(router.isConnected());
  uint8_t address = 0;
  EXPECT_EQ(router.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, front->address());
}

TEST_F(LinkOverTcp, ResetReconnectsTheSameDevice) {
  Link link(spec(), "Link");
  ASSERT_EQ(link.setConfig(noServer()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  // The connection is up once the listener queued it; the module takes it a moment later.
  for (int i = 0; i < 300 && device->connections() == 0; i++) aTime_MSSleep(10);
  EXPECT_EQ(device->connections(), 1u);
  EXPECT_EQ(link.reset(), aErrNone);
  uint8_t address = 0;
  for (int i = 0; i < 200 && !link.isConnected(); i++) aTime_MSSleep(10);
  ASSERT_TRUE(link.isConnected());
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, front->address());
  EXPECT_EQ(device->connections(), 2u);
}

TEST_F(LinkOverTcp, PooledPacketsNeedALink) {
  Link link(spec(), "Link");
  EXPECT_EQ(link.enablePooledPackets(true), aErrParam);
  ASSERT_EQ(link.setConfig(noServer()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(link.enablePooledPackets(true), aErrNone);
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(link.enablePooledPackets(false), aErrNone);
}

}  // namespace
}  // namespace apitest

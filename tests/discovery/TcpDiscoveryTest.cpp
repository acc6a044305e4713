// TCP/IP discovery against simulated modules, inside a network namespace of the test's
// own with two interface addresses (a veth pair).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "tests/link/LinkFixtures.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/support/PrivateNetwork.h"

using devsim::DiscoveryIdentity;
using devsim::DiscoveryResponder;
using nettest::address;
using nettest::kFirstAddress;
using nettest::kSecondAddress;

namespace {

struct Seen {
  std::vector<linkSpec> specs;
  bool stopAtFirst = false;
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  seen->specs.push_back(*spec);
  *found = true;
  return !seen->stopAtFirst;
}

const uint32_t kEveryInterface = htonl(INADDR_LOOPBACK);

class TcpDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(true);
  }

  // The module hears requests on both interfaces. (Both ends of the pair are local
  // addresses, so each request reaches it through the group's local delivery on the
  // interface it was sent through; the copy that crosses the pair is dropped as coming
  // from a local address.)
  std::unique_ptr<DiscoveryResponder> module(const DiscoveryIdentity& identity) {
    auto responder = std::make_unique<DiscoveryResponder>(
        std::vector<uint32_t>{address(kFirstAddress), address(kSecondAddress)}, identity);
    EXPECT_TRUE(responder->ok());
    return responder;
  }
};

TEST_F(TcpDiscovery, OneRequestPerInterfaceAndRepliesBecomeSpecs) {
  DiscoveryIdentity identity;
  identity.serial = 0x1234ABCD;
  identity.address = 0x06;
  identity.model = 0x13;
  identity.tcpPort = 10000;  // bytes 0x10 0x27
  auto responder = module(identity);

  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeTCPIP, collect, &seen, kEveryInterface), 2);
  EXPECT_EQ(responder->badRequests(), 0u);
  EXPECT_EQ(responder->requests(), 2u);
  std::vector<uint32_t> from = responder->requesters();
  EXPECT_EQ(std::set<uint32_t>(from.begin(), from.end()),
            (std::set<uint32_t>{address(kFirstAddress), address(kSecondAddress)}));

  // The module answered both requests: it is reported twice.
  ASSERT_EQ(seen.specs.size(), 2u);
  for (const linkSpec& spec : seen.specs) {
    EXPECT_EQ(spec.type, kLinkTypeTCPIP);
    EXPECT_EQ(spec.serialNumber, 0x1234ABCDu);
    EXPECT_EQ(spec.module, 0x06u);
    EXPECT_EQ(spec.router, 0x06u);
    EXPECT_EQ(spec.routerSerialNumber, 0x1234ABCDu);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.t.ip.port, 10000u);
    EXPECT_TRUE(spec.t.ip.address == address(kFirstAddress) || spec.t.ip.address == address(kSecondAddress));
  }
}

TEST_F(TcpDiscovery, AGivenInterfaceGetsTheOnlyRequest) {
  auto responder = module(DiscoveryIdentity());
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeTCPIP, collect, &seen, address(kSecondAddress)), 1);
  EXPECT_EQ(responder->requests(), 1u);
  EXPECT_EQ(responder->requesters(), std::vector<uint32_t>{address(kSecondAddress)});
}

TEST_F(TcpDiscovery, ShortRepliesAreReadFromAClearedBuffer) {
  auto responder = module(DiscoveryIdentity());
  DiscoveryIdentity full;
  full.serial = 0xAAAA0001;
  full.model = 0x21;
  full.tcpPort = 4000;
  std::vector<uint8_t> twelve = devsim::discoveryReply(full);
  twelve.resize(12);
  twelve[4] = 0x02;  // serial 0xAAAA0002
  twelve[2] = 0x00;  // port 0x0F00
  std::vector<uint8_t> tooShort = {0x00, 0x08, 0x99, 0x99, 0x03};
  responder->setReplies({devsim::discoveryReply(full), tooShort, twelve});

  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeTCPIP, collect, &seen, address(kSecondAddress)), 2);
  ASSERT_EQ(seen.specs.size(), 2u);
  EXPECT_EQ(seen.specs[0].serialNumber, 0xAAAA0001u);
  EXPECT_EQ(seen.specs[0].model, 0x21u);
  EXPECT_EQ(seen.specs[0].t.ip.port, 4000u);
  // Twelve bytes carry no model: 255; nothing is left over from the reply before.
  EXPECT_EQ(seen.specs[1].serialNumber, 0xAAAA0002u);
  EXPECT_EQ(seen.specs[1].model, 255u);
  EXPECT_EQ(seen.specs[1].t.ip.port, 0x0F00u);
}

TEST_F(TcpDiscovery, FindModuleReturnsAsSoonAsTheWantedModuleAnswers) {
  DiscoveryIdentity other;
  other.serial = 0x0000BEEF;
  DiscoveryIdentity wanted;
  wanted.serial = 0xC0DE0042;
  wanted.model = 0x31;
  auto first = module(other);
  // Both modules answer each request; the wanted one second.
  first->setReplies({devsim::discoveryReply(other), devsim::discoveryReply(wanted)});

  auto start = std::chrono::steady_clock::now();
  linkSpec* spec = aDiscovery_FindModule(kLinkTypeTCPIP, 0xC0DE0042, kEveryInterface);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serialNumber, 0xC0DE0042u);
  EXPECT_EQ(spec->model, 0x31u);
  aLinkSpec_Destroy(&spec);
  // It did not sit out the quiet time that ends an enumeration.
  EXPECT_LT(took, std::chrono::milliseconds(aDISCOVERY_REPLY_TIMEOUT_MS));

  EXPECT_EQ(aDiscovery_FindModule(kLinkTypeTCPIP, 0x0BADBEEF, kEveryInterface), nullptr);
}

TEST_F(TcpDiscovery, ACallbackThatStopsEndsTheEnumerationAtOnce) {
  auto responder = module(DiscoveryIdentity());
  Seen seen;
  seen.stopAtFirst = true;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeTCPIP, collect, &seen, kEveryInterface), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(aDISCOVERY_REPLY_TIMEOUT_MS));
  EXPECT_EQ(seen.specs.size(), 1u);
}

// Something on the network that answers without ever pausing for the quiet time: the
// enumeration still ends, bounded by its listening limit, with what it did hear.
TEST_F(TcpDiscovery, ASenderThatNeverFallsQuietCannotHoldTheEnumeration) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(aDISCOVERY_REPLY_PORT);
  to.sin_addr.s_addr = address(kSecondAddress);
  const std::vector<uint8_t> reply = devsim::discoveryReply(DiscoveryIdentity());
  std::atomic<bool> stop{false};
  std::atomic<bool> gaveUp{false};
  // Far longer than any enumeration may listen; it ends on its own all the same.
  const auto senderEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * aDISCOVERY_LISTEN_LIMIT_MS);
  std::thread sender([&] {
    while (!stop.load()) {
      if (std::chrono::steady_clock::now() >= senderEnd) {
        gaveUp = true;
        return;
      }
      sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::milliseconds(aDISCOVERY_REPLY_TIMEOUT_MS / 10));
    }
  });

  Seen seen;
  const uint8_t counted = aDiscovery_EnumerateModules(kLinkTypeTCPIP, collect, &seen, address(kSecondAddress));
  stop = true;
  sender.join();
  close(fd);
  EXPECT_FALSE(gaveUp.load()) << "the enumeration waited for the sender to stop";
  EXPECT_GT(counted, 0);
  EXPECT_EQ(seen.specs.size(), counted);
}

TEST_F(TcpDiscovery, ADiscoveredModuleIsReachedOverTCP) {
  devsim::Config config;
  config.serial = 0x5EED0001;
  config.address = 0x04;
  config.model = 0x13;
  devsim::Device device(config);
  devsim::TcpFrontEnd tcp(device);
  ASSERT_TRUE(tcp.ok());
  DiscoveryIdentity identity;
  identity.serial = config.serial;
  identity.address = config.address;
  identity.model = config.model;
  identity.tcpPort = tcp.port();
  // Its replies leave from 127.0.0.1, where its TCP listener is.
  DiscoveryResponder responder({address(kFirstAddress), address(kSecondAddress)}, identity, htonl(INADDR_LOOPBACK));
  ASSERT_TRUE(responder.ok());

  linkSpec* spec = aDiscovery_FindModule(kLinkTypeTCPIP, config.serial, kEveryInterface);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->t.ip.address, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(spec->t.ip.port, tcp.port());
  aLinkRef link = aLink_CreateTCPIP(spec->serialNumber, spec->t.ip.address, static_cast<uint16_t>(spec->t.ip.port));
  ASSERT_NE(link, 0u);
  EXPECT_EQ(linktest::queryModel(link, static_cast<uint8_t>(spec->module)), 0x13);
  aLink_Destroy(&link);
  aLinkSpec_Destroy(&spec);
}

class TcpDiscoveryLoopbackOnly : public ::testing::Test {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(false);
  }
};

TEST_F(TcpDiscoveryLoopbackOnly, NoInterfaceAddressSendsNothingAndFindsNothing) {
  Seen seen;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeTCPIP, collect, &seen, 0), 0);
  EXPECT_TRUE(seen.specs.empty());
  // No request went out, so there was nothing to wait for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(aDISCOVERY_REPLY_TIMEOUT_MS));
}

}  // namespace

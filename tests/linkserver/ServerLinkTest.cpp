// A link server put in front of a device link by link creation: the client link it
// returns, what it does to the device link and to other users of it, and its failures.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "tests/linkserver/ProcessState.h"
#include "tests/linkserver/ServerFixture.h"

namespace lstest {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::BackgroundProcess;

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// An echo through a link, answered within a second.
bool echoes(aLinkRef link, uint8_t tag) {
  const uint8_t data[3] = {0x17, tag, 0x5A};
  aPacket request;
  aPacket_Fill(&request, ServerFixture::kModule, sizeof data, data);
  if (aLink_PutPacket(link, &request) != aErrNone) return false;
  struct Match {
    static uint8_t echo(const aPacket* p, void* ref) {
      return p->dataSize == 3 && p->data[0] == 0x17 && p->data[1] == *static_cast<uint8_t*>(ref) ? 1 : 0;
    }
  };
  aPacket* reply = aLink_AwaitFirst(link, Match::echo, &tag, 1000);
  const bool answered = reply != nullptr;
  if (reply != nullptr) aPacket_Destroy(&reply);
  return answered;
}

class ServerLink : public ServerFixture {};

// The caller's use of the device link passes to the client link: dropping the client
// link ends the server and the device link with it.
TEST_F(ServerLink, TheClientLinkStandsForTheDeviceLink) {
  uint16_t served = 0;
  uint32_t where = 0;
  const aLinkRef client = aLink_CreateServer(device, &served, &where, 1);
  ASSERT_NE(client, 0u);
  EXPECT_NE(client, device);
  EXPECT_NE(served, 0);
  EXPECT_EQ(where, loopback());
  EXPECT_TRUE(echoes(client, 0x31));
  // Served: a second program reaches the device as a client, not by a link of its own.
  EXPECT_EQ(aLink_CreateTCPIP(kSerial, loopback(), sim->tcp->port()), 0u);
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"HELD 0"});

  aLinkRef doomed = client;
  ASSERT_EQ(aLink_Destroy(&doomed), aErrNone);
  EXPECT_EQ(aLink_GetStatus(device), kLinkStatusNoStream);   // gone
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
  for (int i = 0; i < 300 && sim->tcp->hasConnection(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(sim->tcp->hasConnection());
  device = 0;
}

// One server per device link: a second one is refused and the first keeps serving.
TEST_F(ServerLink, ASecondServerOnTheSameDeviceLinkIsRefused) {
  uint16_t first = 0, second = 0;
  uint32_t where = 0, again = 0;
  aLinkRef client = aLink_CreateServer(device, &first, &where, 1);
  ASSERT_NE(client, 0u);
  EXPECT_EQ(aLink_CreateServer(device, &second, &again, 1), 0u);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(probeOffsets({"0", "1"}), (std::vector<std::string>{"HELD 0", "FREE 1"}));
  EXPECT_TRUE(echoes(client, 0x32));
  aLink_Destroy(&client);
  device = 0;
}

TEST_F(ServerLink, RefusesWhatItCannotServe) {
  uint16_t p = 0;
  uint32_t i = 0;
  EXPECT_EQ(aLink_CreateServer(0, &p, &i, 1), 0u);
  EXPECT_EQ(aLink_CreateServer(device, nullptr, &i, 1), 0u);
  EXPECT_EQ(aLink_CreateServer(device, &p, nullptr, 1), 0u);
  EXPECT_EQ(aLink_CreateServer(0xFFFFFF, &p, &i, 1), 0u);
  // A client link has no device behind it to serve.
  aLinkRef client = aLink_CreateClient(loopback(), 1, 0);
  ASSERT_NE(client, 0u);
  EXPECT_EQ(aLink_CreateServer(client, &p, &i, 1), 0u);
  aLink_Destroy(&client);
  EXPECT_TRUE(echoes(device, 0x33));
}

class ServerLinkSilentModel : public ServerFixture {
 protected:
  ServerLinkSilentModel() { config.answerModelQuery = false; }
};

// A device that never tells its model gets no server. Another user of the same device
// link (which the caller shares with it) keeps it, running and answered, and the device
// link is left as it was: no server stays attached to it.
TEST_F(ServerLinkSilentModel, NoServerAndTheSharedDeviceLinkIsLeftAsItWas) {
  aLinkRef other = aLink_CreateTCPIP(kSerial, loopback(), sim->tcp->port());
  ASSERT_EQ(other, device);   // a second use of the same link
  uint16_t p = 0;
  uint32_t i = 0;
  const auto start = Clock::now();
  EXPECT_EQ(aLink_CreateServer(device, &p, &i, 1), 0u);
  EXPECT_LT(msSince(start), 11000);
  // The caller still holds its use and drops it, as a Link does.
  ASSERT_EQ(aLink_Destroy(&device), aErrNone);
  EXPECT_EQ(aLink_GetStatus(other), kLinkStatusRunning);
  EXPECT_TRUE(echoes(other, 0x34));
  aLinkRef again = aLink_CreateTCPIP(kSerial, loopback(), sim->tcp->port());
  EXPECT_EQ(again, other);   // no server attached: reused, not refused
  aLink_Destroy(&again);
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
  device = other;
}

class ServerLinkOnANetwork : public ServerFixture {
 protected:
  void enterNetwork() override { NETTEST_ENTER_PRIVATE_NETWORK(true); }
};

// A server whose start fails is not left attached: the device link is reused as before.
TEST_F(ServerLinkOnANetwork, AFailedStartLeavesNoServerAttached) {
  uint16_t p = 0;
  uint32_t i = nettest::address("192.0.2.77");   // not an interface of this host
  EXPECT_EQ(aLink_CreateServer(device, &p, &i, 0), 0u);
  aLinkRef again = aLink_CreateTCPIP(kSerial, loopback(), sim->tcp->port());
  EXPECT_EQ(again, device);
  aLink_Destroy(&again);
  EXPECT_TRUE(echoes(device, 0x35));
}

}  // namespace
}  // namespace lstest

// Links over the real TCP stream to the simulated module on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/internal/aLinkInternal.h"
#include "common/internal/aLinkRecord.h"
#include "common/internal/aLinkTable.h"
#include "tests/link/LinkFixtures.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

using namespace linktest;

constexpr uint32_t kSerial = 0x1234ABCD;

class TcpLink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tcp.ok()); }
  void TearDown() override {
    if (id != 0) aLink_Destroy(&id);
  }
  aLinkRef create(uint32_t serial = kSerial) { return aLink_CreateTCPIP(serial, loopback(), tcp.port()); }
  void open() {
    id = create();
    ASSERT_NE(id, 0u);
    // The connection is up as soon as the listener queued it; the simulator takes it
    // a moment later.
    ASSERT_TRUE(waitFor([&] { return device.connections() == 1; }));
  }

  devsim::Device device;
  devsim::TcpFrontEnd tcp{device};
  aLinkRef id = 0;
};

TEST_F(TcpLink, StartsRoutesOnAndAnswersTheModelQuery) {
  open();
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_TRUE(waitFor([&] { return device.routeState() == 1; }));
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
  EXPECT_EQ(device.countReceived(isSync), 0u) << "TCP creation does not synchronise";
}

TEST_F(TcpLink, SyncCompletesAndDropsSurplusReplies) {
  open();
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(device.countReceived(isSync), 6u);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

struct Misbehaviour {
  const char* name;
  std::function<void(devsim::Config&)> apply;
};

class TcpSyncMisbehaviour : public TcpLink, public ::testing::WithParamInterface<Misbehaviour> {};

TEST_P(TcpSyncMisbehaviour, HandshakeStillCompletes) {
  devsim::Config c = device.config();
  GetParam().apply(c);
  device.setConfig(c);
  open();
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(queryModel(id, 0x04), c.model);
}

INSTANTIATE_TEST_SUITE_P(
    Device, TcpSyncMisbehaviour,
    ::testing::Values(Misbehaviour{"SplitIntoSingleBytes", [](devsim::Config& c) { c.splitBytes = true; }},
                      Misbehaviour{"DelayedReplies", [](devsim::Config& c) { c.replyDelayMs = 100; }},
                      Misbehaviour{"FirstRepliesDropped", [](devsim::Config& c) { c.dropReplies = 3; }},
                      Misbehaviour{"StalledThenAnswering", [](devsim::Config& c) { c.dropReplies = 6; }}),
    [](const ::testing::TestParamInfo<Misbehaviour>& i) { return std::string(i.param.name); });

TEST_F(TcpLink, OddSyncAddressNeverCompletesAndDoesNotFlood) {
  devsim::Config c = device.config();
  c.syncAddress = 0x05;
  device.setConfig(c);
  open();
  EXPECT_EQ(aLink_Sync(id), aErrNotReady);
  // Each odd reply restarts the handshake, but requests go out in a few batches per
  // retry window, not six more for every reply byte.
  const size_t requests = device.countReceived(isSync);
  EXPECT_GE(requests, 6u);
  EXPECT_LE(requests, 6u * aLINK_SYNC_BATCHES_PER_WINDOW * (2000 / aLINK_SYNC_RETRY_MS + 2));
}

TEST_F(TcpLink, GarbageFromTheDeviceIsResynchronised) {
  open();
  device.sendRaw({0x05, 0x33, 0x44});
  EXPECT_TRUE(waitFor([&] { return device.countReceived(isSync) >= 6; }));
  EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
  aLink_DrainPackets(id, acceptAll, nullptr);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(TcpLink, AnswersHeartbeatsWithoutQueueingThem) {
  devsim::Config c = device.config();
  c.heartbeatMs = 10;
  device.setConfig(c);
  open();
  EXPECT_TRUE(waitFor([&] { return device.heartbeats().answered >= 6; }));
  EXPECT_EQ(device.heartbeats().wrong, 0u);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(TcpLink, SameSerialReusesTheLinkUntilTheLastRelease) {
  open();
  aLinkRef again = aLink_CreateTCPIP(kSerial, loopback(), static_cast<uint16_t>(tcp.port() + 1));
  EXPECT_EQ(again, id) << "reused by serial number whatever the address";
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
  const aLinkRef old = id;
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(old), kLinkStatusNoStream);
  EXPECT_TRUE(waitFor([&] { return device.countReceived([](const devsim::WirePacket& p) { return isRoute(p, 0); }) == 1; }));
  EXPECT_TRUE(waitFor([&] { return !tcp.hasConnection(); }));
}

TEST_F(TcpLink, FailedCreationLeavesNoEntry) {
  tcp.setListening(false);
  EXPECT_EQ(create(0x0BADF00D), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(0x0BADF00D, aLINK_TYPE_TCPIP), nullptr);
  tcp.setListening(true);
  id = create(0x0BADF00D);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(TcpLink, DeviceClosingTheConnectionIsNoticed) {
  open();
  tcp.closeConnection();
  // The stream reconnects instead of reading "not ready" for ever.
  EXPECT_TRUE(waitFor([&] { return device.connections() == 2; }));
  EXPECT_EQ(queryModelAfterReconnect(id, 0x04), device.config().model);
  // With nobody listening any more the link reports the failure.
  tcp.setListening(false);
  tcp.closeConnection();
  EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(id) == kLinkStatusIOError; }));
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(aLink_AwaitFirst(id, acceptAll, nullptr, 5000), nullptr);
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 1000u);
  // A reset brings it back once the device listens again.
  tcp.setListening(true);
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(TcpLink, DeviceResettingTheConnectionIsReconnected) {
  open();
  tcp.resetConnection();
  EXPECT_TRUE(waitFor([&] { return device.connections() == 2; }));
  EXPECT_EQ(queryModelAfterReconnect(id, 0x04), device.config().model);
}

TEST_F(TcpLink, ResetReconnectsToTheStoredAddress) {
  open();
  ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_TRUE(waitFor([&] { return device.connections() == 2; }));
  EXPECT_TRUE(waitFor([&] { return device.countReceived([](const devsim::WirePacket& p) { return isRoute(p, 1); }) == 2; }));
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(TcpLink, ResetWithoutADeviceLeavesTheLinkStoppedAndQuiet) {
  open();
  tcp.setListening(false);
  const aErr e = aLink_Reset(id);
  EXPECT_NE(e, aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
  EXPECT_EQ(aLink_AwaitFirst(id, acceptAll, nullptr, 100), nullptr);
  const uint8_t d = 1;
  aPacket* p = aPacket_CreateWithData(0x04, 1, &d);
  EXPECT_NE(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  tcp.setListening(true);
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(TcpLink, PooledPacketsArriveWholeAndInOrder) {
  open();
  ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);
  for (int i = 0; i < 300; i++) {
    uint8_t data[28];
    for (int k = 0; k < 28; k++) data[k] = static_cast<uint8_t>(i + k);
    aPacket* p = aPacket_CreateWithData(0x08, 28, data);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
  }
  auto toDevice = [](const devsim::WirePacket& p) { return p.address == 0x08; };
  ASSERT_TRUE(device.waitForCount(toDevice, 300, 5000));
  int i = 0;
  for (const auto& r : device.received()) {
    if (!toDevice(r.packet)) continue;
    ASSERT_EQ(r.packet.data.size(), 28u);
    EXPECT_EQ(r.packet.data[0], static_cast<uint8_t>(i));
    i++;
  }
}

TEST_F(TcpLink, DestroyAndResetUnderConcurrentUse) {
  open();
  std::atomic<bool> stop{false};
  std::vector<std::thread> users;
  const aLinkRef target = id;   // the users go on with the id after it was destroyed
  for (int t = 0; t < 3; t++) {
    users.emplace_back([&stop, target, t] {
      while (!stop) {
        queryModel(target, 0x04, 50);
        aLink_GetStatus(target);
        if (t == 2) aLink_InstallUserPacketFilter(target, nullptr, nullptr);
      }
    });
  }
  for (int r = 0; r < 3; r++) {
    aTime_MSSleep(30);
    EXPECT_EQ(aLink_Reset(id), aErrNone);
  }
  aTime_MSSleep(30);
  const aLinkRef keep = id;
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  aTime_MSSleep(30);
  stop = true;
  for (auto& u : users) u.join();
  EXPECT_EQ(aLink_GetStatus(keep), kLinkStatusNoStream);
}

}  // namespace

// Links over the real TCP stream to the simulated module on 127.0.0.1.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <atomic>
#include <chrono>
#include <future>
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

// Times the threads of this process named name went to sleep (their voluntary context
// switches), as the kernel counts them.
long sleepsOf(const std::string& name) {
  long total = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    if (comm != name) continue;
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
  }
  closedir(tasks);
  return total;
}

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

// A module busy with another host takes each connection and closes it before a word is
// said. The link calls it again at a pace (without one it made tens of thousands of
// connections a second), and is served within a pause once the module is free.
TEST_F(TcpLink, ABusyDeviceIsCalledAtAPaceAndReachedOnceFree) {
  tcp.setAccept(devsim::TcpFrontEnd::Accept::kNone);
  id = create();
  ASSERT_NE(id, 0u);
  aTime_MSSleep(2000);
  const uint32_t calls = tcp.turnedAway();
  EXPECT_GE(calls, 5u) << "the link stopped calling";
  EXPECT_LE(calls, 40u);
  tcp.setAccept(devsim::TcpFrontEnd::Accept::kReplace);
  EXPECT_TRUE(waitFor([&] { return device.connections() == 1; }, 1000));
  EXPECT_EQ(queryModelAfterReconnect(id, 0x04), device.config().model);
}

// A module that takes another host's connection in place of this one is in a session
// that host may have changed, though the stream connects again by itself: the number
// of the connection tells the sessions apart, and only a new connection changes it.
TEST_F(TcpLink, TheConnectionNumberChangesWithEveryNewConnectionAndOnlyThen) {
  EXPECT_EQ(aLink_GetConnection(12345), 0u);
  open();
  const uint64_t first = aLink_GetConnection(id);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
  EXPECT_EQ(aLink_GetConnection(id), first) << "traffic is no new session";
  tcp.closeConnection();
  ASSERT_TRUE(waitFor([&] { return device.connections() == 2; }));
  EXPECT_EQ(queryModelAfterReconnect(id, 0x04), device.config().model);
  const uint64_t second = aLink_GetConnection(id);
  EXPECT_NE(second, first);
  tcp.resetConnection();
  ASSERT_TRUE(waitFor([&] { return device.connections() == 3; }));
  EXPECT_TRUE(waitFor([&] { return aLink_GetConnection(id) != second; }));
  const uint64_t third = aLink_GetConnection(id);
  EXPECT_NE(third, first);
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_NE(aLink_GetConnection(id), third) << "a reset makes the stream anew";
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

devsim::WirePacket packetOf(uint8_t address, std::vector<uint8_t> data) {
  devsim::WirePacket p;
  p.address = address;
  p.data = std::move(data);
  return p;
}

TEST_F(TcpLink, AwaitedReplyLeavesOtherPacketsQueuedInOrder) {
  open();
  // Whoever reads them (the reader thread, or the caller waiting for its reply), the
  // packets nobody waits for are queued as they came.
  for (uint8_t i = 0; i < 20; i++) device.send(packetOf(0x08, {i}));
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
  for (uint8_t i = 20; i < 40; i++) device.send(packetOf(0x08, {i}));
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
  std::vector<uint8_t> order;
  ASSERT_TRUE(waitFor([&] {
    for (aPacket* p = aLink_GetPacket(id); p != nullptr; p = aLink_GetPacket(id)) {
      order.push_back(p->data[0]);
      aPacket_Destroy(&p);
    }
    return order.size() >= 40;
  }));
  for (uint8_t i = 0; i < 40; i++) EXPECT_EQ(order[i], i);
}

uint8_t matchAddress8(const aPacket* p, void*) { return p->address == 0x08 ? 1 : 0; }

TEST_F(TcpLink, AwaitTakesAPacketQueuedBeforeIt) {
  open();
  // The reader thread has queued the packet before anyone waits: a caller that then
  // reads the stream itself must still find it.
  device.send(packetOf(0x08, {0x5A}));
  std::shared_ptr<aLink> link = sGetLink(id);
  ASSERT_TRUE(waitFor([&] { return aPacketFifo_GetLength(link->incoming.load()) == 1; }));
  aPacket* p = aLink_AwaitFirst(id, matchAddress8, nullptr, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x5A);
  aPacket_Destroy(&p);
}

uint8_t matchAddressReply(const aPacket* p, void*) { return p->address == 0x04 && p->dataSize == 0; }

TEST_F(TcpLink, ConcurrentWaitersEachGetTheirReply) {
  devsim::Config c = device.config();
  c.replyDelayMs = 20;   // both wait at once
  device.setConfig(c);
  open();
  for (int round = 0; round < 10; round++) {
    std::atomic<int> address{-1};
    std::thread other([&] {
      const uint8_t none = 0;
      aPacket* q = aPacket_CreateWithData(0xAD, 0, &none);
      aLink_PutPacket(id, q);
      aPacket_Destroy(&q);
      aPacket* r = aLink_AwaitFirst(id, matchAddressReply, nullptr, 3000);
      if (r != nullptr) {
        address = r->address;
        aPacket_Destroy(&r);
      }
    });
    EXPECT_EQ(queryModel(id, 0x04, 3000), c.model);
    other.join();
    EXPECT_EQ(address.load(), 0x04);
  }
}

TEST_F(TcpLink, InPlaceAndQueuedWritesKeepTheirOrder) {
  open();
  ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);
  // Single pooled puts queue behind each other; a batch put behind them must not
  // overtake them by being written at once, and so on.
  uint8_t n = 0;
  for (int part = 0; part < 6; part++) {
    if (part % 2 == 0) {
      for (int i = 0; i < 30; i++, n++) {
        aPacket p;
        ASSERT_EQ(aPacket_Fill(&p, 0x08, 1, &n), aErrNone);
        ASSERT_EQ(aLink_PutPacket(id, &p), aErrNone);
      }
    } else {
      std::vector<aPacket> batch(30);
      for (aPacket& p : batch) {
        ASSERT_EQ(aPacket_Fill(&p, 0x08, 1, &n), aErrNone);
        n++;
      }
      ASSERT_EQ(aLink_PutPackets(id, batch.data(), 30), aErrNone);
    }
  }
  auto toDevice = [](const devsim::WirePacket& p) { return p.address == 0x08; };
  ASSERT_TRUE(device.waitForCount(toDevice, 180, 5000));
  uint8_t expected = 0;
  for (const auto& r : device.received()) {
    if (!toDevice(r.packet)) continue;
    EXPECT_EQ(r.packet.data.at(0), expected);
    expected++;
  }
}

TEST_F(TcpLink, DestroyDuringResetAttemptsEndsThem) {
  open();
  tcp.setListening(false);
  // Twenty attempts 100 ms apart (2 s): the reset is at them when the destroy comes. A
  // reset holding the link's control lock through them would keep the destroy waiting
  // and then try them all.
  const aTime start = aTime_GetMonotonicMSTicks();
  std::future<aErr> reset = std::async(std::launch::async, [this] { return aLink_Reset(id); });
  ASSERT_TRUE(waitFor([&] { return aLink_GetStatus(id) == kLinkStatusStopped; }));
  aLinkRef doomed = id;
  id = 0;
  EXPECT_EQ(aLink_Destroy(&doomed), aErrNone);
  ASSERT_EQ(reset.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(reset.get(), aErrParam) << "the reset gives up on a destroyed link";
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 1500u) << "not all twenty attempts were made";
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

// While a caller reads for its own reply the reader thread stays off the stream, and it
// waits for the caller to hand the read role back instead of looking every few
// milliseconds: a long wait for a reply costs the reader no wake-ups.
TEST_F(TcpLink, TheReaderSleepsThroughACallersLongWait) {
  open();
  ASSERT_EQ(queryModel(id, 0x04), device.config().model);
  devsim::Config silent = device.config();
  silent.dropReplies = 1;
  device.setConfig(silent);
  const long before = sleepsOf("aLink reader");
  ASSERT_GE(before, 0);
  // Longer than the reader's idle wait on the stream: whatever it was doing when the
  // wait began, it has turned to stand aside before the wait ends.
  EXPECT_EQ(queryModel(id, 0x04, 1200), -1);
  EXPECT_LE(sleepsOf("aLink reader") - before, 6);
  EXPECT_EQ(queryModel(id, 0x04), silent.model);
}

// A wait for the link to leave a status ends as the device drops the link, also while
// the reader is standing aside after a caller's read; it returns at once when the status
// is another already, and after its time when nothing changes.
TEST_F(TcpLink, AStatusChangeWaitEndsWhenTheDeviceDropsTheLink) {
  open();
  EXPECT_EQ(aLink_AwaitStatusChange(id, kLinkStatusStopped, 5000), kLinkStatusRunning);
  EXPECT_EQ(aLink_AwaitStatusChange(id, kLinkStatusRunning, 50), kLinkStatusRunning);
  ASSERT_EQ(queryModel(id, 0x04), device.config().model);
  tcp.setListening(false);
  tcp.closeConnection();
  EXPECT_NE(aLink_AwaitStatusChange(id, kLinkStatusRunning, 5000), kLinkStatusRunning);
  EXPECT_EQ(aLink_AwaitStatusChange(0xFFFFFFF0u, kLinkStatusRunning, 5000), kLinkStatusNoStream);
}

}  // namespace

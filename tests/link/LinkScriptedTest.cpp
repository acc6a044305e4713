// The link engine over an in-process scripted stream: exact bytes of the handshake,
// heartbeat answers, routing, pooled writes and stop.
#include <gtest/gtest.h>

#include <thread>

#include "common/aLink.h"
#include "common/internal/aLinkRecord.h"
#include "common/unix/aTime.h"
#include "tests/link/ScriptedStream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Writes = std::vector<Bytes>;

const Bytes kRouteOn = {0xAF, 0x01, 0x01};
const Bytes kRouteOff = {0xAF, 0x01, 0x00};
const Bytes kSyncRequest = {0xAD, 0x00};

size_t countWrites(const Writes& w, const Bytes& b) {
  size_t n = 0;
  for (const auto& x : w) n += x == b;
  return n;
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs = 2000) {
  const aTime end = aTime_GetMonotonicMSTicks() + static_cast<aTime>(timeoutMs);
  while (!cond()) {
    if (aTime_GetMonotonicMSTicks() >= end) return false;
    aTime_MSSleep(1);
  }
  return true;
}

uint8_t acceptAll(const aPacket*, void*) { return 1; }

struct Matcher {
  uint8_t address;
  uint8_t firstData;
};
uint8_t matchAddressAndFirst(const aPacket* p, void* ref) {
  const Matcher* m = static_cast<const Matcher*>(ref);
  return p->address == m->address && p->dataSize > 0 && p->data[0] == m->firstData;
}

class ScriptedLink : public ::testing::Test {
 protected:
  void SetUp() override {
    aStream* stream = ScriptedStream::create(&script);
    ASSERT_NE(stream, nullptr);
    id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(script->waitWrites([](const Writes& w) { return !w.empty(); }));
  }
  void TearDown() override {
    if (id != 0) aLink_Destroy(&id);
  }
  // Puts the link into the handshake the way a lost place does and waits for the
  // six requests.
  void loseplace() {
    script->clearWrites();
    script->feed({0x05});
    ASSERT_TRUE(script->waitWrites([](const Writes& w) { return countWrites(w, kSyncRequest) >= 6; }));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
  }

  std::shared_ptr<ScriptedStream> script;
  aLinkRef id = 0;
};

TEST_F(ScriptedLink, StartsInStepAndRoutesOn) {
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(script->writes().front(), kRouteOn);
}

TEST_F(ScriptedLink, SyncSendsSixRequestsAndDrainsSurplusReplies) {
  script->clearWrites();
  std::thread device([this] {
    script->waitWrites([](const Writes& w) { return countWrites(w, kSyncRequest) >= 6; });
    Bytes replies;
    for (int i = 0; i < 6; i++) {
      replies.push_back(0x04);
      replies.push_back(0x00);
    }
    script->feed(replies);
  });
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  device.join();
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(countWrites(script->writes(), kSyncRequest), 6u);
  std::shared_ptr<aLink> link = sGetLink(id);
  EXPECT_EQ(link->syncAddress, 0x04);
  EXPECT_EQ(link->syncState.load(), kSyncStateSynced);
  EXPECT_EQ(aLink_GetPacket(id), nullptr) << "surplus replies are drained";
}

struct HandshakeCase {
  const char* name;
  Bytes replies;
  bool completes;
  bool restartsAgain;   // another batch of six requests follows
};

class Handshake : public ScriptedLink, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshake, FollowsTheReplyBytes) {
  const HandshakeCase& c = GetParam();
  loseplace();
  script->clearWrites();
  script->feed(c.replies);
  if (c.completes) {
    EXPECT_TRUE(waitFor([this] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
  } else {
    aTime_MSSleep(30);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
  }
  if (c.restartsAgain) {
    // Well inside the stall time-out: this is the restart that the reply byte caused.
    EXPECT_TRUE(script->waitWrites([](const Writes& w) { return countWrites(w, kSyncRequest) >= 6; }, 200));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Handshake,
    ::testing::Values(HandshakeCase{"TwoEqualReplies", {0x04, 0x00, 0x04, 0x00}, true, false},
                      HandshakeCase{"SecondAddressDiffers", {0x04, 0x00, 0x06, 0x00, 0x00}, false, true},
                      HandshakeCase{"ZeroFirstAddress", {0x00}, false, true},
                      HandshakeCase{"OddFirstAddress", {0x05}, false, true},
                      HandshakeCase{"NonZeroLength", {0x04, 0x01, 0x00}, false, true}),
    [](const ::testing::TestParamInfo<HandshakeCase>& i) { return std::string(i.param.name); });

TEST_F(ScriptedLink, StalledHandshakeRestartsAtABoundedRate) {
  loseplace();
  script->clearWrites();
  // No answers for a second: the handshake is restarted, but a few times, not once per
  // empty read.
  aTime_MSSleep(1000);
  const size_t requests = countWrites(script->writes(), kSyncRequest);
  EXPECT_GE(requests, 6u);
  EXPECT_LE(requests, 6u * (1000 / aLINK_SYNC_RETRY_MS + 1));
  // Empty reads of a stream that cannot be polled are paced, not spun.
  const uint64_t before = script->getCalls();
  aTime_MSSleep(200);
  EXPECT_LT(script->getCalls() - before, 2000u);
}

TEST_F(ScriptedLink, AnswersHeartbeatsAndQueuesOtherPackets) {
  script->clearWrites();
  script->feed({0x04, 0x02, 0x00, 0x00, 0x04, 0x02, 0x00, 0x01, 0x04, 0x02, 0x01, 0x00});
  ASSERT_TRUE(script->waitWrites([](const Writes& w) { return w.size() >= 2; }));
  EXPECT_EQ(script->writes()[0], (Bytes{0x04, 0x02, 0x00, 0x02}));
  EXPECT_EQ(script->writes()[1], (Bytes{0x04, 0x02, 0x00, 0x03}));
  aPacket* p = aLink_AwaitPacket(id, 1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 0x04);
  EXPECT_EQ(Bytes(p->data, p->data + p->dataSize), (Bytes{0x01, 0x00}));
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_GetPacket(id), nullptr) << "heartbeats never reach the FIFO";
}

struct Observed {
  std::atomic<int> calls{0};
  std::atomic<int> odd{0};
};
void observe(uint8_t odd, void* ref) {
  Observed* o = static_cast<Observed*>(ref);
  o->calls++;
  o->odd += odd;
}

TEST_F(ScriptedLink, HeartbeatObserverSeesEachAnswer) {
  Observed o;
  ASSERT_EQ(aLink_SetHeartbeatObserver(id, observe, &o), aErrNone);
  script->feed({0x04, 0x02, 0x00, 0x00, 0x04, 0x02, 0x00, 0x01});
  EXPECT_TRUE(waitFor([&] { return o.calls == 2; }));
  EXPECT_EQ(o.odd, 1) << "the down heartbeat's answer (3) is odd";
  ASSERT_EQ(aLink_SetHeartbeatObserver(id, nullptr, nullptr), aErrNone);
}

struct FilterState {
  std::atomic<int> calls{0};
  uint8_t answer = 1;
};
uint8_t countingFilter(const aPacket*, void* ref) {
  FilterState* s = static_cast<FilterState*>(ref);
  s->calls++;
  return s->answer;
}

TEST_F(ScriptedLink, UserFilterConsumesOnlyWithOne) {
  for (uint8_t answer : {1, 2}) {
    FilterState state;
    state.answer = answer;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, countingFilter, &state), aErrNone);
    script->clearWrites();
    script->feed({0x04, 0x01, 0x33, 0x04, 0x02, 0x00, 0x00});
    ASSERT_TRUE(waitFor([&] { return state.calls == 2 && script->pendingInput() == 0; }));
    aTime_MSSleep(20);
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    aPacket* p = aLink_GetPacket(id);
    if (answer == 1) {
      EXPECT_EQ(p, nullptr);
      EXPECT_TRUE(script->writes().empty()) << "a consumed heartbeat is not answered";
    } else {
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p->data[0], 0x33);
      aPacket_Destroy(&p);
      EXPECT_EQ(script->writes().size(), 1u);
    }
  }
}

TEST_F(ScriptedLink, AwaitFirstTakesTheMatchingPacketAndHonoursTheStatus) {
  script->feed({0x04, 0x01, 0x10, 0x06, 0x01, 0x20});
  Matcher m{0x06, 0x20};
  aPacket* p = aLink_AwaitFirst(id, matchAddressAndFirst, &m, 1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 0x06);
  aPacket_Destroy(&p);
  // Timeout 0 returns at once without taking anything.
  EXPECT_EQ(aLink_AwaitFirst(id, acceptAll, nullptr, 0), nullptr);
  EXPECT_NE((p = aLink_GetPacket(id)), nullptr);
  aPacket_Destroy(&p);
  // A link whose reads fail returns null at once, however long the wait asked for.
  script->failReads(aErrIO);
  ASSERT_TRUE(waitFor([this] { return aLink_GetStatus(id) == kLinkStatusIOError; }));
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(aLink_AwaitFirst(id, acceptAll, nullptr, 5000), nullptr);
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 1000u);
  script->failReads(aErrNone);
  // The next empty read starts the handshake from the I/O-error state.
  EXPECT_TRUE(waitFor([this] { return aLink_GetStatus(id) == kLinkStatusSyncing; }));
}

TEST_F(ScriptedLink, PooledWritesJoinUpTo136Packets) {
  ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);
  script->clearWrites();
  script->setGate(false);
  const int started = script->writesStarted();
  uint8_t data[28] = {};
  aPacket* p = aPacket_CreateWithData(0x04, 28, data);
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  // The writer takes the first packet and waits at the closed gate; the rest queue up.
  ASSERT_TRUE(waitFor([&] { return script->writesStarted() >= started + 1; }));
  for (int i = 0; i < 200; i++) ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  script->setGate(true);
  ASSERT_TRUE(script->waitWrites([](const Writes& w) {
    size_t total = 0;
    for (const auto& x : w) total += x.size();
    return total >= 201u * 30u;
  }));
  const Writes w = script->writes();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0].size(), 30u);
  EXPECT_EQ(w[1].size(), 4080u);
  EXPECT_EQ(w[2].size(), 64u * 30u);
}

TEST_F(ScriptedLink, StopFlushesQueuedPacketsAndRouteOffOnce) {
  std::shared_ptr<aLink> link = sGetLink(id);
  script->setGate(false);
  const uint8_t d = 0x42;
  aPacket* p = aPacket_CreateWithData(0x04, 1, &d);
  const int started = script->writesStarted();
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  ASSERT_TRUE(waitFor([&] { return script->writesStarted() >= started + 1; }));
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  std::thread opener([this] {
    aTime_MSSleep(50);
    script->setGate(true);
  });
  EXPECT_EQ(aLink_Stop(link.get()), aErrNone);
  opener.join();
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
  EXPECT_EQ(aLink_Stop(link.get()), aErrNone) << "a second stop does nothing";
  const Writes w = script->writes();
  ASSERT_GE(w.size(), 4u);
  EXPECT_EQ(w[w.size() - 2], (Bytes{0x04, 0x01, 0x42}));
  EXPECT_EQ(w.back(), kRouteOff);
  EXPECT_EQ(countWrites(w, kRouteOff), 1u);
}

// A match that refuses every packet and counts the offers. An offer runs under the
// FIFO's mutex inside the wait, so once one was made the waiter can only be met waiting.
uint8_t refuseAndCount(const aPacket*, void* ref) {
  static_cast<std::atomic<int>*>(ref)->fetch_add(1);
  return 0;
}

TEST_F(ScriptedLink, DestroyWakesWaitersAndReleasesTheStream) {
  std::atomic<bool> returned{false};
  std::atomic<int> offers{0};
  std::thread waiter([&] {
    aPacket* p = aLink_AwaitFirst(id, refuseAndCount, &offers, 10000);
    EXPECT_EQ(p, nullptr);
    returned = true;
  });
  // The fence: a packet the waiter refuses, offered to it in its wait (or at its start,
  // just before it waits).
  script->feed({0x04, 0x01, 0x42});
  ASSERT_TRUE(waitFor([&] { return offers.load() > 0; }));
  EXPECT_FALSE(returned);
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  waiter.join();
  EXPECT_TRUE(returned);
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 2000u);
  EXPECT_TRUE(script->deleted());
  EXPECT_EQ(script->writes().back(), kRouteOff);
}

TEST_F(ScriptedLink, FailedWriteTurnsTheLinkToIOErrorUntilAHandshake) {
  std::shared_ptr<aLink> link = sGetLink(id);
  script->failWrites(aErrIO);
  const uint8_t d = 0x42;
  aPacket* p = aPacket_CreateWithData(0x04, 1, &d);
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone) << "the caller's put succeeds; the link sees the failure";
  aPacket_Destroy(&p);
  ASSERT_TRUE(waitFor([this] { return aLink_GetStatus(id) == kLinkStatusIOError; }));
  EXPECT_GE(link->writeErrors.load(), 1u);
  EXPECT_EQ(link->lastWriteError.load(), aErrIO);
  EXPECT_EQ(aLink_AwaitFirst(id, acceptAll, nullptr, 5000), nullptr);
  // Once writes go through again, the handshake finds the packet boundaries anew.
  script->clearWrites();
  script->failWrites(aErrNone);
  ASSERT_TRUE(script->waitWrites([](const Writes& w) { return countWrites(w, kSyncRequest) >= 6; }));
  script->feed({0x04, 0x00, 0x04, 0x00});
  EXPECT_TRUE(waitFor([this] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
}

TEST_F(ScriptedLink, BatchPutOverrunsAsSinglePutsWould) {
  script->clearWrites();
  script->setGate(false);
  const int started = script->writesStarted();
  const uint8_t first = 0x01, last = 0x03;
  aPacket* p = aPacket_CreateWithData(0x04, 1, &first);
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  ASSERT_TRUE(waitFor([&] { return script->writesStarted() >= started + 1; }));
  // The writer waits at the closed gate with the first packet. A batch one longer than
  // the queue's bound empties the queue, its own packets included.
  std::vector<aPacket> batch(aPACKETFIFO_MAX_LENGTH + 1);
  const uint8_t middle = 0x02;
  for (aPacket& b : batch) ASSERT_EQ(aPacket_Fill(&b, 0x04, 1, &middle), aErrNone);
  EXPECT_EQ(aLink_PutPackets(id, batch.data(), static_cast<uint32_t>(batch.size())), aErrOverrun);
  aPacket_Destroy(&p);
  p = aPacket_CreateWithData(0x04, 1, &last);
  EXPECT_EQ(aLink_PutPacket(id, p), aErrNone) << "the next put is queued as usual";
  aPacket_Destroy(&p);
  script->setGate(true);
  // A stop sends everything still queued, then route-off: all that will ever be written.
  EXPECT_EQ(aLink_Stop(sGetLink(id).get()), aErrNone);
  EXPECT_EQ(script->writes(), (Writes{{0x04, 0x01, 0x01}, {0x04, 0x01, 0x03}, kRouteOff}));
}

TEST_F(ScriptedLink, StatusWaitEndsWithTheChange) {
  EXPECT_EQ(aLink_AwaitStatus(id, kLinkStatusRunning, 1000), kLinkStatusRunning);
  loseplace();
  std::thread device([this] {
    aTime_MSSleep(50);
    script->feed({0x04, 0x00, 0x04, 0x00});
  });
  EXPECT_EQ(aLink_AwaitStatus(id, kLinkStatusRunning, 5000), kLinkStatusRunning);
  device.join();
  EXPECT_EQ(aLink_AwaitStatus(id, kLinkStatusSyncing, 10), kLinkStatusRunning) << "at the deadline: the status then";
  EXPECT_EQ(aLink_AwaitStatus(0x7FFFFFF2u, kLinkStatusRunning, 1000), kLinkStatusNoStream);
}

TEST(LinkIds, UnknownIdsAreRefused) {
  aLinkRef none = 0, unknown = 0x7FFFFFF0u;
  EXPECT_EQ(aLink_Destroy(&none), aErrParam);
  EXPECT_EQ(aLink_Destroy(&unknown), aErrParam);
  EXPECT_EQ(unknown, 0u);
  unknown = 0x7FFFFFF0u;
  const uint8_t d = 0;
  aPacket* p = aPacket_CreateWithData(0x04, 1, &d);
  EXPECT_EQ(aLink_PutPacket(unknown, p), aErrParam);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_GetStatus(unknown), kLinkStatusNoStream);
  EXPECT_EQ(aLink_AwaitFirst(unknown, acceptAll, nullptr, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(unknown, acceptAll, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(unknown, 1), aErrParam);
  EXPECT_EQ(aLink_Start(unknown), aErrParam);
  EXPECT_EQ(aLink_Sync(unknown), aErrParam);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  EXPECT_EQ(aLink_Create(nullptr), 0u);
  EXPECT_EQ(aLink_CreateClient(0x0100007F, 9000, 0x7FFFFFF0u), 0u);   // an unknown link to share
  uint16_t port = 0;
  uint32_t iface = 0;
  EXPECT_EQ(aLink_CreateServer(1, &port, &iface, 1), 0u);
}

TEST(LinkReset, CallersStreamCannotBeMadeAgain) {
  std::shared_ptr<ScriptedStream> script;
  aLinkRef id = aLink_Create(ScriptedStream::create(&script));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_Reset(id), aErrParam);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning) << "the working link is left as it was";
  aLink_Destroy(&id);
}

}  // namespace

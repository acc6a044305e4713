// The link server's broker and worker, seen by independent Python clients on its
// frontend, with the simulated module behind a TCP/IP device link.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/linkserver/ServerFixture.h"
#include "tests/sim/model/ModelContinued.h"

namespace lstest {
namespace {

using devsim::WirePacket;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::vector<uint8_t> bytesOf(const std::string& hexText) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hexText.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hexText.substr(i, 2), nullptr, 16)));
  return out;
}

// The packets a frame holds, laid end to end ([address][length][data] each).
std::vector<std::vector<uint8_t>> packetsOf(const std::string& hexText) {
  const std::vector<uint8_t> bytes = bytesOf(hexText);
  std::vector<std::vector<uint8_t>> out;
  for (size_t at = 0; at + 2 <= bytes.size() && at + 2 + bytes[at + 1] <= bytes.size(); at += 2 + bytes[at + 1])
    out.emplace_back(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + 2 + bytes[at + 1]));
  return out;
}

// The system entity's byte-sequence option 31, written in chunks: [03 9F 20 bytes.. seq].
std::vector<uint8_t> chunk(uint8_t sequence, bool more, size_t count, uint8_t fill) {
  std::vector<uint8_t> data = {0x03, 0x9F, 0x20};
  for (size_t i = 0; i < count; i++) data.push_back(static_cast<uint8_t>(fill + i));
  data.push_back(static_cast<uint8_t>((more ? 0x80 : 0x00) | sequence));
  std::vector<uint8_t> wire;
  wire.push_back(0x04);
  wire.push_back(static_cast<uint8_t>(data.size()));
  for (uint8_t b : data) wire.push_back(b);
  return wire;
}

const std::string kModelGet = "040303" "4820";
const std::string kModelAnswer = "040403" "080013";
const std::string kWriteAck = "040303" "df00";

bool isChunkOfOption31(const WirePacket& p) { return p.data.size() >= 2 && p.data[0] == 0x03 && p.data[1] == 0x9F; }

std::vector<std::string> hexes(const std::vector<Frame>& frames) {
  std::vector<std::string> out;
  for (const Frame& f : frames) out.push_back(f.hex);
  return out;
}

class Broker : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    startServer();
  }
};

TEST_F(Broker, AddressQueryGetsExactlyOneFrame) {
  auto c = client();
  c->send("ad00");
  const std::vector<Frame> before = c->fence();
  EXPECT_EQ(hexes(before), std::vector<std::string>{"0400"});
}

// Requests that get no answer leave nothing queued for the client: the fence that
// follows each is answered first.
// The frontend's bound on the frames it takes leaves room for the handshake of a
// client with an identity as long as ZeroMQ allows (255 bytes).
TEST_F(Broker, ClientsWithIdentitiesOfEveryLengthAreServed) {
  for (size_t length : {1u, 40u, 255u}) {
    SCOPED_TRACE(length);
    auto c = client({"--identity", std::string(length, 'i')});
    c->send("ad00");
    EXPECT_EQ(hexes(c->fence()), std::vector<std::string>{"0400"});
  }
}

TEST_F(Broker, RefusedAndMalformedFramesGetNoAnswerAndLeaveNoGap) {
  struct Case {
    const char* what;
    std::string frame;
    bool reachesDevice;
  } cases[] = {
      {"route on from a client", "af0101", false},
      {"route off from a client", "af0100", false},
      {"31 bytes", "04" "1d" + std::string(58, '1'), false},
      {"one byte", "04", false},
      {"length past the frame", "040500", false},
      {"30 bytes that say 1", "0401" "17" + std::string(54, 'a'), false},
      {"one byte more than the length says", "040217" "5a" "00", false},
      {"route control of two data bytes", "af020100", true},
  };
  auto c = client();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    sim->device->clearReceived();
    c->send(k.frame);
    EXPECT_EQ(c->fence().size(), 0u) << "an answer came";
    // Whatever reached the device apart from the fence: the frame whole, or nothing.
    std::vector<std::string> toDevice;
    for (const devsim::Received& r : sim->device->received()) {
      const bool fence = r.packet.data.size() > 1 && r.packet.data[0] == 0x17 && r.packet.data[1] == 0xFE;
      if (!fence) toDevice.push_back(hex(wireBytes(r.packet)));
    }
    EXPECT_EQ(toDevice, k.reachesDevice ? std::vector<std::string>{k.frame} : std::vector<std::string>{});
  }
  EXPECT_EQ(c->frames().size(), std::size(cases));   // the fences' answers only
}

// Each client gets exactly its own replies, in order, however the requests interleave.
TEST_F(Broker, TwoClientsGetOnlyTheirOwnRepliesInOrder) {
  constexpr unsigned kCount = 1000;
  auto a = client();
  auto b = client();
  a->echoes(kCount, 0xA1);
  b->echoes(kCount, 0xB2);
  ASSERT_TRUE(a->waitFrames(kCount, 30000));
  ASSERT_TRUE(b->waitFrames(kCount, 30000));
  for (auto [c, tag] : {std::pair<Client*, uint8_t>{a.get(), 0xA1}, {b.get(), 0xB2}}) {
    const std::vector<Frame> all = c->fence();
    ASSERT_EQ(all.size(), kCount);
    for (unsigned n = 0; n < kCount; n++) ASSERT_EQ(all[n].hex, hex(echoRequest(kModule, tag, n))) << n;
  }
}

// One client's byte-sequence chunk that starts no write (27 bytes, continued) gets no
// answer, and must not take another client's place in the queue.
TEST_F(Broker, AChunkThatStartsNoWriteDoesNotShiftOtherClientsReplies) {
  auto x = client();
  auto y = client();
  auto z = client();
  std::vector<uint8_t> stray = chunk(0, true, 23, 0x40);
  ASSERT_EQ(stray.size(), 2u + 27u);
  x->send(stray);
  y->echoes(200, 0x0B);
  z->echoes(200, 0x0C);
  for (auto [c, tag] : {std::pair<Client*, uint8_t>{y.get(), 0x0B}, {z.get(), 0x0C}}) {
    ASSERT_TRUE(c->waitFrames(200, 20000));
    const std::vector<Frame> all = c->fence();
    ASSERT_EQ(all.size(), 200u);
    for (unsigned n = 0; n < 200; n++) ASSERT_EQ(all[n].hex, hex(echoRequest(kModule, tag, n))) << n;
  }
  EXPECT_EQ(x->fence().size(), 0u);
}

// A request the device never answers costs its client that answer, after the server's
// wait for it; the next request is answered right after.
TEST_F(Broker, ASilentDeviceCostsOneAnswerAndTheNextRequestIsAnswered) {
  devsim::Config c = sim->device->config();
  c.dropReplies = 1;
  sim->device->setConfig(c);
  auto a = client();
  const auto start = Clock::now();
  a->send(echoRequest(kModule, 0x51, 1));
  a->send(echoRequest(kModule, 0x51, 2));
  ASSERT_TRUE(a->waitFrames(1, 5000));
  const long took = msSince(start);
  const std::vector<Frame> got = a->fence();
  ASSERT_EQ(hexes(got), std::vector<std::string>{hex(echoRequest(kModule, 0x51, 2))});
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 2600);
}

// Packets the device sends unasked never stand in for the answer to a request.
TEST_F(Broker, UnaskedDevicePacketsNeverReplaceAnAnswer) {
  devsim::Config c = sim->device->config();
  c.unsolicited = WirePacket{0, {0x99}};   // from the module's own address
  c.unsolicitedCount = -1;
  sim->device->setConfig(c);
  auto a = client();
  a->echoes(20, 0x77);
  a->send(kModelGet);
  ASSERT_TRUE(a->waitFrames(21, 10000));
  const std::vector<Frame> got = a->fence();
  ASSERT_EQ(got.size(), 21u);
  for (unsigned n = 0; n < 20; n++) EXPECT_EQ(got[n].hex, hex(echoRequest(kModule, 0x77, n))) << n;
  EXPECT_EQ(got[20].hex, kModelAnswer);
}

// An answer that comes after the server stopped waiting for it is no answer to the
// requests that follow, from whichever client.
TEST_F(Broker, ALateAnswerIsDroppedNotHandedToTheNextRequest) {
  // The device answers the echo tagged 0xEE only after the server has stopped waiting.
  struct Late {
    std::mutex lock;
    std::condition_variable asked;
    std::optional<WirePacket> request;
  };
  auto state = std::make_shared<Late>();
  sim->network->setIntercept([state](const WirePacket& in, std::vector<WirePacket>&) {
    if (in.data.size() < 2 || in.data[0] != 0x17 || in.data[1] != 0xEE) return false;
    std::lock_guard<std::mutex> hold(state->lock);
    state->request = in;
    state->asked.notify_all();
    return true;
  });
  std::atomic<bool> lateSent{false};
  devsim::Device& d = *sim->device;
  // (The clients start after this thread, which may take a while on a loaded machine.)
  std::thread late([&] {
    std::unique_lock<std::mutex> hold(state->lock);
    if (!state->asked.wait_for(hold, std::chrono::seconds(30), [&] { return state->request.has_value(); })) return;
    const WirePacket answer = *state->request;
    hold.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(aSERVER_REPLY_WAIT_MS + 300));
    d.send(answer);
    lateSent = true;
  });
  auto a = client();
  auto b = client();
  a->send(echoRequest(kModule, 0xEE, 0));
  late.join();
  ASSERT_TRUE(lateSent);
  b->send("ad00");
  EXPECT_EQ(hexes(b->fence()), std::vector<std::string>{"0400"});
  EXPECT_EQ(a->fence().size(), 0u);
}

// However long a byte sequence a module answers with, the requester gets all of it.
TEST_F(Broker, ContinuedAnswersReachTheRequesterWhole) {
  auto a = client();
  for (unsigned count : {3u, 300u}) {
    SCOPED_TRACE(count);
    sim->module->continueReplies(0x03, 0x08, static_cast<int>(count));
    a->send(kModelGet);
    const std::vector<Frame> got = a->fence();
    ASSERT_EQ(got.size(), count + 1);
    for (unsigned i = 0; i < count; i++) {
      const std::vector<uint8_t> p = bytesOf(got[i].hex);
      ASSERT_EQ(p.size(), 30u);
      EXPECT_EQ(p[29], 0x80 | (i & 0x7F));
    }
    EXPECT_EQ(bytesOf(got[count].hex).back(), count & 0x7F);
  }
}

// A device that answers without end is given up after a bounded run: its requester gets
// nothing, the next request is answered, and the server still tears down at once.
TEST_F(Broker, AnEndlessAnswerIsBoundedAndHoldsNothingUp) {
  sim->module->continueReplies(0x03, 0x08, devsim::model::Continued::kEndless);
  auto a = client();
  auto b = client();
  a->send(kModelGet);
  EXPECT_EQ(b->fence().size(), 0u);
  EXPECT_EQ(a->fence().size(), 0u);
  a->send(kModelGet);
  ASSERT_TRUE(sim->device->waitForCount([](const WirePacket& p) { return p.data.size() == 3 && p.data[1] == 0x48; }, 2, 5000));
  const auto start = Clock::now();
  aServer_Destroy(&server);
  EXPECT_LT(msSince(start), 3000);
  sim->module->stopContinuedReplies();
}

// A tear-down does not wait for the device: a request in flight is given up at once.
TEST_F(Broker, TearDownCutsAWaitForTheDeviceShort) {
  devsim::Config c = sim->device->config();
  c.dropReplies = -1;
  sim->device->setConfig(c);
  auto a = client();
  a->send(echoRequest(kModule, 0x71, 0));
  ASSERT_TRUE(sim->device->waitForCount([](const WirePacket& p) { return p.data.size() > 1 && p.data[1] == 0x71; }, 1, 5000));
  const auto start = Clock::now();
  aServer_Destroy(&server);
  EXPECT_LT(msSince(start), aSERVER_REPLY_WAIT_MS / 2);
}

TEST_F(Broker, AByteSequenceWriteReachesTheDeviceInOneRunAfterItsLastChunk) {
  auto writer = client();
  auto other = client();
  sim->device->clearReceived();
  writer->send(chunk(0, true, 24, 0x10));
  writer->send(chunk(1, true, 24, 0x30));
  EXPECT_EQ(other->fence().size(), 0u);   // a request of another client meanwhile
  EXPECT_EQ(sim->device->countReceived(isChunkOfOption31), 0u);
  writer->send(chunk(2, false, 10, 0x50));
  EXPECT_EQ(hexes(writer->fence()), std::vector<std::string>{kWriteAck});
  const std::vector<devsim::Received> got = sim->device->received();
  std::vector<std::string> seen;
  for (const auto& r : got) seen.push_back(hex(devsim::wireBytes(r.packet)));
  const std::vector<std::string> run = {hex(chunk(0, true, 24, 0x10)), hex(chunk(1, true, 24, 0x30)), hex(chunk(2, false, 10, 0x50))};
  auto at = std::search(seen.begin(), seen.end(), run.begin(), run.end());
  EXPECT_NE(at, seen.end()) << "the chunks did not arrive as one run";
  std::vector<uint8_t> expected;
  for (size_t i = 0; i < 58; i++) expected.push_back(static_cast<uint8_t>((i < 24 ? 0x10 : i < 48 ? 0x30 - 24 : 0x50 - 48) + i));
  EXPECT_EQ(sim->module->bytes(0x03, 31), expected);
}

// A write whose chunks come out of sequence is dropped whole; the client's other
// requests are served at once, and its next write goes through.
TEST_F(Broker, AWriteOutOfSequenceIsDroppedAndTheClientCarriesOn) {
  auto writer = client();
  sim->device->clearReceived();
  writer->send(chunk(0, true, 24, 0x10));
  writer->send(chunk(1, true, 24, 0x30));
  writer->send(chunk(3, true, 24, 0x50));
  writer->send(chunk(4, false, 4, 0x70));
  EXPECT_EQ(writer->fence().size(), 0u);
  EXPECT_EQ(sim->device->countReceived(isChunkOfOption31), 0u);

  // An unfinished write does not swallow the requests that follow it.
  writer->send(chunk(0, true, 24, 0x10));
  writer->send(kModelGet);
  EXPECT_EQ(hexes(writer->fence()), std::vector<std::string>{kModelAnswer});
  EXPECT_EQ(sim->device->countReceived(isChunkOfOption31), 0u);

  writer->send(chunk(0, true, 24, 0x10));
  writer->send(chunk(1, false, 3, 0x20));
  EXPECT_EQ(hexes(writer->fence()), std::vector<std::string>{kWriteAck});
  EXPECT_EQ(sim->device->countReceived(isChunkOfOption31), 2u);
}

// Requesters forgotten by a flush (their client stopped waiting) never receive an
// answer meant for a later request, nor does a later requester receive theirs.
TEST_F(Broker, AFlushForgetsWaitingRequestersWithoutShiftingAnswers) {
  devsim::Config c = sim->device->config();
  c.replyDelayMs = 300;
  sim->device->setConfig(c);
  auto a = client();
  auto b = client();
  a->send(echoRequest(kModule, 0xAA, 0));
  ASSERT_TRUE(sim->device->waitForCount([](const WirePacket& p) { return p.data.size() > 1 && p.data[1] == 0xAA; }, 1, 5000));
  ASSERT_EQ(aServer_FlushFIFO(server), aErrNone);
  b->send(echoRequest(kModule, 0xBB, 0));
  EXPECT_EQ(hexes(b->fence()), std::vector<std::string>{hex(echoRequest(kModule, 0xBB, 0))});
  EXPECT_EQ(a->fence().size(), 0u);
}

// An answer goes only to the connection whose request it answers: a client that takes
// the identity of one that has left never receives that client's late answer.
TEST_F(Broker, ANewOwnerOfAnIdentityGetsNoneOfItsPredecessorsAnswers) {
  devsim::Config c = sim->device->config();
  c.replyDelayMs = 1500;   // answered after the asker has gone, within the server's wait
  sim->device->setConfig(c);
  auto leaving = client({"--identity", "reused"});
  leaving->send(echoRequest(kModule, 0xA0, 0));
  ASSERT_TRUE(sim->device->waitForCount([](const WirePacket& p) { return p.data.size() > 1 && p.data[1] == 0xA0; }, 1, 5000));
  leaving->peer().send("quit");
  int status = 0;
  ASSERT_TRUE(leaving->peer().waitExit(5000, &status));
  // The server sees the connection end at once; the heir connects well after that.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto heir = client({"--identity", "reused"});
  EXPECT_EQ(heir->fence().size(), 0u) << "the heir received its predecessor's answer";
  EXPECT_EQ(sim->device->countReceived([](const WirePacket& p) { return p.data.size() > 1 && p.data[1] == 0xA0; }), 1u);
}

// A byte-sequence write that its client abandons lives through 2000 UEI packets (of any
// client) and no more: a last chunk that comes after that reaches the device alone.
TEST_F(Broker, AnAbandonedWriteExpiresAfterItsTimeToLive) {
  struct Case {
    unsigned between;
    bool whole;
  } cases[] = {{1999, true}, {2000, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.between);
    auto writer = client();
    auto other = client();
    sim->device->clearReceived();
    writer->send(chunk(0, true, 24, 0x10));
    EXPECT_EQ(writer->fence().size(), 0u);
    // UEI packets of another client, in rounds its queue holds whole.
    for (unsigned sent = 0; sent < k.between;) {
      const unsigned round = std::min(500u, k.between - sent);
      other->peer().send("repeat " + std::to_string(round) + " " + kModelGet);
      sent += round;
      ASSERT_TRUE(other->waitFrames(sent, 30000));
    }
    writer->send(chunk(1, false, 3, 0x20));
    writer->fence();
    std::vector<std::string> chunks;
    for (const devsim::Received& r : sim->device->received())
      if (isChunkOfOption31(r.packet)) chunks.push_back(hex(wireBytes(r.packet)));
    if (k.whole) {
      EXPECT_EQ(chunks, (std::vector<std::string>{hex(chunk(0, true, 24, 0x10)), hex(chunk(1, false, 3, 0x20))}));
    } else {
      EXPECT_EQ(chunks, std::vector<std::string>{hex(chunk(1, false, 3, 0x20))});
    }
  }
}

class Streaming : public Broker {
 protected:
  static constexpr const char* kEnable = "04075d8120" "04030800";   // module 4, system option 8
  static constexpr const char* kDisable = "04075d8220" "04030800";

  // Every sample in the frames, in order (acknowledgements and other answers left out).
  static std::vector<std::string> samples(const std::vector<Frame>& frames, size_t* batches = nullptr) {
    std::vector<std::string> out;
    if (batches != nullptr) *batches = 0;
    for (const Frame& f : frames) {
      bool batch = false;
      for (const auto& p : packetsOf(f.hex)) {
        if (p.size() < 5 || p[2] != 0x03 || p[3] != 0x08 || (p[4] & 0x40) == 0) continue;
        out.push_back(hex(p));
        batch = true;
      }
      if (batch && batches != nullptr) ++*batches;
    }
    return out;
  }
};

// Each subscriber gets every batch once, also from a device without heartbeats (batches
// leave by their age), up to the samples sent before streaming stopped.
TEST_F(Streaming, EverySubscriberGetsEveryBatch) {
  // The device samples only once both are subscribed (their fences answered): else a
  // loaded machine can let the first batches leave before b's request reaches the
  // server, and they go to a alone.
  sim->module->setSamplePeriodMs(0);
  auto a = client();
  auto b = client();
  a->send(kEnable);
  a->send(kEnable);   // twice: still one subscriber
  b->send(kEnable);
  a->fence();
  b->fence();
  sim->module->setSamplePeriodMs(5);
  ASSERT_TRUE(a->waitFrames(8, 10000));
  ASSERT_TRUE(b->waitFrames(8, 10000));
  // The device stops sending samples just after a batch left and a new one began: that
  // one can only leave by its age, with nothing more coming from the device.
  ASSERT_TRUE(a->waitFrames(a->frames().size() + 1, 10000));
  const uint64_t begun = sim->module->samplesSent();
  for (int i = 0; i < 1000 && sim->module->samplesSent() == begun; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  sim->module->setSamplePeriodMs(0);
  const uint64_t sent = sim->module->samplesSent();
  ASSERT_GT(sent, begun);
  for (int turn = 0; turn < 100 && samples(a->frames()).size() < sent; turn++) a->waitFrames(a->frames().size() + 1, 100);
  ASSERT_EQ(samples(a->frames()).size(), sent) << "the last batch never left";
  b->send(kDisable);
  a->fence();
  const std::vector<Frame> untilDisabled = b->fence();
  ASSERT_FALSE(untilDisabled.empty());
  EXPECT_EQ(untilDisabled.back().hex, "04035dc200");
  size_t batchesA = 0, batchesB = 0;
  const std::vector<std::string> fromA = samples(a->frames(), &batchesA);
  const std::vector<std::string> fromB = samples(b->frames(), &batchesB);
  EXPECT_EQ(fromA.size(), sent);
  EXPECT_EQ(fromA, fromB);
  EXPECT_EQ(batchesA, batchesB);
  EXPECT_GT(batchesA, 1u);
}

// Subscribers that went away are forgotten, so that they neither cost the broker a copy
// of every batch nor keep room from clients that come later.
TEST_F(Streaming, SubscribersThatLeaveMakeRoomForNewOnes) {
  sim->module->setSamplePeriodMs(5);
  auto a = client();
  a->send(kEnable);
  ASSERT_TRUE(a->waitFrames(2, 10000));
  a->peer().send(std::string("transient ") + std::to_string(aSERVER_MAX_SUBSCRIBERS + 6) + " " + kEnable);
  ASSERT_EQ(a->peer().first("TRANSIENT"), std::to_string(aSERVER_MAX_SUBSCRIBERS + 6));
  // A few batches after they left, they are gone from the list.
  const size_t seen = a->frames().size();
  ASSERT_TRUE(a->waitFrames(seen + 3, 10000));
  auto late = client();
  late->send(kEnable);
  ASSERT_TRUE(late->waitFrames(3, 10000));
  EXPECT_GT(samples(late->frames()).size(), 0u);
}

// Subscribers that leave make room at once, also while no batch goes out: after more
// clients than the list holds enabled streaming and left, a new client's enable counts.
TEST_F(Streaming, SubscribersThatLeaveWhileNothingStreamsMakeRoom) {
  sim->module->setSamplePeriodMs(0);
  auto churn = client();
  const std::string leavers = std::to_string(aSERVER_MAX_SUBSCRIBERS + 6);
  churn->peer().send("transient " + leavers + " " + kEnable);
  ASSERT_EQ(churn->peer().first("TRANSIENT", 20000), leavers);
  auto late = client();
  late->send(kEnable);
  ASSERT_EQ(late->fence().size(), 1u);   // the enable's acknowledgement
  sim->module->setSamplePeriodMs(5);
  for (int turn = 0; turn < 100 && samples(late->frames()).empty(); turn++) late->waitFrames(late->frames().size() + 1, 100);
  EXPECT_FALSE(samples(late->frames()).empty()) << "the new subscriber never received a sample";
  EXPECT_TRUE(samples(churn->frames()).empty());
}

// A stream the server cannot keep is refused as the module refuses a stream it cannot
// serve: with every place on the list taken by a live subscriber, a further client's
// enable is answered with the module's error reply (aErrResource), it never reaches the
// device, and no sample follows. A client already on the list is still served.
TEST_F(Streaming, AStreamTheServerCannotKeepIsRefusedAsTheModuleWouldRefuseIt) {
  sim->module->setSamplePeriodMs(5);
  auto crowd = testsupport::BackgroundProcess::python(peerScript("crowd_client.py"), {"--connect", "tcp://127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(crowd->waitFor("READY"));
  auto first = client();
  first->send(kEnable);
  ASSERT_EQ(first->fence().front().hex, "04035dc100");
  crowd->send("open " + std::to_string(aSERVER_MAX_SUBSCRIBERS - 1) + " " + kEnable);
  ASSERT_EQ(crowd->first("OPENED", 20000), std::to_string(aSERVER_MAX_SUBSCRIBERS - 1));
  auto isEnable = [](const WirePacket& p) { return p.data.size() == 7 && p.data[0] == 0x5D && p.data[1] == 0x81; };
  ASSERT_TRUE(sim->device->waitForCount(isEnable, aSERVER_MAX_SUBSCRIBERS, 5000));

  auto late = client();
  late->send(kEnable);
  const std::vector<Frame> refused = late->fence();
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].hex, "04045dc1801e");   // [5D][C1][error | index 0][aErrResource]
  // A subscriber's enable again is served (it is on the list), and its samples go on.
  // They leave in batches, the first only once it is 50 ms old: they are waited for.
  first->send(kEnable);
  const std::vector<Frame> again = first->fence();
  EXPECT_TRUE(std::any_of(again.begin(), again.end(), [](const Frame& f) { return f.hex == "04035dc100"; }))
      << "the subscriber's enable was not acknowledged";
  for (int turn = 0; turn < 100 && samples(first->frames()).empty(); turn++)
    first->waitFrames(first->frames().size() + 1, 100);
  EXPECT_FALSE(samples(first->frames()).empty()) << "the subscriber received no sample";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(samples(late->fence()).empty()) << "the refused client received samples";
  const std::vector<devsim::Received> got = sim->device->received();
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [&](const devsim::Received& r) { return isEnable(r.packet); }),
            aSERVER_MAX_SUBSCRIBERS + 1)
      << "the refused enable reached the device";
}

}  // namespace
}  // namespace lstest

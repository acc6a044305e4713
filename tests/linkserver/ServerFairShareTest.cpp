// Every client of a link server gets its share of the device: one client's unanswered
// requests, its flood or its garbage cost that client, never the others. Independent
// Python clients on the frontend, the simulated module behind a TCP/IP device link.
// The time bounds are generous functional limits (a request served after at most one of
// another client's), not speed figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/linkserver/ServerFixture.h"

namespace lstest {
namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A module address where nobody answers: every request to it costs the server its whole
// reply wait.
constexpr uint8_t kNobody = 0x06;

std::vector<uint8_t> silentRequest(unsigned n) { return echoRequest(kNobody, 0x5E, n); }

class FairShare : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    startServer();
  }

  // Sends one echo and waits for its answer; how long it took, or -1 when it never came
  // within limitMs (or something else came).
  static long echoTime(Client& c, uint8_t tag, unsigned n, int limitMs) {
    const size_t before = c.frames().size();
    const auto start = Clock::now();
    c.send(echoRequest(kModule, tag, n));
    if (!c.waitFrames(before + 1, limitMs)) return -1;
    const long took = msSince(start);
    return c.frames()[before].hex == hex(echoRequest(kModule, tag, n)) ? took : -1;
  }
};

// A client with requests waiting that nobody answers costs only itself: another
// client's echo is served after at most the one request in progress, every time, also
// when the client keeps asking while it is served.
TEST_F(FairShare, UnansweredRequestsCostOnlyTheirClient) {
  auto stuck = client();
  auto other = client();
  other->fence();   // connected: what is timed below is the server's doing alone
  sim->device->clearReceived();
  for (unsigned n = 0; n < 30; n++) stuck->send(silentRequest(n));
  ASSERT_TRUE(sim->device->waitForCount([](const devsim::WirePacket& p) { return p.address == kNobody; }, 1, 5000));
  for (unsigned n = 30; n < 60; n++) stuck->send(silentRequest(n));
  for (unsigned n = 0; n < 3; n++) {
    SCOPED_TRACE(n);
    const long took = echoTime(*other, 0x0A, n, 10000);
    ASSERT_GE(took, 0) << "the echo was never answered";
    EXPECT_LT(took, 3000);
  }
  EXPECT_EQ(stuck->frames().size(), 0u);
}

// While one client keeps pipelining requests, a well-behaved client has every request
// answered; the flooder loses only its own excess, and what it gets is its own.
TEST_F(FairShare, AFloodCostsOnlyTheFlooder) {
  devsim::Config c = sim->device->config();
  c.replyDelayMs = 1;   // the server takes a while over each request of the flood
  sim->device->setConfig(c);
  auto flood = client();
  auto other = client();
  other->fence();
  flood->peer().send("flood 241");
  ASSERT_TRUE(flood->waitFrames(1, 10000));
  for (unsigned n = 0; n < 30; n++) {
    SCOPED_TRACE(n);
    ASSERT_GE(echoTime(*other, 0x0E, n, 5000), 0) << "a request of the well-behaved client was lost";
  }
  flood->peer().send("stop");
  const unsigned flooded = static_cast<unsigned>(std::stoul(flood->peer().first("FLOODED")));
  EXPECT_EQ(other->fence().size(), 30u);
  // The flood has been taken whole once an echo its client sends behind it is answered
  // (one that meets the client's queue still full is dropped, so it is sent again).
  std::vector<std::string> marks;
  auto isMark = [&marks](const Frame& f) { return std::find(marks.begin(), marks.end(), f.hex) != marks.end(); };
  bool over = false;
  const auto start = Clock::now();
  for (unsigned turn = 0; !over && msSince(start) < 60000; turn++) {
    marks.push_back(hex(echoRequest(kModule, 0xFD, turn)));
    flood->send(echoRequest(kModule, 0xFD, turn));
    const auto sent = Clock::now();
    while (!over && msSince(sent) < 500) {
      const std::vector<Frame> seen = flood->frames();
      over = std::any_of(seen.begin(), seen.end(), isMark);
      if (!over) flood->waitFrames(seen.size() + 1, 100);
    }
  }
  ASSERT_TRUE(over) << "the flooding client's requests were never all taken";
  std::vector<Frame> got = flood->fence();
  got.erase(std::remove_if(got.begin(), got.end(), isMark), got.end());
  EXPECT_LT(got.size(), flooded) << "nothing was dropped: the test did not fill the client's queue";
  // Its own answers, in the order it asked (n counts up from 0, 16 bits).
  unsigned next = 0;
  for (const Frame& f : got) {
    while (next < flooded && f.hex != hex(echoRequest(kModule, 0xF1, next & 0xFFFF))) next++;
    ASSERT_LT(next, flooded) << "not one of its own answers, or out of order: " << f.hex;
    next++;
  }
}

// A client that sends thousands of frames of garbage (malformed frames, requests to
// modules that are not there, anything) leaves the other clients served, the server's
// own kind of client link among them.
TEST_F(FairShare, RandomFramesFromOneClientLeaveTheOthersServed) {
  auto noisy = client();
  auto other = client();
  other->fence();
  noisy->peer().send("random 20000 23");
  ASSERT_TRUE(noisy->peer().waitFor("RANDOM", 1, 30000));
  EXPECT_LT(echoTime(*other, 0x0B, 0, 5000), 5000);

  aLinkRef link = aLink_CreateClient(loopback(), port, 0);
  ASSERT_NE(link, 0u);
  const uint8_t data[3] = {0x17, 0x0C, 0x5A};
  aPacket request;
  aPacket_Fill(&request, kModule, sizeof data, data);
  const auto start = Clock::now();
  ASSERT_EQ(aLink_PutPacket(link, &request), aErrNone);
  struct Match {
    static uint8_t echo(const aPacket* p, void*) { return p->dataSize == 3 && p->data[0] == 0x17 && p->data[1] == 0x0C; }
  };
  aPacket* reply = aLink_AwaitFirst(link, Match::echo, nullptr, 5000);
  EXPECT_NE(reply, nullptr) << "the client link's echo was not answered within 5 s";
  EXPECT_LT(msSince(start), 5000);
  if (reply != nullptr) aPacket_Destroy(&reply);
  aLink_Destroy(&link);
  EXPECT_EQ(aLink_GetStatus(device), kLinkStatusRunning);
}

// The program that holds the device link reads its module through the server's own
// kind of client link (what aLink_CreateServer hands back), one client among the
// others. While another client has requests that nobody answers, each of the owner's
// reads waits for at most one of them (a round of the fair share), which is longer than
// a read's 1 s: such reads fail, but their answers are only late, never taken or
// dropped by the server; and a read that waits as long as the bound always succeeds.
TEST_F(FairShare, TheOwnersReadsAreLateNotLostAndWithinTheBound) {
  aLinkRef owner = aLink_CreateClient(loopback(), port, 0);
  ASSERT_NE(owner, 0u);
  auto stuck = client();
  stuck->fence();
  struct Model {
    static uint8_t answer(const aPacket* p, void*) {
      return p->address == kModule && p->dataSize == 4 && p->data[0] == 0x03 && p->data[1] == 0x08;
    }
  };
  const uint8_t get[3] = {0x03, 0x48, 0x20};
  aPacket request;
  aPacket_Fill(&request, kModule, sizeof get, get);
  auto isModelGet = [](const devsim::WirePacket& p) { return p.data.size() == 3 && p.data[0] == 0x03 && p.data[1] == 0x48; };
  // Reads with a time-out, for as long as the stuck client's requests last.
  auto readWhileStuck = [&](unsigned unanswered, uint64_t timeoutMs, unsigned* sent, unsigned* failed) {
    *sent = *failed = 0;
    sim->device->clearReceived();
    for (unsigned n = 0; n < unanswered; n++) stuck->send(silentRequest(n));
    EXPECT_TRUE(sim->device->waitForCount([](const devsim::WirePacket& p) { return p.address == kNobody; }, 1, 5000));
    const auto start = Clock::now();
    while (msSince(start) < static_cast<long>(unanswered * aSERVER_REPLY_WAIT_MS)) {
      ASSERT_EQ(aLink_PutPacket(owner, &request), aErrNone);
      ++*sent;
      aPacket* reply = aLink_AwaitFirst(owner, Model::answer, nullptr, timeoutMs);
      if (reply == nullptr) ++*failed;
      if (reply != nullptr) aPacket_Destroy(&reply);
    }
  };

  unsigned sent = 0, failed = 0;
  readWhileStuck(4, 1000, &sent, &failed);
  EXPECT_GT(failed, 0u) << "no read waited longer than 1 s: the test did not make the owner wait";
  // Every read that failed is answered late: all of them reach the owner.
  unsigned late = 0;
  for (aPacket* reply; (reply = aLink_AwaitFirst(owner, Model::answer, nullptr, 3000)) != nullptr; late++) aPacket_Destroy(&reply);
  EXPECT_EQ(late, failed) << sent << " reads sent";
  EXPECT_EQ(sim->device->waitForCount(isModelGet, sent, 1000), true);

  readWhileStuck(3, aSERVER_REPLY_WAIT_MS + 1000, &sent, &failed);
  EXPECT_GT(sent, 1u);
  EXPECT_EQ(failed, 0u) << "a read that waited for one round failed";
  aLink_Destroy(&owner);
}

}  // namespace
}  // namespace lstest

// Streaming over a Link: the control requests, samples reaching callbacks on the
// worker thread and the value cache, and the lifetime of the filter and the worker
// (refusals, disabling, callbacks that disable or throw, a shared router link).
// Control requests and injected samples are typed by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "api/SystemClass.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"
#include "tests/support/Threads.h"

namespace apitest {
namespace {

using devsim::model::kCmdSystem;

bool waitFor(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const aTime end = aTime_GetMonotonicMSTicks() + static_cast<aTime>(timeoutMs);
  while (!cond()) {
    if (aTime_GetMonotonicMSTicks() >= end) return false;
    aTime_MSSleep(1);
  }
  return true;
}

// A u32 sample of command 3, option `option`, index 0, stamped 0x00000001_00000002.
Bytes u32Sample(uint8_t option, uint32_t v) {
  return {0x03, option, 0x40, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, static_cast<uint8_t>(v >> 24),
          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v), 0x00};
}

// What the callbacks saw.
struct Calls {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Bytes> packets;   // address, then data
  std::vector<void*> refs;
  std::map<std::thread::id, int> threads;
  std::function<void(size_t)> during;   // runs inside the callback, with the call's number

  Link::StreamCallback callback() {
    return [this](const aPacket* p, void* ref) -> uint8_t {
      size_t n;
      {
        std::lock_guard<std::mutex> lock(mutex);
        Bytes b = {p->address};
        b.insert(b.end(), p->data, p->data + p->dataSize);
        packets.push_back(b);
        refs.push_back(ref);
        threads[std::this_thread::get_id()]++;
        n = packets.size();
      }
      changed.notify_all();
      if (during) during(n);
      return 0;
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets.size();
  }
  bool waitCount(size_t n, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return packets.size() >= n; });
  }
};

// A one-way gate for callbacks to wait at.
struct Latch {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::atomic<bool> entered{false};
  void wait() {
    entered = true;
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      open = true;
    }
    cv.notify_all();
  }
};

// Declared after the callbacks' state in a test, it switches streaming off (stopping
// the worker) before that state goes.
struct StreamGuard {
  Link* link;
  uint8_t module;
  ~StreamGuard() {
    if (link != nullptr) link->enableStream(module, 0xFF, 0xFF, 0xFF, false);
  }
};

class Streaming : public ConnectedFixture {
 protected:
  void SetUp() override {
    ConnectedFixture::SetUp();
    // Samples leave only when a test asks for them.
    front->setSamplePeriodMs(0);
    front->setStreamTimestamp(0x0000000100000002ull);
    sys.init(&module, 0);
  }
  uint8_t addr() const { return front->address(); }
  void inject(const Bytes& data) { reply(addr(), data); }
  // Returns once the link has taken in everything the module sent before.
  void settle() { ASSERT_EQ(fence(), aErrNone); }
  // True when a packet with these first data bytes reaches the incoming FIFO.
  bool reachesFifo(const Bytes& head) {
    uint8_t count = static_cast<uint8_t>(head.size()), out[28];
    return link->receivePacket(addr(), head.data(), &count, out) == aErrNone;
  }

  SystemClass sys;
};

TEST_F(Streaming, SamplesReachTheCallbackOnTheWorkerThread) {
  const testsupport::ThreadBaseline threads;
  Calls calls;
  Latch latch;
  std::atomic<bool> hold{false};
  calls.during = [&](size_t) {
    if (hold.load()) latch.wait();
  };
  int marker = 0;
  StreamGuard guard{link, addr()};
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), &marker), aErrNone);
  EXPECT_EQ(sent(addr()), (std::vector<Bytes>{{0x5D, 0x81, 0x20, 0x04, 0x03, 0x07, 0x00}}));
  EXPECT_EQ(threads.started().size(), 1u) << "one worker";
  EXPECT_EQ(front->streamPatterns(), (std::vector<uint32_t>{0x04030700}));

  front->setValue(kCmdSystem, 7, 0, 0xDEADBEEF);
  front->setSamplePeriodMs(5);
  ASSERT_TRUE(calls.waitCount(3));
  // While a callback is held up, the link still answers: the reader does not run it.
  hold = true;
  ASSERT_TRUE(waitFor([&] { return latch.entered.load(); }));
  uint8_t model = 0;
  EXPECT_EQ(sys.getUEI8(8, &model), aErrNone);
  EXPECT_EQ(model, 0x13);
  latch.release();
  front->setSamplePeriodMs(0);

  std::lock_guard<std::mutex> lock(calls.mutex);
  const Bytes expected = {0x04, 0x03, 0x07, 0x40, 0x03, 0x00, 0x00, 0x00, 0x01,
                          0x00, 0x00, 0x00, 0x02, 0xDE, 0xAD, 0xBE, 0xEF, 0x00};
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(calls.packets[i], expected);
    EXPECT_EQ(calls.refs[i], &marker);
  }
  ASSERT_EQ(calls.threads.size(), 1u);
  EXPECT_NE(calls.threads.begin()->first, std::this_thread::get_id());
}

// The stream control exchange against acknowledgements typed by hand.
TEST_F(Streaming, RegistrationSucceedsOnItsAcknowledgementOnly) {
  struct Case {
    std::string name;
    Bytes reply;   // empty: none
    aErr result;
  } cases[] = {
      {"acknowledged", {0x5D, 0xC1, 0x00}, aErrNone},
      {"refused", {0x5D, 0xC1, 0x80, 0x05}, aErrBusy},
      {"refused without a code", {0x5D, 0xC1, 0x80}, aErrUnknown},
      {"the disable's acknowledgement", {0x5D, 0xC2, 0x00}, aErrTimeout},
      {"unanswered", {}, aErrTimeout},
  };
  Calls calls;
  StreamGuard guard{link, addr()};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    network->setIntercept([c](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
      if (in.data != Bytes{0x5D, 0x81, 0x20, 0x04, 0x03, 0x07, 0x00}) return false;
      if (!c.reply.empty()) out.push_back(devsim::WirePacket{in.address, c.reply});
      return true;
    });
    EXPECT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), nullptr), c.result);
    EXPECT_EQ(link->filterActiveStreamKeys(addr(), 3, 7, 0, 0xFF, true).size(), c.result == aErrNone ? 1u : 0u);
  }
  network->setIntercept(nullptr);
}

TEST_F(Streaming, CachedValueIsReadOnceThenStale) {
  ASSERT_EQ(link->enableStream(addr(), 3, 0xFF, 0, true), aErrNone);
  EXPECT_EQ(sent(addr()), (std::vector<Bytes>{{0x5D, 0x81, 0x20, 0x04, 0x03, 0xFF, 0x00}}));
  inject(u32Sample(7, 0xDEADBEEF));
  settle();
  device->clearReceived();
  uint32_t v = 0;
  EXPECT_EQ(sys.getUEI32(7, &v), aErrNone);
  EXPECT_EQ(v, 0xDEADBEEFu);
  v = 0;
  EXPECT_EQ(sys.getUEI32(7, &v), aErrStreamStale);
  EXPECT_EQ(v, 0xDEADBEEFu);
  EXPECT_EQ(link->getStreamValue(addr(), 3, 7, 0, 0, &v), aErrStreamStale);
  EXPECT_EQ(link->getStreamValue(addr(), 3, 9, 0, 0, &v), aErrNotFound);
  // A sample of the right type but a byte short runs no cache update.
  inject({0x03, 0x07, 0x40, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00});
  // The reads from the cache sent nothing: the fence is all the module saw.
  expectOnlyTheFenceReceived();
  EXPECT_EQ(link->getStreamValue(addr(), 3, 7, 0, 0, &v), aErrStreamStale);
  EXPECT_EQ(v, 0xDEADBEEFu);
}

TEST_F(Streaming, StatusListsSampledKeysOnly) {
  ASSERT_EQ(link->enableStream(addr(), 3, 0xFF, 0, true), aErrNone);
  inject(u32Sample(7, 0x11));
  inject(u32Sample(8, 0x22));
  // A subindexed sample of option 9, subindex 5.
  inject({0x03, 0x09, 0x40, 0x07, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x33,
          0x00});
  settle();
  Link::StreamStatusEntry entries[4] = {};
  uint64_t n = 0;
  ASSERT_EQ(link->getStreamStatus(addr(), 0xFF, 0xFF, 0xFF, 0xFF, entries, 4, &n), aErrNone);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(entries[0].key, 0x04030700u);
  EXPECT_EQ(entries[0].value, 0x11u);
  EXPECT_EQ(entries[1].key, 0x04030800u);
  EXPECT_EQ(entries[2].key, 0x0504030900u);
  EXPECT_EQ(entries[2].value, 0x33u);
  EXPECT_EQ(link->getStreamStatus(addr(), 0xFF, 0xFF, 0xFF, 0xFF, entries, 1, &n), aErrSize);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(link->getStreamStatus(addr(), 3, 0xFF, 0, 5, entries, 4, &n), aErrNone);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(link->filterActiveStreamKeys(addr(), 3, 9, 0, 5, true), (std::vector<uint64_t>{0x0504030900u}));
  EXPECT_TRUE(link->filterActiveStreamKeys(addr(), 3, 9, 0, 0, true).empty());
  EXPECT_EQ(link->filterActiveStreamKeys(addr(), 0xFF, 0xFF, 0xFF, 0xFF, true).size(), 4u) << "with the registration";
  EXPECT_EQ(link->getStreamStatus(addr(), 0xFF, 0xFF, 0xFF, 0xFF, nullptr, 4, &n), aErrParam);
  EXPECT_EQ(link->getStreamStatus(addr(), 0xFF, 0xFF, 0xFF, 0xFF, entries, 0, &n), aErrParam);
  Link unconnected("Link");
  EXPECT_EQ(unconnected.getStreamStatus(addr(), 0xFF, 0xFF, 0xFF, 0xFF, entries, 4, &n), aErrConnection);
}

TEST_F(Streaming, ARefusedRegistrationLeavesNoEntryFilterOrWorker) {
  struct Case {
    std::string name;
    std::function<void()> knob;
    uint8_t module;
    aErr result;
  } cases[] = {
      {"refused", [&] { front->failOption(0x5D, 1, 5); }, 0x04, aErrBusy},
      {"refused without a code", [&] { front->failOption(0x5D, 1, 0); }, 0x04, aErrUnknown},
      {"unanswered", [&] { front->muteOption(0x5D, 1); }, 0x04, aErrTimeout},
      {"module 0", [] {}, 0x00, aErrPacket},
      {"odd module", [] {}, 0x03, aErrParam},
      {"module 0xFF", [] {}, 0xFF, aErrParam},
  };
  const testsupport::ThreadBaseline threads;
  Calls calls;
  StreamGuard guard{link, addr()};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    front->clearFaults();
    c.knob();
    EXPECT_EQ(link->registerStreamCallback(c.module, 3, 7, 0, true, calls.callback(), nullptr), c.result);
    EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    EXPECT_TRUE(threads.allEnded()) << threads.started().size() << " thread(s) left";
  }
  front->clearFaults();
  inject(u32Sample(7, 0x55));
  EXPECT_TRUE(reachesFifo({0x03, 0x07, 0x40})) << "no filter takes samples";
  EXPECT_EQ(calls.count(), 0u);
  uint8_t state = 9;
  ASSERT_EQ(link->isLinkStreaming(addr(), &state), aErrNone);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(link->isLinkStreaming(addr(), nullptr), aErrParam);
}

// One callback runs and waits; the queue then holds 499 jobs and drops the rest.
TEST_F(Streaming, TheQueueHoldsAtMost499JobsBehindABlockedCallback) {
  Calls calls;
  Latch latch;
  calls.during = [&](size_t n) {
    if (n == 1) latch.wait();
  };
  StreamGuard guard{link, addr()};
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), nullptr), aErrNone);
  inject(u32Sample(7, 0));
  ASSERT_TRUE(waitFor([&] { return latch.entered.load(); }));
  for (uint32_t i = 1; i <= 700; i++) inject(u32Sample(7, i));
  settle();
  latch.release();
  ASSERT_TRUE(calls.waitCount(500));
  // One more sample, after the queue had room again: jobs run in order, so when its
  // callback has run, every job kept before it has too.
  inject(u32Sample(7, 0xFFFF));
  ASSERT_TRUE(calls.waitCount(501));
  std::lock_guard<std::mutex> lock(calls.mutex);
  ASSERT_EQ(calls.packets.size(), 501u);
  // The jobs kept are the oldest ones, in order.
  EXPECT_EQ(calls.packets[499], (Bytes{0x04, 0x03, 0x07, 0x40, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,
                                       0x00, 0x00, 0x01, 0xF3, 0x00}));
  EXPECT_EQ(calls.packets[500][15], 0xFF);
}

TEST_F(Streaming, DisablingTheLastRegistrationHandsSamplesBack) {
  const testsupport::ThreadBaseline threads;
  Calls calls;
  StreamGuard guard{link, addr()};
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), nullptr), aErrNone);
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 8, 0, true, calls.callback(), nullptr), aErrNone);
  EXPECT_EQ(threads.started().size(), 1u);
  device->clearReceived();
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, false, nullptr, nullptr), aErrNone);
  EXPECT_EQ(threads.started().size(), 1u) << "one registration left";
  ASSERT_EQ(link->enableStream(addr(), 3, 8, 0, false), aErrNone);
  EXPECT_EQ(sent(addr()), (std::vector<Bytes>{{0x5D, 0x82, 0x20, 0x04, 0x03, 0x07, 0x00},
                                              {0x5D, 0x82, 0x20, 0x04, 0x03, 0x08, 0x00}}));
  EXPECT_TRUE(threads.allEnded());
  EXPECT_TRUE(front->streamPatterns().empty());
  inject(u32Sample(7, 0x55));
  EXPECT_TRUE(reachesFifo({0x03, 0x07, 0x40}));
  EXPECT_EQ(calls.count(), 0u);
}

TEST_F(Streaming, ACallbackMayDisableTheStreamItServes) {
  const testsupport::ThreadBaseline threads;
  Calls calls;
  std::atomic<int> disabled{-1};
  calls.during = [&](size_t n) {
    if (n == 1) disabled = link->registerStreamCallback(addr(), 3, 7, 0, false, nullptr, nullptr);
  };
  Calls again;
  StreamGuard guard{link, addr()};
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), nullptr), aErrNone);
  inject(u32Sample(7, 1));
  inject(u32Sample(7, 2));
  ASSERT_TRUE(waitFor([&] { return disabled.load() >= 0; }));
  EXPECT_EQ(disabled.load(), aErrNone);
  EXPECT_TRUE(threads.allEnded()) << "the worker ended by itself";
  EXPECT_TRUE(front->streamPatterns().empty());
  // Streaming can start again, with a new worker.
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, again.callback(), nullptr), aErrNone);
  EXPECT_EQ(threads.started().size(), 1u);
  inject(u32Sample(7, 3));
  EXPECT_TRUE(again.waitCount(1));
}

TEST_F(Streaming, AThrowingCallbackDoesNotEndTheWorker) {
  Calls calls;
  calls.during = [](size_t n) {
    if (n == 1) throw std::runtime_error("callback failure");
  };
  StreamGuard guard{link, addr()};
  ASSERT_EQ(link->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), nullptr), aErrNone);
  for (uint32_t i = 0; i < 3; i++) inject(u32Sample(7, i));
  EXPECT_TRUE(calls.waitCount(3));
}

// A callback may destroy its own Link. The jobs still queued then are not run, and
// their sample copies are freed: LeakSanitizer (the ASan configuration) reports any
// that are not.
TEST_F(Streaming, ACallbackMayDestroyItsLinkAndQueuedJobsAreFreed) {
  const testsupport::ThreadBaseline threads;
  Calls calls;
  Latch latch;
  std::atomic<bool> destroyed{false};
  std::unique_ptr<Module> owner;
  calls.during = [&](size_t n) {
    if (n != 1) return;
    latch.wait();
    owner.reset();
    destroyed = true;
  };
  owner = std::make_unique<Module>(2, 0);
  ASSERT_EQ(connect(*owner), aErrNone);
  ASSERT_EQ(owner->getLink()->registerStreamCallback(addr(), 3, 7, 0, true, calls.callback(), nullptr), aErrNone);
  inject(u32Sample(7, 0));
  ASSERT_TRUE(waitFor([&] { return latch.entered.load(); }));
  for (uint32_t i = 1; i <= 20; i++) inject(u32Sample(7, i));
  SystemClass s;
  s.init(owner.get(), 0);
  uint8_t model = 0;
  ASSERT_EQ(s.getUEI8(8, &model), aErrNone);   // the samples are queued by now
  latch.release();
  ASSERT_TRUE(waitFor([&] { return destroyed.load(); }));
  EXPECT_TRUE(threads.allEnded()) << "its link's threads and the worker ended";
  EXPECT_EQ(calls.count(), 1u) << "jobs left at the stop are not run";
}

devsim::model::ModuleConfig routerConfig() {
  devsim::model::ModuleConfig c;
  c.address = 0x04;
  c.serial = 0x00A1B2C3;
  c.model = 0x20;
  return c;
}

class RouterStreaming : public SimFixture {
 protected:
  RouterStreaming() : SimFixture(routerConfig()) {}
  void SetUp() override {
    SimFixture::SetUp();
    devsim::model::ModuleConfig c;
    c.address = 0x0A;
    c.serial = 0x1000000A;
    c.router = 0x04;
    behind = std::make_shared<devsim::model::Module>(c);
    behind->setStreamTimestamp(0x0000000100000002ull);
    behind->setSamplePeriodMs(2);
    network->addBehind(behind);
    ASSERT_EQ(connect(router), aErrNone);
  }
  void TearDown() override { router.disconnect(); }

  std::unique_ptr<Module> user() {
    auto u = std::make_unique<Module>(0x0A, false, 0);
    EXPECT_EQ(u->setConfig(noServer()), aErrNone);
    EXPECT_EQ(u->connectThroughLinkModule(&router), aErrNone);
    return u;
  }

  Module router{2, 0};
  std::shared_ptr<devsim::model::Module> behind;
};

// Modules behind a router share its core link. One that streams and goes away takes
// its filter with it, and only its own: the link must never call into a freed Link,
// and another user's filter stays.
TEST_F(RouterStreaming, AStreamingModuleLeavesTheSharedLinkCleanly) {
  Calls first, second, routers;
  StreamGuard guard{router.getLink(), 0x0A};
  auto u = user();
  ASSERT_EQ(u->getLink()->registerStreamCallback(0x0A, 3, 7, 0, true, first.callback(), nullptr), aErrNone);
  ASSERT_TRUE(first.waitCount(5));
  u.reset();   // samples keep coming
  aTime_MSSleep(30);
  SystemClass rsys;
  rsys.init(&router, 0);
  uint32_t serial = 0;
  EXPECT_EQ(rsys.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x00A1B2C3u);

  // The router's Link installs its filter after a second user did.
  auto v = user();
  ASSERT_EQ(v->getLink()->registerStreamCallback(0x0A, 3, 8, 0, true, second.callback(), nullptr), aErrNone);
  ASSERT_EQ(router.getLink()->registerStreamCallback(0x0A, 3, 7, 0, true, routers.callback(), nullptr), aErrNone);
  ASSERT_TRUE(routers.waitCount(3));
  v.reset();
  const size_t seen = routers.count();
  EXPECT_TRUE(routers.waitCount(seen + 5)) << "the router's filter stayed";
  ASSERT_EQ(router.getLink()->registerStreamCallback(0x0A, 3, 7, 0, false, nullptr, nullptr), aErrNone);
}

}  // namespace
}  // namespace apitest

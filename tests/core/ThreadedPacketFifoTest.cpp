#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/aPacket.h"
#include "common/aPacketFifo.h"

namespace {

using namespace std::chrono_literals;

aErr putTag(aPacketFifoId id, uint8_t tag, uint8_t extra = 0) {
  const uint8_t data[2] = {tag, extra};
  aPacket* p = aPacket_CreateWithData(0x04, 2, data);
  const aErr err = aPacketFifo_Put(id, p);
  aPacket_Destroy(&p);
  return err;
}

// A waiter that never returns would hang the suite: give up loudly instead.
template <typename T>
T within(std::future<T>& f, std::chrono::seconds limit = 20s) {
  if (f.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "a FIFO wait did not return within %lld s\n", static_cast<long long>(limit.count()));
    std::abort();
  }
  return f.get();
}

// Spins (with sleeps) until cond holds, at most limit; true when it held.
template <typename Cond>
bool eventually(Cond cond, std::chrono::milliseconds limit = 10000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// True while the thread sleeps in a condition-variable wait: blocked ("S") in the futex
// call with the FUTEX_WAIT_BITSET operation, which glibc's condition variables use and
// its mutexes do not. A plain waiter takes any packet and calls no match function, so
// this is how a test knows it is inside its wait before it puts or destroys.
bool sleepsInConditionWait(pid_t thread) {
  const std::string task = "/proc/self/task/" + std::to_string(thread);
  std::ifstream statFile(task + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size() || stat[nameEnd + 2] != 'S') return false;
  std::ifstream syscallFile(task + "/syscall");
  long number = -1;
  std::string address, operation;
  if (!(syscallFile >> number >> address >> operation) || number != SYS_futex) return false;
  return (std::stoul(operation, nullptr, 16) & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET;
}

// A plain Await on another thread whose caller can tell when it is inside its wait.
struct PlainWaiter {
  PlainWaiter(aPacketFifoId id, uint64_t timeout) : fifo(id) {
    result = std::async(std::launch::async, [this, timeout] {
      thread = static_cast<pid_t>(syscall(SYS_gettid));
      return aPacketFifo_Await(fifo, timeout);
    });
  }
  // A test that gave up early leaves the waiter waiting: the FIFO goes, so that the
  // future's destructor does not wait for ever.
  ~PlainWaiter() {
    if (result.valid() && result.wait_for(0s) != std::future_status::ready) {
      aPacketFifoId id = fifo;
      aPacketFifo_Destroy(&id);
    }
  }
  PlainWaiter(const PlainWaiter&) = delete;
  PlainWaiter& operator=(const PlainWaiter&) = delete;
  // Bounded: false when the waiter was not seen waiting within 10 s.
  bool waiting() {
    return eventually([this] { return thread.load() != 0 && sleepsInConditionWait(thread.load()); });
  }
  const aPacketFifoId fifo;
  std::atomic<pid_t> thread{0};
  std::future<aPacket*> result;
};

uint8_t tagOf(aPacket* p) {
  const uint8_t t = p->data[0];
  aPacket_Destroy(&p);
  return t;
}

// Counts how often each tag is offered; accepts one tag. Runs under the FIFO mutex on
// the waiter's thread; the total is atomic so the test thread can watch progress.
struct OfferCounter {
  std::map<uint8_t, int> offers;
  std::atomic<int> total{0};
  uint8_t accept = 0xFF;
};
uint8_t countOffers(const aPacket* p, void* reference) {
  OfferCounter* c = static_cast<OfferCounter*>(reference);
  c->offers[p->data[0]]++;
  c->total++;
  return p->data[0] == c->accept;
}

TEST(ThreadedPacketFifo, PutWakesAwaitingThread) {
  aPacketFifoId id = aPacketFifo_Create();
  PlainWaiter waiter(id, UINT64_MAX);
  // Put only once the waiter is inside its wait: a packet put before would be taken at
  // once, whether or not a put wakes anybody.
  ASSERT_TRUE(waiter.waiting());
  ASSERT_EQ(putTag(id, 42), aErrNone);
  aPacket* p = within(waiter.result);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(tagOf(p), 42);
  aPacketFifo_Destroy(&id);
}

TEST(ThreadedPacketFifo, HugeTimeoutsSaturateInsteadOfExpiring) {
  // A deadline computed with overflow would lie in the past and return at once.
  for (uint64_t timeout : {UINT64_MAX, UINT64_MAX - 1, uint64_t{1} << 63, uint64_t{1} << 44}) {
    aPacketFifoId id = aPacketFifo_Create();
    OfferCounter counter;
    counter.accept = 2;
    auto plain = std::async(std::launch::async, [id, timeout] { return aPacketFifo_Await(id, timeout); });
    auto matching = std::async(std::launch::async, [id, timeout, &counter] {
      return aPacketFifo_AwaitFirst(id, countOffers, &counter, timeout);
    });
    EXPECT_EQ(plain.wait_for(150ms), std::future_status::timeout) << timeout;
    EXPECT_EQ(matching.wait_for(0ms), std::future_status::timeout) << timeout;
    // Tag 1 goes to one of them: the plain waiter takes whatever comes, the matching
    // one waits for tag 2. Put tag 2 only after tag 1 has gone.
    ASSERT_EQ(putTag(id, 1), aErrNone);
    aPacket* first = within(plain);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(tagOf(first), 1);
    ASSERT_EQ(putTag(id, 2), aErrNone);
    aPacket* second = within(matching);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(tagOf(second), 2);
    aPacketFifo_Destroy(&id);
  }
}

TEST(ThreadedPacketFifo, TimeoutHoldsAtLeastItsLength) {
  aPacketFifoId id = aPacketFifo_Create();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aPacketFifo_Await(id, 120), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(id, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr, 80), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  aPacketFifo_Destroy(&id);
}

TEST(ThreadedPacketFifo, DestroyWakesEveryPlainWaiterWithNull) {
  aPacketFifoId id = aPacketFifo_Create();
  const aPacketFifoId target = id;
  std::vector<std::unique_ptr<PlainWaiter>> waiters;
  // One after the other, each inside its wait before the next starts (and before the
  // destruction): a waiter that came later would find no FIFO and return null without
  // ever being woken.
  for (int i = 0; i < 3; i++) {
    waiters.push_back(std::make_unique<PlainWaiter>(target, UINT64_MAX));
    ASSERT_TRUE(waiters.back()->waiting()) << "waiter " << i;
  }
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  for (auto& w : waiters) EXPECT_EQ(within(w->result), nullptr);
}

TEST(ThreadedPacketFifo, DestroyWakesMatchingWaiterWithNull) {
  aPacketFifoId id = aPacketFifo_Create();
  const aPacketFifoId target = id;
  OfferCounter counter;
  auto waiter = std::async(std::launch::async, [target, &counter] {
    return aPacketFifo_AwaitFirst(target, countOffers, &counter, UINT64_MAX);
  });
  // Once the refused packet has been offered, the waiter is inside its wait: the
  // destruction below needs the FIFO mutex that the wait holds until it blocks.
  ASSERT_EQ(putTag(target, 5), aErrNone);
  ASSERT_TRUE(eventually([&] { return counter.total.load() == 1; }));
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  EXPECT_EQ(within(waiter), nullptr);
  EXPECT_EQ(counter.total.load(), 1);
  EXPECT_EQ(putTag(target, 1), aErrParam);
}

TEST(ThreadedPacketFifo, AwaitFirstOffersEveryPacketOncePerCall) {
  aPacketFifoId id = aPacketFifo_Create();
  for (uint8_t t = 1; t <= 3; t++) putTag(id, t);
  OfferCounter first, second;
  first.accept = 20;
  second.accept = 21;
  auto a = std::async(std::launch::async, [id, &first] { return aPacketFifo_AwaitFirst(id, countOffers, &first, 20000); });
  auto b = std::async(std::launch::async, [id, &second] { return aPacketFifo_AwaitFirst(id, countOffers, &second, 20000); });
  ASSERT_TRUE(eventually([&] { return first.total.load() >= 3 && second.total.load() >= 3; }));
  // Each new put wakes both waiters, which walk the queue again from the front.
  for (uint8_t t = 4; t <= 12; t++) {
    ASSERT_EQ(putTag(id, t), aErrNone);
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_EQ(putTag(id, 20), aErrNone);
  aPacket* pa = within(a);
  ASSERT_NE(pa, nullptr);
  EXPECT_EQ(tagOf(pa), 20);
  ASSERT_EQ(putTag(id, 21), aErrNone);
  aPacket* pb = within(b);
  ASSERT_NE(pb, nullptr);
  EXPECT_EQ(tagOf(pb), 21);
  for (OfferCounter* c : {&first, &second}) {
    for (uint8_t t = 1; t <= 12; t++) EXPECT_EQ(c->offers[t], 1) << "tag " << int(t);
  }
  EXPECT_EQ(first.offers[20], 1);
  EXPECT_EQ(second.offers[21], 1);
  EXPECT_EQ(aPacketFifo_GetLength(id), 12u);
  aPacketFifo_Destroy(&id);
}

TEST(ThreadedPacketFifo, ProducersAndConsumersLoseAndDuplicateNothing) {
  aPacketFifoId id = aPacketFifo_Create();
  constexpr int kProducers = 4, kPerProducer = 200, kConsumers = 4;
  std::atomic<int> received{0};
  std::mutex seenMutex;
  std::set<int> seen;
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; c++) {
    threads.emplace_back([&] {
      while (received.load() < kProducers * kPerProducer) {
        aPacket* p = aPacketFifo_Await(id, 50);
        if (p == nullptr) continue;
        const int key = p->data[0] * 256 + p->data[1];
        aPacket_Destroy(&p);
        std::lock_guard<std::mutex> hold(seenMutex);
        EXPECT_TRUE(seen.insert(key).second) << "duplicate " << key;
        received++;
      }
    });
  }
  for (int pr = 0; pr < kProducers; pr++) {
    threads.emplace_back([id, pr] {
      for (int i = 0; i < kPerProducer; i++) EXPECT_EQ(putTag(id, static_cast<uint8_t>(pr), static_cast<uint8_t>(i)), aErrNone);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(seen.size(), size_t{kProducers * kPerProducer});
  aPacketFifo_Destroy(&id);
}

TEST(ThreadedPacketFifo, DestroyDuringTrafficIsSafe) {
  for (int round = 0; round < 20; round++) {
    aPacketFifoId id = aPacketFifo_Create();
    const aPacketFifoId target = id;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      while (!stop) putTag(target, 1);
    });
    threads.emplace_back([&] {
      while (!stop) {
        aPacket* p = aPacketFifo_Await(target, 5);
        if (p != nullptr) aPacket_Destroy(&p);
      }
    });
    threads.emplace_back([&] {
      while (!stop) aPacketFifo_DrainPackets(target, [](const aPacket*, void*) -> uint8_t { return 1; }, nullptr);
    });
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    // Once destroyed, nothing refills it.
    EXPECT_EQ(putTag(target, 1), aErrParam);
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(aPacketFifo_GetLength(target), 0u);
  }
}

TEST(ThreadedPacketFifo, ConcurrentCreationGivesUniqueIds) {
  constexpr int kThreads = 8, kEach = 50;
  std::vector<std::vector<aPacketFifoId>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; i++) made[t].push_back(aPacketFifo_Create());
    });
  }
  for (auto& t : threads) t.join();
  std::set<aPacketFifoId> ids;
  for (auto& list : made) {
    for (aPacketFifoId id : list) {
      EXPECT_NE(id, 0u);
      ids.insert(id);
    }
  }
  EXPECT_EQ(ids.size(), size_t{kThreads * kEach});
  for (aPacketFifoId id : ids) {
    aPacketFifoId copy = id;
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNone);
  }
}

}  // namespace

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/unix/aMutex.h"
#include "common/unix/aThread.h"
#include "common/unix/aTime.h"

namespace {

TEST(ThreadedMutex, NamesAndLimits) {
  const std::string name255(255, 'm');
  aMutex* m = aMutex_Create(name255.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Identifier(m), name255);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(aMutex_Create(std::string(256, 'm').c_str()), nullptr);

  aMutex* unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  aMutex_Destroy(&unnamed);

  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrParam);
}

struct Shared {
  aMutex* mutex;
  std::atomic<bool> locked{false};
  std::atomic<bool> release{false};
  long counter = 0;
};

void* holdLock(void* arg) {
  auto* s = static_cast<Shared*>(arg);
  aMutex_Lock(s->mutex);
  s->locked = true;
  while (!s->release) aTime_MSSleep(1);
  aMutex_Unlock(s->mutex);
  return nullptr;
}

TEST(ThreadedMutex, TryLockSeesOtherThreadsHold) {
  Shared s;
  s.mutex = aMutex_Create("held");
  aThread* t = aThread_Create(holdLock, &s);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 5000 && !s.locked; i++) aTime_MSSleep(1);
  ASSERT_TRUE(s.locked);
  EXPECT_EQ(aMutex_TryLock(s.mutex), aErrBusy);
  s.release = true;
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(aMutex_TryLock(s.mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(s.mutex), aErrNone);
  aMutex_Destroy(&s.mutex);
}

void* addMany(void* arg) {
  auto* s = static_cast<Shared*>(arg);
  for (int i = 0; i < 10000; i++) {
    aMutex_Lock(s->mutex);
    s->counter++;
    aMutex_Unlock(s->mutex);
  }
  return nullptr;
}

TEST(ThreadedMutex, SerialisesThreads) {
  Shared s;
  s.mutex = aMutex_Create("counter");
  aThread* threads[4];
  for (auto& t : threads) t = aThread_Create(addMany, &s);
  for (auto& t : threads) EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(s.counter, 40000);
  aMutex_Destroy(&s.mutex);
}

TEST(ThreadedThread, CreateRunsAndDestroyJoins) {
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
  std::atomic<int> ran{0};
  aThread* t = aThread_Create([](void* a) -> void* { static_cast<std::atomic<int>*>(a)->store(7); return nullptr; }, &ran);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_EQ(ran.load(), 7);  // joined: the thread has finished
  aThread_Yield();
}

TEST(ThreadedTime, SleepAndTicks) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  const aTime wall0 = aTime_GetMSTicks();
  const aTime mono0 = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(aTime_MSSleep(100), aErrNone);
  const auto slept = std::chrono::steady_clock::now() - start;
  EXPECT_GE(slept, std::chrono::milliseconds(100));
  EXPECT_GE(aTime_GetMonotonicMSTicks() - mono0, 100u);
  // Wall-clock ticks are milliseconds since the epoch (this test was written after 2020).
  EXPECT_GT(wall0, 1577836800000ull);
}

void sIgnoreSignal(int) {}

// Signals that interrupt the sleep (no SA_RESTART) must not shorten it.
TEST(ThreadedTime, SleepLastsThroughSignals) {
  struct sigaction quiet {}, previous {};
  quiet.sa_handler = sIgnoreSignal;
  sigemptyset(&quiet.sa_mask);
  quiet.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGUSR2, &quiet, &previous), 0);
  std::atomic<bool> done{false};
  std::chrono::steady_clock::duration slept{};
  std::thread sleeper([&] {
    const auto start = std::chrono::steady_clock::now();
    aTime_MSSleep(300);
    slept = std::chrono::steady_clock::now() - start;
    done = true;
  });
  const pthread_t target = sleeper.native_handle();
  for (int i = 0; i < 200 && !done.load(); i++) {
    pthread_kill(target, SIGUSR2);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  sleeper.join();
  sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(300));
}

}  // namespace

// Requests from several threads at once, as the download's worker thread makes them
// while the main thread keeps drawing: each has its own handle and buffers, and the
// transfer's signal mask is the calling thread's own.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/fakes/FakeUpdateServer.h"
#include "updater/server/UpdateServerRequest.h"

namespace {

bool sigpipeBlocked() {
  sigset_t current;
  pthread_sigmask(SIG_SETMASK, nullptr, &current);
  return sigismember(&current, SIGPIPE) == 1;
}

TEST(ThreadedServerClientTest, ConcurrentRequestsOnWorkerThreads) {
  FakeUpdateServer server;
  server.setConfig(R"({"devices": {"00000001": {"builds": {"1": "1.0.0"}}, "00000002": {"builds": {"2": "2.0.0"}}},
                      "faults": {"builds": {"chunk": 7, "delay_ms": 5}}})");
  const std::string url = server.url();

  auto worker = [&](uint32_t serial, std::promise<bool>* result, std::map<std::string, std::string>* builds) {
    bool ok = true;
    for (int i = 0; i < 5 && ok; i++) ok = UpdateServerRequest::GetBuildList(serial, *builds, url.c_str());
    ok = ok && !sigpipeBlocked();
    result->set_value(ok);
  };
  std::promise<bool> p1, p2;
  std::future<bool> f1 = p1.get_future(), f2 = p2.get_future();
  std::map<std::string, std::string> b1, b2;
  std::thread t1(worker, 1, &p1, &b1), t2(worker, 2, &p2, &b2);

  // The main thread's own requests meanwhile, waiting on the workers in short steps.
  int rounds = 0;
  while (f1.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready && rounds++ < 300)
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  ASSERT_EQ(f2.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(f1.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_TRUE(f1.get());
  EXPECT_TRUE(f2.get());
  t1.join();
  t2.join();
  EXPECT_EQ(b1, (std::map<std::string, std::string>{{"1", "1.0.0"}}));
  EXPECT_EQ(b2, (std::map<std::string, std::string>{{"2", "2.0.0"}}));
  EXPECT_FALSE(sigpipeBlocked());
}

TEST(ThreadedServerClientTest, CallersBlockedSigpipeStaysBlocked) {
  FakeUpdateServer server;
  const std::string url = server.url();
  sigset_t pipe, previous;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_TRUE(sigpipeBlocked());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

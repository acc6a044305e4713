// What a crowd of clients costs the process that holds a link server, and what it
// leaves behind: server_holder (a Module with the default configuration on a simulated
// module of its own) is measured from /proc while a Python crowd (peers/crowd_client.py)
// opens many connections that each pipeline requests without reading an answer, and
// while a well-behaved client (peers/dealer_client.py) asks one echo at a time.
//
// The bounds are the ones the server is held to: 1,000 clients each pipelining 1,024
// echo requests raise the holder's resident memory by at most 96 MB, 5 s after they have
// gone it holds at most 48 MB more than before them, and the well-behaved client is
// answered within 5 s throughout.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/linkserver/ServerFixture.h"

namespace lstest {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::BackgroundProcess;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep freed memory in quarantine and never return it when
// asked, and the instrumented holder is many times slower: there the crowd is smaller
// and only what does not depend on the allocator is checked (the well-behaved client
// is answered in time, the holder stays up). The figures are checked in the plain build.
constexpr bool kMemoryFigures = false;
constexpr int kClients = 100;
#else
constexpr bool kMemoryFigures = true;
constexpr int kClients = 1000;
#endif
constexpr int kRequests = 1024;
constexpr long kPeakBoundMB = 96;
constexpr long kLeftBoundMB = 48;
constexpr long kEchoBoundMs = 5000;

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Resident memory of a process, in MB.
long residentMB(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

// Samples a process's resident memory until stopped, keeping the highest.
class PeakSampler {
 public:
  explicit PeakSampler(pid_t pid) : pid_(pid), peak_(residentMB(pid)), thread_([this] { run(); }) {}
  ~PeakSampler() { stop(); }
  PeakSampler(const PeakSampler&) = delete;
  PeakSampler& operator=(const PeakSampler&) = delete;
  long stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  void run() {
    while (!stopping_) {
      peak_ = std::max(peak_.load(), residentMB(pid_));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  pid_t pid_;
  std::atomic<long> peak_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// One echo at a time from a client that waits for each answer: the longest it took
// over the period, or -1 when one was never answered within the bound.
long echoesFor(Client& c, int periodMs, unsigned* n) {
  long worst = 0;
  const auto start = Clock::now();
  while (msSince(start) < periodMs) {
    const std::vector<uint8_t> request = echoRequest(0x04, 0x0E, (*n)++ & 0xFFFF);
    const size_t before = c.frames().size();
    const auto sent = Clock::now();
    c.send(request);
    if (!c.waitFrames(before + 1, kEchoBoundMs)) return -1;
    if (c.frames()[before].hex != hex(request)) return -1;
    worst = std::max(worst, msSince(sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return worst;
}

TEST(ServerMemory, ACrowdOfPipeliningClientsIsBoundedAndGivenBackWhenItLeaves) {
  NETTEST_ENTER_PRIVATE_NETWORK(false);
  BackgroundProcess holder({SERVER_HOLDER});
  const std::string frontend = holder.first("PORT", 20000);
  ASSERT_FALSE(frontend.empty()) << holder.errors() << holder.first("FAILED", 0);
  const uint16_t port = static_cast<uint16_t>(std::stoi(frontend));
  Client good(port);
  ASSERT_TRUE(good.ready());
  good.fence();
  auto crowd = BackgroundProcess::python(peerScript("crowd_client.py"), {"--connect", "tcp://127.0.0.1:" + frontend});
  ASSERT_TRUE(crowd->waitFor("READY"));
  unsigned n = 0;
  ASSERT_GE(echoesFor(good, 1000, &n), 0);
  const long before = residentMB(holder.pid());

  PeakSampler sampler(holder.pid());
  crowd->send("fill " + std::to_string(kClients) + " " + std::to_string(kRequests));
  // The well-behaved client asks while the crowd fills the server and for a while after.
  long worst = 0;
  const auto start = Clock::now();
  while (worst >= 0 && (crowd->linesWith("FILLED").empty() || msSince(start) < 3000) && msSince(start) < 60000) {
    const long took = echoesFor(good, 500, &n);
    worst = took < 0 ? -1 : std::max(worst, took);
  }
  ASSERT_FALSE(crowd->first("FILLED", 0).empty()) << "the crowd never sent all its requests";
  ASSERT_GE(worst, 0) << "the well-behaved client's echo was not answered within 5 s while the crowd asked";

  crowd->send("leave");
  ASSERT_FALSE(crowd->first("LEFT", 30000).empty());
  const long peak = sampler.stop();
  const long worstAfter = echoesFor(good, 5000, &n);
  const long after = residentMB(holder.pid());
  EXPECT_GE(worstAfter, 0) << "the well-behaved client's echo was not answered within 5 s after the crowd left";

  std::printf("holder's resident memory with %d clients x %d requests: before %ld MB, peak %ld MB (+%ld), 5 s after "
              "they left %ld MB (+%ld); the well-behaved client's slowest echo %ld ms\n",
              kClients, kRequests, before, peak, peak - before, after, after - before, std::max(worst, worstAfter));
  RecordProperty("before_mb", static_cast<int>(before));
  RecordProperty("peak_mb", static_cast<int>(peak));
  RecordProperty("after_mb", static_cast<int>(after));
  if (kMemoryFigures) {
    EXPECT_LE(peak - before, kPeakBoundMB);
    EXPECT_LE(after - before, kLeftBoundMB);
  }
  EXPECT_TRUE(holder.running());
  holder.send("quit");
  int status = -1;
  EXPECT_TRUE(holder.waitExit(20000, &status));
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace lstest

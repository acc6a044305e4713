// Speed of the link engine beside a raw loopback socket in the same run: request/reply
// round trips to the simulated module (with the context switches each costs the
// client side), one-way packet throughput with and without pooled packets, the time
// to create and to destroy a link, and the CPU an idle open link uses. Not a test: run
// it by hand (inside `unshare --net` with lo up; `taskset -c N` for one CPU) and read
// the ratios it prints at the end, medians of the measured runs
// (--benchmark_repetitions=N for more than one).
//   link_bench [--idle-seconds N] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <fstream>
#include <set>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/CpuUse.h"
#include "bench/Loopback.h"
#include "common/aLink.h"
#include "common/internal/aLinkRecord.h"
#include "common/unix/aTime.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

constexpr uint32_t kSerial = 0xBE0C0001;
constexpr int kBurst = 2000;           // packets per throughput iteration
constexpr size_t kQueueHigh = 700;     // with the stride, below the outgoing queue's bound (1000)
constexpr size_t kQueueLow = 300;
constexpr int kThrottleStride = 64;

using benchnet::connectLoopback;
using benchnet::loopback;
using benchnet::readExactly;

// Nanoseconds per operation, by measure name, for the closing ratios.
// Every measured run of a measure: (operations, value). Google Benchmark runs each
// function a few times with few iterations before the measured run; with
// --benchmark_repetitions=N there are N measured runs.
std::map<std::string, std::vector<std::pair<double, double>>>& runs() {
  static std::map<std::string, std::vector<std::pair<double, double>>> r;
  return r;
}

// Per measure, the median of the runs that had at least half the most operations: the
// measured runs, not the ones that sized them.
std::map<std::string, double> results() {
  std::map<std::string, double> out;
  for (const auto& m : runs()) {
    double most = 0;
    for (const auto& run : m.second) most = std::max(most, run.first);
    std::vector<double> values;
    for (const auto& run : m.second)
      if (run.first >= most / 2) values.push_back(run.second);
    std::sort(values.begin(), values.end());
    if (!values.empty()) out[m.first] = values[values.size() / 2];
  }
  return out;
}

// Counts the bytes that arrive on one accepted connection at a time.
class Sink {
 public:
  Sink() {
    listenFd_ = benchnet::listenLoopback(&port_);
    thread_ = std::thread([this] { run(); });
  }
  ~Sink() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
  }
  uint16_t port() const { return port_; }
  uint64_t bytes() const { return bytes_; }
  // Sleeps (at most 5 s) until n bytes have arrived, so that a waiting sender leaves
  // the CPU to the threads it waits for.
  bool waitBytes(uint64_t n) {
    if (bytes_ >= n) return true;
    std::unique_lock<std::mutex> hold(mutex_);
    waiting_++;
    const bool got = arrived_.wait_for(hold, std::chrono::seconds(5), [&] { return bytes_ >= n; });
    waiting_--;
    return got;
  }

 private:
  void run() {
    std::vector<int> conns;
    uint8_t buffer[65536];
    while (!stop_) {
      std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
      for (int c : conns) fds.push_back({c, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      if (fds[0].revents) {
        const int c = accept(listenFd_, nullptr, nullptr);
        if (c >= 0) conns.push_back(c);
      }
      for (size_t i = 1; i < fds.size(); i++) {
        if (!fds[i].revents) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        bytes_ += static_cast<uint64_t>(n);
        if (waiting_.load() > 0) {
          { std::lock_guard<std::mutex> hold(mutex_); }
          arrived_.notify_all();
        }
      }
    }
    for (int c : conns) close(c);
  }
  int listenFd_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::atomic<int> waiting_{0};
  std::thread thread_;
};

// With the queue above kQueueHigh, waits (5 s at most) until it is below kQueueLow.
bool drained(aLink* link) {
  if (link->outgoing.size() <= kQueueHigh) return true;
  const aTime end = aTime_GetMonotonicMSTicks() + 5000;
  while (link->outgoing.size() > kQueueLow) {
    if (aTime_GetMonotonicMSTicks() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  return true;
}

void record(benchmark::State& state, const char* name, double totalNs, double operations) {
  if (operations > 0) runs()[name].emplace_back(operations, totalNs / operations);
  state.counters["ns_per_op"] = operations > 0 ? totalNs / operations : 0;
}

// Context switches of the process's threads (voluntary and not), by thread id.
std::map<int, long> switchesByThread() {
  std::map<int, long> out;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return out;
  while (dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
    std::string line;
    long total = 0;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        total += std::atol(line.c_str() + line.find(':') + 1);
    }
    out[std::atoi(e->d_name)] = total;
  }
  closedir(tasks);
  return out;
}

std::set<int> threadIds() {
  std::set<int> ids;
  for (const auto& t : switchesByThread()) ids.insert(t.first);
  return ids;
}

// Switches of every thread but the simulator's between two snapshots (threads that
// ended meanwhile are not seen: the link's threads live through the measurement).
long clientSwitches(const std::map<int, long>& before, const std::map<int, long>& after, const std::set<int>& sim) {
  long total = 0;
  for (const auto& t : after) {
    if (sim.count(t.first) != 0) continue;
    auto b = before.find(t.first);
    total += t.second - (b == before.end() ? 0 : b->second);
  }
  return total;
}

void recordSwitches(const char* name, long switches, double operations) {
  if (operations > 0) runs()[name].emplace_back(operations, static_cast<double>(switches) / operations);
}

double nsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t).count();
}

void BM_RoundTripRaw(benchmark::State& state) {
  const std::set<int> others = threadIds();
  devsim::Device device;
  devsim::TcpFrontEnd tcp(device);
  std::set<int> sim = threadIds();
  for (int t : others) sim.erase(t);
  const int fd = connectLoopback(tcp.port());
  const uint8_t request[2] = {0xAD, 0x00};
  uint8_t reply[2];
  double total = 0, count = 0;
  const std::map<int, long> before = switchesByThread();
  for (auto _ : state) {
    const auto t = std::chrono::steady_clock::now();
    if (write(fd, request, 2) != 2 || !readExactly(fd, reply, 2, 2000)) {
      state.SkipWithError("raw round trip failed");
      break;
    }
    total += nsSince(t);
    count++;
  }
  recordSwitches("switches_raw", clientSwitches(before, switchesByThread(), sim), count);
  close(fd);
  record(state, "roundtrip_raw", total, count);
}

uint8_t matchSyncReply(const aPacket* p, void*) { return p->address == 0x04 && p->dataSize == 0; }

void BM_RoundTripLink(benchmark::State& state) {
  const std::set<int> others = threadIds();
  devsim::Device device;
  devsim::TcpFrontEnd tcp(device);
  std::set<int> sim = threadIds();
  for (int t : others) sim.erase(t);
  aLinkRef id = aLink_CreateTCPIP(kSerial, loopback(), tcp.port());
  if (id == 0) {
    state.SkipWithError("no link");
    return;
  }
  aPacket* request = aPacket_CreateWithData(0xAD, 0, reinterpret_cast<const uint8_t*>(""));
  double total = 0, count = 0;
  const std::map<int, long> before = switchesByThread();
  for (auto _ : state) {
    const auto t = std::chrono::steady_clock::now();
    aLink_PutPacket(id, request);
    aPacket* reply = aLink_AwaitFirst(id, matchSyncReply, nullptr, 2000);
    if (reply == nullptr) {
      state.SkipWithError("link round trip failed");
      break;
    }
    aPacket_Destroy(&reply);
    total += nsSince(t);
    count++;
  }
  recordSwitches("switches_link", clientSwitches(before, switchesByThread(), sim), count);
  aPacket_Destroy(&request);
  aLink_Destroy(&id);
  record(state, "roundtrip_link", total, count);
}

void BM_ThroughputRaw(benchmark::State& state) {
  const bool batched = state.range(0) != 0;
  Sink sink;
  const int fd = connectLoopback(sink.port());
  std::vector<uint8_t> packet(30, 0x11);
  packet[0] = 0x04;
  packet[1] = 28;
  std::vector<uint8_t> pool;
  for (int i = 0; i < 136; i++) pool.insert(pool.end(), packet.begin(), packet.end());
  uint64_t expected = 0;
  double total = 0, count = 0;
  for (auto _ : state) {
    const auto t = std::chrono::steady_clock::now();
    int left = kBurst;
    while (left > 0) {
      const int n = batched ? std::min(left, 136) : 1;
      const ssize_t w = write(fd, batched ? pool.data() : packet.data(), static_cast<size_t>(n) * 30);
      if (w != n * 30) {
        state.SkipWithError("raw write failed");
        break;
      }
      left -= n;
    }
    expected += kBurst * 30ull;
    sink.waitBytes(expected);
    total += nsSince(t);
    count += kBurst;
  }
  close(fd);
  record(state, batched ? "throughput_raw_batched" : "throughput_raw", total, count);
}

void BM_ThroughputLink(benchmark::State& state) {
  const bool pooled = state.range(0) != 0;
  Sink sink;
  aLinkRef id = aLink_CreateTCPIP(kSerial + 1, loopback(), sink.port());
  if (id == 0) {
    state.SkipWithError("no link");
    return;
  }
  aLink_EnablePooledPackets(id, pooled ? 1 : 0);
  const std::shared_ptr<aLink> link = sGetLink(id);
  uint8_t data[28];
  std::memset(data, 0x11, sizeof data);
  aPacket* packet = aPacket_CreateWithData(0x04, 28, data);
  sink.waitBytes(3);   // route-on
  uint64_t base = sink.bytes();
  double total = 0, count = 0;
  for (auto _ : state) {
    const auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurst; i++) {
      // The link's outgoing queue drops everything past its bound: it is kept below it,
      // looked at every kThrottleStride packets (a caller that writes in place, or fills
      // pools, never comes near it).
      if (i % kThrottleStride == 0 && !drained(link.get())) {
        state.SkipWithError("the outgoing queue did not drain");
        break;
      }
      aLink_PutPacket(id, packet);
    }
    base += kBurst * 30ull;
    sink.waitBytes(base);
    total += nsSince(t);
    count += kBurst;
  }
  aPacket_Destroy(&packet);
  aLink_Destroy(&id);
  record(state, pooled ? "throughput_link_pooled" : "throughput_link", total, count);
}

// Pooled packets handed over in batches (aLink_PutPackets, as a byte sequence's chunks
// are), 136 at a time.
void BM_ThroughputLinkBatches(benchmark::State& state) {
  Sink sink;
  aLinkRef id = aLink_CreateTCPIP(kSerial + 4, loopback(), sink.port());
  if (id == 0) {
    state.SkipWithError("no link");
    return;
  }
  aLink_EnablePooledPackets(id, 1);
  const std::shared_ptr<aLink> link = sGetLink(id);
  uint8_t data[28];
  std::memset(data, 0x11, sizeof data);
  std::vector<aPacket> batch(136);
  for (aPacket& p : batch) aPacket_Fill(&p, 0x04, 28, data);
  sink.waitBytes(3);   // route-on
  uint64_t base = sink.bytes();
  double total = 0, count = 0;
  for (auto _ : state) {
    const auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurst; i += 136) {
      if (!drained(link.get())) {
        state.SkipWithError("the outgoing queue did not drain");
        break;
      }
      const uint32_t n = static_cast<uint32_t>(std::min(136, kBurst - i));
      aLink_PutPackets(id, batch.data(), n);
    }
    base += kBurst * 30ull;
    sink.waitBytes(base);
    total += nsSince(t);
    count += kBurst;
  }
  aLink_Destroy(&id);
  record(state, "throughput_link_batches", total, count);
}

BENCHMARK(BM_RoundTripRaw)->UseRealTime();
BENCHMARK(BM_RoundTripLink)->UseRealTime();
BENCHMARK(BM_ThroughputRaw)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_ThroughputLink)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_ThroughputLinkBatches)->UseRealTime();

// Creation and destruction of a TCP/IP link to a module that is there, each timed on
// its own; the median of rounds.
void createAndDestroy(int rounds) {
  devsim::Device device;
  devsim::TcpFrontEnd tcp(device);
  std::vector<double> create, destroy;
  for (int i = 0; i < rounds; i++) {
    auto t = std::chrono::steady_clock::now();
    aLinkRef id = aLink_CreateTCPIP(kSerial + 3, loopback(), tcp.port());
    create.push_back(nsSince(t));
    if (id == 0) {
      std::printf("create/destroy: could not open a link\n");
      return;
    }
    t = std::chrono::steady_clock::now();
    aLink_Destroy(&id);
    destroy.push_back(nsSince(t));
  }
  std::sort(create.begin(), create.end());
  std::sort(destroy.begin(), destroy.end());
  std::printf("%-42s create %9.0f ns  destroy %9.0f ns  (medians of %d)\n", "link over TCP to the module",
              create[create.size() / 2], destroy[destroy.size() / 2], rounds);
}

void idleLink(int seconds) {
  devsim::Device device;
  devsim::TcpFrontEnd tcp(device);
  aLinkRef id = aLink_CreateTCPIP(kSerial + 2, loopback(), tcp.port());
  if (id == 0) {
    std::printf("idle link: could not open a link\n");
    return;
  }
  const double before = benchnet::cpuUse(RUSAGE_SELF).seconds;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double used = benchnet::cpuUse(RUSAGE_SELF).seconds - before;
  aLink_Destroy(&id);
  std::printf("idle link held open %d s: %.4f CPU seconds (process, simulator included)\n", seconds, used);
}

void ratio(const char* what, const char* link, const char* raw) {
  auto r = results();
  if (r.count(link) == 0 || r.count(raw) == 0) return;
  std::printf("%-42s link %9.0f ns  raw %9.0f ns  ratio %.2f\n", what, r[link], r[raw], r[link] / r[raw]);
}

}  // namespace

int main(int argc, char** argv) {
  int idleSeconds = 0;
  std::vector<char*> rest;
  for (int i = 0; i < argc; i++) {
    if (std::strcmp(argv[i], "--idle-seconds") == 0 && i + 1 < argc) {
      idleSeconds = std::atoi(argv[++i]);
      continue;
    }
    rest.push_back(argv[i]);
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n");
  ratio("request/reply round trip", "roundtrip_link", "roundtrip_raw");
  ratio("one-way packets, one write each", "throughput_link", "throughput_raw");
  ratio("one-way packets, pooled vs batched raw", "throughput_link_pooled", "throughput_raw_batched");
  ratio("one-way packets, pooled vs one write each", "throughput_link_pooled", "throughput_raw");
  ratio("pooled, put in batches vs batched raw", "throughput_link_batches", "throughput_raw_batched");
  auto r = results();
  if (r.count("switches_link") != 0 && r.count("switches_raw") != 0)
    std::printf("%-42s link %9.2f     raw %9.2f\n", "context switches per round trip (client)", r["switches_link"],
                r["switches_raw"]);
  createAndDestroy(21);
  if (idleSeconds > 0) idleLink(idleSeconds);
  return 0;
}

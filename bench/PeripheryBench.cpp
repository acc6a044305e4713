// Speed of the library's periphery beside raw baselines measured in the same run:
// - streaming: callback latency (p50/p99) at 1000 samples/s, and the sample rates a
//   Link takes without dropping a callback, beside the raw one-way packet rate of a
//   loopback socket and of a bare core link;
// - store slots and factory data: 4 KiB and 64 KiB transfers beside their round-trip
//   floor (round trips x the raw loopback round trip to the same simulated module);
// - packet logging: round trip and pooled throughput with logging on and off, and the
//   log records lost at the link's sustained rates;
// - idle CPU of the streaming worker and of the logger thread.
// Not a test: run it by hand inside `unshare --net` with lo up, and read the ratios.
//   periphery_bench [--idle-seconds N] [--samples N]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/Link.h"
#include "bench/Loopback.h"
#include "common/aLink.h"
#include "common/unix/aTime.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"
#include "tests/support/Threads.h"

namespace {

using Quenlark::Tallowick::Link;
using Quenlark::Tallowick::QuivelConfig;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

using benchnet::connectLoopback;
using benchnet::listenLoopback;
using benchnet::loopback;
using benchnet::readExactly;
using benchnet::writeAll;

uint64_t nowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

linkSpec tcpSpec(uint32_t serial, uint16_t port) {
  linkSpec s;
  std::memset(&s, 0, sizeof s);
  s.type = kLinkTypeTCPIP;
  s.serialNumber = serial;
  s.module = 0x04;
  s.t.ip.address = loopback();
  s.t.ip.port = port;
  return s;
}

std::unique_ptr<Link> connectLink(uint32_t serial, uint16_t port) {
  auto link = std::make_unique<Link>(tcpSpec(serial, port), "bench");
  QuivelConfig off;
  off.enabled = 0;
  off.fallback = 0;
  link->setConfig(off);
  if (link->connect() != aErrNone) return nullptr;
  return link;
}

// A 17-byte u32 sample of command 3, option 7 from module 4, with the timestamp given.
Bytes sampleWire(uint64_t timestamp, uint32_t value) {
  Bytes b = {0x04, 17, 0x03, 0x07, 0x40, 0x03};
  for (int i = 7; i >= 0; i--) b.push_back(static_cast<uint8_t>(timestamp >> (i * 8)));
  for (int i = 3; i >= 0; i--) b.push_back(static_cast<uint8_t>(value >> (i * 8)));
  b.push_back(0x00);
  return b;
}

// A module stand-in for streaming: acknowledges the stream control requests and sends
// samples as fast or as paced as asked, straight from a socket.
class SamplePeer {
 public:
  SamplePeer() {
    listenFd_ = listenLoopback(&port_);
    thread_ = std::thread([this] { run(); });
  }
  ~SamplePeer() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
    close(listenFd_);
  }
  uint16_t port() const { return port_; }
  bool waitConnected() const {
    const aTime end = aTime_GetMonotonicMSTicks() + 3000;
    while (connected_.load() < 0) {
      if (aTime_GetMonotonicMSTicks() > end) return false;
      aTime_MSSleep(1);
    }
    return true;
  }
  // Sends count samples, batch of them per write, rate per second (0: as fast as the
  // socket takes them). Each carries its send time in nanoseconds as its timestamp.
  void send(uint64_t count, uint64_t rate, unsigned batch) {
    const int fd = connected_.load();
    std::vector<uint8_t> buffer;
    const auto start = Clock::now();
    for (uint64_t sent = 0; sent < count;) {
      if (rate > 0) {
        const auto due = start + std::chrono::nanoseconds(sent * 1000000000ull / rate);
        std::this_thread::sleep_until(due);
      }
      buffer.clear();
      const uint64_t n = std::min<uint64_t>(batch, count - sent);
      const uint64_t stamp = nowNs();
      for (uint64_t i = 0; i < n; i++) {
        const Bytes s = sampleWire(stamp, static_cast<uint32_t>(sent + i));
        buffer.insert(buffer.end(), s.begin(), s.end());
      }
      if (!writeAll(fd, buffer.data(), buffer.size())) return;
      sent += n;
    }
  }

 private:
  void run() {
    while (!stop_ && fd_ < 0) {
      pollfd p{listenFd_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) fd_ = accept(listenFd_, nullptr, nullptr);
    }
    if (fd_ < 0) return;
    benchnet::setNoDelay(fd_);
    connected_ = fd_;
    Bytes pending;
    uint8_t buffer[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.insert(pending.end(), buffer, buffer + n);
      while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
        const Bytes packet(pending.begin(), pending.begin() + 2 + pending[1]);
        pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
        // [04][07][5D 81|82 20 m c o i]: acknowledge with [04][03][5D C1|C2 00].
        if (packet.size() == 9 && packet[2] == 0x5D && (packet[3] == 0x81 || packet[3] == 0x82)) {
          const uint8_t ack[] = {0x04, 0x03, 0x5D, static_cast<uint8_t>(packet[3] | 0x40), 0x00};
          writeAll(fd_, ack, sizeof ack);
        }
      }
    }
  }

  int listenFd_ = -1;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connected_{-1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Counts what arrives on one accepted connection.
class Sink {
 public:
  Sink() {
    listenFd_ = listenLoopback(&port_);
    thread_ = std::thread([this] { run(); });
  }
  ~Sink() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
  }
  uint16_t port() const { return port_; }
  uint64_t bytes() const { return bytes_; }
  bool waitBytes(uint64_t n) const {
    const aTime end = aTime_GetMonotonicMSTicks() + 10000;
    while (bytes_ < n) {
      if (aTime_GetMonotonicMSTicks() > end) return false;
      std::this_thread::yield();
    }
    return true;
  }

 private:
  void run() {
    int fd = -1;
    uint8_t buffer[65536];
    while (!stop_) {
      pollfd p{fd < 0 ? listenFd_ : fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (fd < 0) {
        fd = accept(listenFd_, nullptr, nullptr);
        continue;
      }
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) bytes_ += static_cast<uint64_t>(n);
    }
    if (fd >= 0) close(fd);
  }
  int listenFd_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::thread thread_;
};

// --- threads' CPU ------------------------------------------------------------------------

double threadCpuSeconds(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  uint64_t ns = 0;
  in >> ns;
  return static_cast<double>(ns) / 1e9;
}

// The CPU share of threads over seconds.
double share(const std::vector<int>& threads, int seconds) {
  double cpu0 = 0;
  for (int t : threads) cpu0 += threadCpuSeconds(t);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double cpu = 0;
  for (int t : threads) cpu += threadCpuSeconds(t);
  return (cpu - cpu0) / seconds;
}

// The threads that starts made.
std::vector<int> newThreads(const std::function<void()>& starts) {
  const std::set<int> before = testsupport::threadIds();
  starts();
  aTime_MSSleep(200);   // let the new threads settle into their idle loops
  std::vector<int> fresh;
  for (int t : testsupport::threadIds())
    if (before.count(t) == 0) fresh.push_back(t);
  return fresh;
}

// --- streaming ---------------------------------------------------------------------------

struct Percentiles {
  double p50 = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double> v) {
  Percentiles p;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  p.p50 = v[v.size() / 2];
  p.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  return p;
}

void streaming(uint64_t samples) {
  std::printf("== streaming\n");
  // Raw: one-way 19-byte packets through a loopback socket, read as they come.
  {
    Sink sink;
    const int fd = connectLoopback(sink.port());
    const Bytes one = sampleWire(0, 0);
    Bytes batch;
    for (int i = 0; i < 100; i++) batch.insert(batch.end(), one.begin(), one.end());
    const auto t = Clock::now();
    for (uint64_t i = 0; i < samples; i += 100) writeAll(fd, batch.data(), batch.size());
    sink.waitBytes(samples * one.size());
    std::printf("raw socket, one-way 19-byte packets:        %10.0f packets/s\n", samples / secondsSince(t));
    close(fd);
  }
  // A bare core link whose filter consumes and counts every packet.
  {
    SamplePeer peer;
    aLinkRef id = aLink_CreateTCPIP(0xBE0C1001, loopback(), peer.port());
    if (id == 0 || !peer.waitConnected()) {
      std::printf("core link: no link\n");
      return;
    }
    static std::atomic<uint64_t> counted{0};
    counted = 0;
    aLink_InstallUserPacketFilter(
        id, [](const aPacket*, void*) -> uint8_t { return static_cast<uint8_t>(++counted, 1); }, nullptr);
    const auto t = Clock::now();
    peer.send(samples, 0, 100);
    const aTime end = aTime_GetMonotonicMSTicks() + 30000;
    while (counted.load() < samples && aTime_GetMonotonicMSTicks() < end) std::this_thread::yield();
    std::printf("core link, one-way 19-byte packets:         %10.0f packets/s (%llu of %llu)\n",
                counted.load() / secondsSince(t), static_cast<unsigned long long>(counted.load()),
                static_cast<unsigned long long>(samples));
    aLink_Destroy(&id);
  }
  // Streaming callbacks: latency at 1000/s, then rates until callbacks are dropped.
  SamplePeer peer;
  auto link = connectLink(0xBE0C1002, peer.port());
  if (!link || !peer.waitConnected()) {
    std::printf("streaming: no link\n");
    return;
  }
  std::atomic<uint64_t> calls{0};
  std::vector<double> latencies;
  latencies.reserve(samples + 16);
  std::atomic<bool> measuring{false};
  auto callback = [&](const aPacket* p, void*) -> uint8_t {
    uint64_t ts = 0;
    Link::getStreamSample(p, &ts, nullptr, nullptr);
    if (measuring.load()) latencies.push_back(static_cast<double>(nowNs() - ts) / 1000.0);
    calls++;
    return 0;
  };
  if (link->registerStreamCallback(0x04, 3, 7, 0, true, callback, nullptr) != aErrNone) {
    std::printf("streaming: registration refused\n");
    return;
  }
  measuring = true;
  peer.send(5000, 1000, 1);
  const aTime end = aTime_GetMonotonicMSTicks() + 5000;
  while (calls.load() < 5000 && aTime_GetMonotonicMSTicks() < end) aTime_MSSleep(1);
  measuring = false;
  const Percentiles p = percentiles(latencies);
  std::printf("callback latency at 1000 samples/s:         p50 %.0f us, p99 %.0f us (goal p99 <= 2000 us)\n", p.p50,
              p.p99);
  for (uint64_t rate : {50000ull, 100000ull, 200000ull, 0ull}) {
    calls = 0;
    const uint64_t n = rate == 0 ? samples : std::min<uint64_t>(samples, rate * 2);
    const auto t = Clock::now();
    peer.send(n, rate, 50);
    // Done when the callbacks stop coming.
    uint64_t last = UINT64_MAX;
    while (calls.load() != last) {
      last = calls.load();
      aTime_MSSleep(50);
    }
    const double seconds = secondsSince(t) - 0.05;
    char label[64];
    std::snprintf(label, sizeof label, rate == 0 ? "as fast as sent" : "paced at %llu/s",
                  static_cast<unsigned long long>(rate));
    std::printf("streaming callbacks, %-21s %10.0f samples/s, %llu of %llu run, %llu dropped\n", label, last / seconds,
                static_cast<unsigned long long>(last), static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(n - last));
  }
  link->registerStreamCallback(0x04, 3, 7, 0, false, nullptr, nullptr);
}

// --- slots and factory data --------------------------------------------------------------

struct Sim {
  Sim() {
    front = std::make_shared<devsim::model::Module>();
    network = std::make_shared<devsim::model::Network>(front);
    device = std::make_unique<devsim::Device>();
    devsim::model::Network::attach(*device, network);
    tcp = std::make_unique<devsim::TcpFrontEnd>(*device);
  }
  std::shared_ptr<devsim::model::Module> front;
  std::shared_ptr<devsim::model::Network> network;
  std::unique_ptr<devsim::Device> device;
  std::unique_ptr<devsim::TcpFrontEnd> tcp;
};

// The raw round trip: the system entity's model query straight over a socket.
double rawRoundTripSeconds(uint16_t port, int rounds) {
  const int fd = connectLoopback(port);
  const uint8_t query[] = {0x04, 0x03, 0x03, 0x48, 0x20};
  uint8_t reply[6];
  for (int i = 0; i < 100; i++) {
    writeAll(fd, query, sizeof query);
    readExactly(fd, reply, sizeof reply, 2000);
  }
  const auto t = Clock::now();
  for (int i = 0; i < rounds; i++) {
    writeAll(fd, query, sizeof query);
    if (!readExactly(fd, reply, sizeof reply, 2000)) break;
  }
  const double s = secondsSince(t) / rounds;
  close(fd);
  return s;
}

void transfers() {
  std::printf("== store slots and factory data (64 KiB = 65535 bytes: the wire counts in 16 bits)\n");
  Sim sim;
  sim.front->setSlot(0, 1, 65535);
  sim.front->setFactoryCapacity(65535);
  const double rtt = rawRoundTripSeconds(sim.tcp->port(), 5000);
  std::printf("raw loopback round trip to the module:      %.1f us\n", rtt * 1e6);
  auto link = connectLink(sim.front->value(devsim::model::kCmdSystem, 9), sim.tcp->port());
  if (!link) {
    std::printf("no link\n");
    return;
  }
  // The same request through the Link: what one round trip of a transfer costs at best.
  const uint8_t query[] = {0x48, 0x20};
  const uint8_t match[] = {0x03, 0x08};
  const auto t0 = Clock::now();
  for (int i = 0; i < 5000; i++) {
    link->sendPacket(4, 0x03, sizeof query, query);
    uint8_t count = sizeof match, out[28];
    link->receivePacket(4, match, &count, out);
  }
  const double linkRtt = secondsSince(t0) / 5000;
  std::printf("link round trip to the module:              %.1f us (%.2f x raw)\n", linkRtt * 1e6, linkRtt / rtt);
  for (size_t size : {size_t(4096), size_t(65535)}) {
    Bytes data(size), back(size + 1);
    for (size_t i = 0; i < size; i++) data[i] = static_cast<uint8_t>(i * 13);
    uint64_t count = 0;
    struct Row {
      const char* name;
      uint64_t roundTrips;
      std::function<aErr()> run;
    } rows[] = {
        {"slot write", (size + 24) / 25 + 2, [&] { return link->loadStoreSlot(4, 0, 1, data.data(), size); }},
        {"slot read", (size + 24) / 25 + 3,
         [&] { return link->unloadStoreSlot(4, 0, 1, back.data(), size, &count); }},
        {"factory write", (size + 25) / 26 + 1, [&] { return link->setFactoryData(4, 2, data.data(), size); }},
        {"factory read", size / 26 + 2,
         [&] { return link->getFactoryData(4, 2, back.data(), size + 1, &count); }},
    };
    for (const Row& r : rows) {
      r.run();   // warm
      const int repeats = size > 8192 ? 3 : 20;
      const auto t = Clock::now();
      aErr e = aErrNone;
      for (int i = 0; i < repeats && e == aErrNone; i++) e = r.run();
      const double s = secondsSince(t) / repeats;
      const double floor = static_cast<double>(r.roundTrips) * rtt;
      std::printf("%-13s %5zu bytes: %8.2f ms, floor %7.2f ms (%4llu round trips), ratio %.2f (%.2f of link round "
                  "trips), %4.0f KB/s%s\n",
                  r.name, size, s * 1e3, floor * 1e3, static_cast<unsigned long long>(r.roundTrips), s / floor,
                  s / (static_cast<double>(r.roundTrips) * linkRtt), size / s / 1000.0,
                  e == aErrNone ? "" : "  FAILED");
    }
  }
}

// --- packet logging ----------------------------------------------------------------------

size_t countLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  size_t n = 0;
  std::string line;
  while (std::getline(in, line)) n++;
  return n;
}

// Waits until the file stops growing; its line count.
size_t settledLines(const std::string& path) {
  size_t last = SIZE_MAX, now = countLines(path);
  while (now != last) {
    aTime_MSSleep(100);
    last = now;
    now = countLines(path);
  }
  return now;
}

void logging(int rounds) {
  std::printf("== packet logging\n");
  char dir[] = "/tmp/periphery-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  const std::string path = std::string(dir) + "/link.log";
  Sim sim;
  auto link = connectLink(sim.front->value(devsim::model::kCmdSystem, 9), sim.tcp->port());
  if (!link) {
    std::printf("no link\n");
    return;
  }
  const uint8_t query[] = {0x48, 0x20};
  const uint8_t match[] = {0x03, 0x08};
  // Each round trip's time, in microseconds, into times.
  auto roundTrips = [&](int n, std::vector<double>& times) {
    for (int i = 0; i < n; i++) {
      const auto t = Clock::now();
      link->sendPacket(4, 0x03, sizeof query, query);
      uint8_t count = sizeof match, out[28];
      if (link->receivePacket(4, match, &count, out) != aErrNone) break;
      times.push_back(secondsSince(t) * 1e6);
    }
  };
  std::vector<double> warm, off, on;
  roundTrips(500, warm);
  // Short blocks, alternating: on this machine a round trip takes one of two times
  // depending on how the threads meet, and that must not decide which side wins.
  constexpr int kBlocks = 16;
  size_t expected = 0, lines = 0;
  for (int block = 0; block < kBlocks; block++) {
    roundTrips(rounds / kBlocks, off);
    link->enablePacketLog(path.c_str());
    roundTrips(rounds / kBlocks, on);
    // The logger writes what the ring holds before it is stopped.
    lines = settledLines(path);
    link->disablePacketLog();
    expected += 1 + 2 * static_cast<size_t>(rounds / kBlocks);
  }
  auto mean = [](const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
  };
  const Percentiles pOff = percentiles(off), pOn = percentiles(on);
  std::printf("round trip, logging off / on, median:       %.1f us / %.1f us, cost %+.1f%% (goal <= 10%%)\n", pOff.p50,
              pOn.p50, (pOn.p50 / pOff.p50 - 1) * 100);
  std::printf("round trip, logging off / on, mean:         %.1f us / %.1f us, cost %+.1f%%\n", mean(off), mean(on),
              (mean(on) / mean(off) - 1) * 100);
  std::printf("log lines at the round-trip rate:           %zu of %zu, %zd lost\n", lines, expected,
              static_cast<ssize_t>(expected) - static_cast<ssize_t>(lines));
  std::remove(path.c_str());

  // Pooled one-way throughput into a sink.
  Sink sink;
  auto pooled = connectLink(0xBE0C1003, sink.port());
  if (!pooled) return;
  pooled->enablePooledPackets(true);
  sink.waitBytes(3);
  uint8_t data[27];
  std::memset(data, 0x11, sizeof data);
  constexpr int kBurst = 2000, kInFlight = 400, kBursts = 20;
  uint64_t base = sink.bytes();
  auto throughput = [&]() {
    const auto t = Clock::now();
    for (int b = 0; b < kBursts; b++) {
      for (int i = 0; i < kBurst; i++) {
        while (static_cast<int64_t>(i) - static_cast<int64_t>((sink.bytes() - base) / 30) > kInFlight)
          std::this_thread::yield();
        pooled->sendPacket(4, 0x11, sizeof data, data);
      }
      base += kBurst * 30ull;
      sink.waitBytes(base);
    }
    return kBurst * kBursts / secondsSince(t);
  };
  // Off and on alternate, and each reports its median: one burst series is short enough
  // for another program's load on the machine to decide it.
  throughput();
  constexpr int kRounds = 5;
  std::vector<double> ratesOff, ratesOn;
  for (int round = 0; round < kRounds; round++) {
    ratesOff.push_back(throughput());
    pooled->enablePacketLog(path.c_str());
    ratesOn.push_back(throughput());
    settledLines(path);
    pooled->disablePacketLog();
  }
  const size_t pooledLines = countLines(path);
  std::sort(ratesOff.begin(), ratesOff.end());
  std::sort(ratesOn.begin(), ratesOn.end());
  const double rateOff = ratesOff[kRounds / 2], rateOn = ratesOn[kRounds / 2];
  std::printf("pooled one-way, logging off / on:           %.0f / %.0f packets/s, %.0f%% (goal >= 80%%)\n", rateOff,
              rateOn, rateOn / rateOff * 100);
  std::printf("log lines at the pooled rate:               %zu of %d, %d lost\n", pooledLines,
              kRounds * (1 + kBurst * kBursts), kRounds * (1 + kBurst * kBursts) - static_cast<int>(pooledLines));
  std::remove(path.c_str());
  rmdir(dir);
}

// --- idle --------------------------------------------------------------------------------

void idle(int seconds) {
  std::printf("== idle threads (%d s each)\n", seconds);
  SamplePeer peer;
  auto link = connectLink(0xBE0C1004, peer.port());
  if (!link || !peer.waitConnected()) return;
  const std::vector<int> worker = newThreads([&] {
    link->registerStreamCallback(0x04, 3, 7, 0, true, [](const aPacket*, void*) -> uint8_t { return 0; }, nullptr);
  });
  std::printf("streaming worker, registered, no samples:   %.3f%% of a core (%zu thread, goal < 0.5%%)\n",
              share(worker, seconds) * 100, worker.size());
  link->registerStreamCallback(0x04, 3, 7, 0, false, nullptr, nullptr);
  char dir[] = "/tmp/periphery-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  const std::string path = std::string(dir) + "/idle.log";
  const std::vector<int> logger = newThreads([&] { link->enablePacketLog(path.c_str()); });
  std::printf("logger thread, quiet link:                  %.3f%% of a core (%zu thread, goal < 0.5%%)\n",
              share(logger, seconds) * 100, logger.size());
  link->disconnect();
  std::printf("logger thread, its core link gone:          %.3f%% of a core\n", share(logger, seconds) * 100);
  link.reset();
  std::remove(path.c_str());
  rmdir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  int idleSeconds = 5;
  uint64_t samples = 200000;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--idle-seconds") == 0 && i + 1 < argc) idleSeconds = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--samples") == 0 && i + 1 < argc) samples = std::strtoull(argv[++i], nullptr, 10);
  }
  streaming(samples);
  transfers();
  logging(8000);
  idle(idleSeconds);
  return 0;
}

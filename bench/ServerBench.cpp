// server_bench: the round trip of a 30-byte request to the simulated module (in this
// process, over loopback TCP) through a local link server, beside baselines measured in
// the same run:
//   raw socket      a plain TCP socket to the simulated module (the module's own cost)
//   direct link     a TCP/IP device link (aLink_PutPacket, aLink_AwaitFirst)
//   DEALER-ROUTER   one ZeroMQ hop: a DEALER to a ROUTER echo thread of this process
//   server: DEALER  a CZMQ DEALER straight to the server's frontend
//   server: client  the server's own client link (what a Module with the default
//                   configuration uses)
// Then every round trip of the client link (median, 99th percentile, longest, how many
// over 2 s), the CPU the process takes over an idle period with the server up, and the
// fair share (how long another client's echo waits behind a client with 60 unanswered
// requests, and after a client's 20,000 random frames), and (built with the test
// support) what crowds of 1,000 and 2,000 Python clients cost the process: its resident
// memory before, at the peak and 5 s after, for clients that only connect (ZeroMQ's own
// cost per connection, the baseline) and for clients that each pipeline 1,024 echoes
// (`--crowd N` for one other size, 0 for none). Not a
// test: it prints figures and ratios, and judges nothing. Run it by hand inside
// `unshare --net` with lo up (the server answers loopback discovery only when asked, but
// it sends nothing anywhere else either way):
//   server_bench [--rounds N] [--idle-seconds S] [--crowd N]
#include <sys/resource.h>
#include <unistd.h>

#include <czmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "bench/CpuUse.h"
#include "bench/EchoRoundTrip.h"
#include "bench/Loopback.h"
#include "common/aLink.h"
#include "common/transport/aZSys.h"
#include "tests/sim/ModelSim.h"
#ifdef LINKSERVER_PEERS_DIR
#include <atomic>
#include <fstream>
#include <string>

#include "tests/support/BackgroundProcess.h"
#endif

namespace {

using benchnet::kEchoRequestSize;
using benchnet::loopback;
using benchnet::measure;
using benchnet::Times;

constexpr uint8_t kModule = 0x04;
constexpr double kSlowMicros = 2e6;

Times rawSocket(int rounds) {
  simtest::ModelSim sim(kModule);
  const int fd = benchnet::connectLoopback(sim.tcp->port());
  Times t;
  t.failed = true;
  if (fd >= 0) {
    const std::vector<uint8_t> r = benchnet::echoRequest(kModule);
    t = measure(rounds, [&] {
      uint8_t back[kEchoRequestSize];
      return write(fd, r.data(), r.size()) == static_cast<ssize_t>(r.size()) &&
             benchnet::readExactly(fd, back, sizeof back);
    });
    close(fd);
  }
  return t;
}

Times linkRoundTrips(int rounds, aLinkRef link) { return benchnet::linkRoundTrips(rounds, link, kModule, 5000); }

Times directLink(int rounds) {
  simtest::ModelSim sim(kModule);
  aLinkRef link = aLink_CreateTCPIP(0x1234, loopback(), sim.tcp->port());
  if (link == 0) return Times{{}, true};
  Times t = linkRoundTrips(rounds, link);
  aLink_Destroy(&link);
  return t;
}

// A DEALER on the server's frontend that sends raw frames.
struct Dealer {
  explicit Dealer(uint16_t port) : socket(zsock_new(ZMQ_DEALER)) {
    zsock_set_linger(socket, 0);
    zsock_connect(socket, "tcp://127.0.0.1:%u", static_cast<unsigned>(port));
  }
  ~Dealer() { zsock_destroy(&socket); }
  void send(const std::vector<uint8_t>& bytes) { zsock_send(socket, "b", bytes.data(), bytes.size()); }
  // Milliseconds until the echo of request comes back (other frames are skipped), -1
  // after 20 s.
  double echoMs(const std::vector<uint8_t>& request) {
    const auto start = std::chrono::steady_clock::now();
    send(request);
    zsock_set_rcvtimeo(socket, 1000);
    for (int turn = 0; turn < 20; turn++) {
      zframe_t* back = zframe_recv(socket);
      const bool echo = back != nullptr && zframe_size(back) == request.size() &&
                        std::memcmp(zframe_data(back), request.data(), request.size()) == 0;
      zframe_destroy(&back);
      if (echo) return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    return -1;
  }
  zsock_t* socket;
};

// Frames of random bytes, none to the module itself (whose settings they could change):
// packets with a true length byte, packets whose length byte lies, and any bytes.
std::vector<std::vector<uint8_t>> randomFrames(size_t count) {
  std::mt19937 random(23);
  std::vector<std::vector<uint8_t>> frames;
  while (frames.size() < count) {
    std::vector<uint8_t> f(random() % 41);
    for (uint8_t& b : f) b = static_cast<uint8_t>(random());
    if (f.size() >= 2 && random() % 2 == 0) {
      f.resize(std::min<size_t>(f.size(), 30));
      f[1] = static_cast<uint8_t>(f.size() - 2);
    }
    if (!f.empty() && f[0] == kModule) continue;
    frames.push_back(f);
  }
  return frames;
}

// How long other clients wait while one client has 60 requests to a module that never
// answers, and after one client sent 20,000 random frames (the worst of three echoes).
void fairShare(uint16_t port, aLinkRef client) {
  std::vector<uint8_t> echo = benchnet::echoRequest(kModule);
  Dealer other(port);
  other.echoMs(echo);   // connected before anything is timed
  double worst = 0;
  {
    Dealer stuck(port);
    std::vector<uint8_t> silent = echo;
    silent[0] = 0x06;   // nobody there
    for (int i = 0; i < 60; i++) stuck.send(silent);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 3; i++) worst = std::max(worst, other.echoMs(echo));
  }
  std::printf("fair share: a client with 60 unanswered requests waiting: another client's echo in %.0f ms (worst of 3)\n",
              worst);
  // The stuck client has gone with its requests; the one in progress ends within the
  // server's reply wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  Dealer noisy(port);
  for (const auto& f : randomFrames(20000)) noisy.send(f);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  worst = 0;
  for (int i = 0; i < 3; i++) worst = std::max(worst, other.echoMs(echo));
  const Times link = linkRoundTrips(3, client);
  std::printf("fair share: after 20,000 random frames from one client: another client's echo in %.0f ms, the client "
              "link's in %.0f ms (worst of 3)\n",
              worst, link.failed || link.micros.empty() ? -1.0 : link.micros.back() / 1000);
}

#ifdef LINKSERVER_PEERS_DIR
long residentMB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

struct Crowd {
  long before = 0, peak = 0, after = 0;
};

// A crowd of clients on the frontend: each sends `what` ("open N HEX" or "fill N M"),
// then they all leave; the process's resident memory before, at its highest until they
// left, and 5 s after.
Crowd crowd(uint16_t port, const std::string& what) {
  Crowd c;
  auto peer = testsupport::BackgroundProcess::python(std::string(LINKSERVER_PEERS_DIR) + "/crowd_client.py",
                                                     {"--connect", "tcp://127.0.0.1:" + std::to_string(port)});
  if (!peer->waitFor("READY")) return c;
  c.before = residentMB();
  std::atomic<bool> done{false};
  std::atomic<long> peak{c.before};
  std::thread sampler([&] {
    while (!done) {
      peak = std::max(peak.load(), residentMB());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  peer->send(what);
  peer->waitFor(what.compare(0, 4, "open") == 0 ? "OPENED" : "FILLED", 1, 120000);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  peer->send("leave");
  peer->waitFor("LEFT", 1, 60000);
  done = true;
  sampler.join();
  c.peak = peak;
  std::this_thread::sleep_for(std::chrono::seconds(5));
  c.after = residentMB();
  peer->send("quit");
  return c;
}

void crowds(uint16_t port, const std::vector<int>& sizes) {
  for (int n : sizes) {
    const Crowd idle = crowd(port, "open " + std::to_string(n) + " ad00");
    const Crowd full = crowd(port, "fill " + std::to_string(n) + " 1024");
    std::printf("crowd of %d clients: only connected: %ld MB before, %ld at the peak, %ld 5 s after; each pipelining "
                "1,024 echoes: %ld, %ld (+%ld), %ld (+%ld)\n",
                n, idle.before, idle.peak, idle.after, full.before, full.peak, full.peak - full.before, full.after,
                full.after - full.before);
    if (idle.peak > idle.before)
      std::printf("        growth at the peak, pipelining / only connected   %.2f\n",
                  static_cast<double>(full.peak - full.before) / static_cast<double>(idle.peak - idle.before));
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20000;
  int idleSeconds = 10;
  std::vector<int> crowdSizes = {1000, 2000};
  for (int i = 1; i + 1 < argc; i++) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(100, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--crowd") == 0) {
      const int n = std::atoi(argv[i + 1]);
      crowdSizes = n > 0 ? std::vector<int>{n} : std::vector<int>{};
    }
  }
  aZSys_Init();
  std::printf("round trip of a %zu-byte request to the simulated module, %d rounds (microseconds)\n", kEchoRequestSize,
              rounds);
  const Times raw = rawSocket(rounds);
  const Times direct = directLink(rounds);
  const Times hop = benchnet::zeroMqHop(rounds, kModule);

  simtest::ModelSim sim(kModule);
  const aLinkRef device = aLink_CreateTCPIP(0x1234, loopback(), sim.tcp->port());
  uint16_t port = 0;
  uint32_t served = 0;
  aLinkRef client = device != 0 ? aLink_CreateServer(device, &port, &served, 1) : 0;
  if (client == 0) {
    std::fprintf(stderr, "no link server could be made\n");
    return 1;
  }
  const Times dealer = benchnet::dealerRoundTrips(rounds, port, kModule);
  const Times viaServer = linkRoundTrips(rounds, client);

  std::printf("                                   median      p99  longest\n");
  auto row = [](const char* what, const Times& t) {
    if (t.failed || t.micros.empty()) {
      std::printf("  %-30s   failed\n", what);
      return;
    }
    std::printf("  %-30s %8.1f %8.1f %8.1f\n", what, t.median(), t.at(0.99), t.micros.back());
  };
  row("raw socket to the module", raw);
  row("direct TCP/IP link", direct);
  row("one DEALER-ROUTER hop (echo)", hop);
  row("server: raw DEALER client", dealer);
  row("server: its client link", viaServer);
  const auto slow = std::count_if(viaServer.micros.begin(), viaServer.micros.end(), [](double us) { return us > kSlowMicros; });
  std::printf("client link through the server: %zu round trips, %ld over 2 s\n", viaServer.micros.size(),
              static_cast<long>(slow));
  if (direct.median() > 0 && raw.median() > 0) {
    std::printf("ratios: direct link / raw socket                 %.2f\n", direct.median() / raw.median());
    if (viaServer.median() > 0)
      std::printf("        server (client link) / direct link       %.2f\n", viaServer.median() / direct.median());
    if (dealer.median() > 0)
      std::printf("        server (raw DEALER) / direct link        %.2f\n", dealer.median() / direct.median());
    if (hop.median() > 0 && dealer.median() > 0)
      std::printf("        server (raw DEALER) / one ZeroMQ hop     %.2f\n", dealer.median() / hop.median());
  }

  // Idle: the server, its client link, the device link and the module stay up.
  const double before = benchnet::cpuUse(RUSAGE_SELF).seconds;
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("idle for %.1f s with the server up: %.3f%% of a core (the whole process)\n", wall,
              100.0 * (benchnet::cpuUse(RUSAGE_SELF).seconds - before) / wall);
  fairShare(port, client);
#ifdef LINKSERVER_PEERS_DIR
  crowds(port, crowdSizes);
#endif
  aLink_Destroy(&client);
  return 0;
}

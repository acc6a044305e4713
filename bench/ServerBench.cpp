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
// over 2 s) and the CPU the process takes over an idle period with the server up. Not a
// test: it prints figures and ratios, and judges nothing. Run it by hand inside
// `unshare --net` with lo up (the server answers loopback discovery only when asked, but
// it sends nothing anywhere else either way):
//   server_bench [--rounds N] [--idle-seconds S]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/CpuUse.h"
#include "bench/EchoRoundTrip.h"
#include "bench/Loopback.h"
#include "common/aLink.h"
#include "common/transport/aZSys.h"
#include "tests/sim/ModelSim.h"

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

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20000;
  int idleSeconds = 10;
  for (int i = 1; i + 1 < argc; i++) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(100, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::max(1, std::atoi(argv[i + 1]));
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
  aLink_Destroy(&client);
  return 0;
}

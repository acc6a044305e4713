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
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aZSys.h"
#include "tests/sim/ModelSim.h"

namespace {

constexpr size_t kRequestSize = 30;
constexpr uint8_t kModule = 0x04;
constexpr double kSlowMicros = 2e6;

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// [04][1C][17 …]: an echo request of 28 data bytes that the module answers with itself.
std::vector<uint8_t> request() {
  std::vector<uint8_t> r(kRequestSize);
  r[0] = kModule;
  r[1] = kRequestSize - 2;
  r[2] = 0x17;
  for (size_t i = 3; i < kRequestSize; i++) r[i] = static_cast<uint8_t>(i);
  return r;
}

struct Times {
  std::vector<double> micros;   // sorted
  bool failed = false;
  double at(double fraction) const {
    if (micros.empty()) return -1;
    return micros[std::min(micros.size() - 1, static_cast<size_t>(fraction * static_cast<double>(micros.size())))];
  }
  double median() const { return failed ? -1 : at(0.5); }
};

Times measure(int rounds, const std::function<bool()>& roundTrip) {
  Times t;
  for (int i = 0; i < rounds / 10; i++) roundTrip();   // warm up
  for (int i = 0; i < rounds; i++) {
    const auto start = std::chrono::steady_clock::now();
    if (!roundTrip()) {
      t.failed = true;
      break;
    }
    t.micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(t.micros.begin(), t.micros.end());
  return t;
}

bool readAll(int fd, uint8_t* buffer, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, buffer + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

Times rawSocket(int rounds) {
  simtest::ModelSim sim(kModule);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = loopback();
  a.sin_port = htons(sim.tcp->port());
  Times t;
  t.failed = true;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::vector<uint8_t> r = request();
    t = measure(rounds, [&] {
      uint8_t back[kRequestSize];
      return write(fd, r.data(), r.size()) == static_cast<ssize_t>(r.size()) && readAll(fd, back, sizeof back);
    });
  }
  close(fd);
  return t;
}

uint8_t isEcho(const aPacket* packet, void*) { return packet->dataSize == kRequestSize - 2 && packet->data[0] == 0x17; }

Times linkRoundTrips(int rounds, aLinkRef link) {
  const std::vector<uint8_t> r = request();
  aPacket* packet = aPacket_CreateWithData(r[0], r[1], &r[2]);
  Times t = measure(rounds, [&] {
    if (aLink_PutPacket(link, packet) != aErrNone) return false;
    aPacket* back = aLink_AwaitFirst(link, isEcho, nullptr, 5000);
    const bool ok = back != nullptr;
    aPacket_Destroy(&back);
    return ok;
  });
  aPacket_Destroy(&packet);
  return t;
}

Times directLink(int rounds) {
  simtest::ModelSim sim(kModule);
  aLinkRef link = aLink_CreateTCPIP(0x1234, loopback(), sim.tcp->port());
  if (link == 0) return Times{{}, true};
  Times t = linkRoundTrips(rounds, link);
  aLink_Destroy(&link);
  return t;
}

Times dealerRoundTrips(int rounds, uint16_t port) {
  zsock_t* dealer = zsock_new(ZMQ_DEALER);
  zsock_connect(dealer, "tcp://127.0.0.1:%u", static_cast<unsigned>(port));
  const std::vector<uint8_t> r = request();
  Times t = measure(rounds, [&] {
    zframe_t* frame = zframe_new(r.data(), r.size());
    if (zframe_send(&frame, dealer, 0) != 0) return false;
    zframe_t* back = zframe_recv(dealer);
    const bool ok = back != nullptr && zframe_size(back) == kRequestSize;
    zframe_destroy(&back);
    return ok;
  });
  zsock_destroy(&dealer);
  return t;
}

Times oneHop(int rounds) {
  zsock_t* router = zsock_new(ZMQ_ROUTER);
  const int port = zsock_bind(router, "tcp://127.0.0.1:*");
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    zsock_set_rcvtimeo(router, 100);
    while (!stop) {
      zmsg_t* msg = zmsg_recv(router);
      if (msg != nullptr) zmsg_send(&msg, router);
    }
  });
  Times t = dealerRoundTrips(rounds, static_cast<uint16_t>(port));
  stop = true;
  echo.join();
  zsock_destroy(&router);
  return t;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
  std::printf("round trip of a %zu-byte request to the simulated module, %d rounds (microseconds)\n", kRequestSize,
              rounds);
  const Times raw = rawSocket(rounds);
  const Times direct = directLink(rounds);
  const Times hop = oneHop(rounds);

  simtest::ModelSim sim(kModule);
  const aLinkRef device = aLink_CreateTCPIP(0x1234, loopback(), sim.tcp->port());
  uint16_t port = 0;
  uint32_t served = 0;
  aLinkRef client = device != 0 ? aLink_CreateServer(device, &port, &served, 1) : 0;
  if (client == 0) {
    std::fprintf(stderr, "no link server could be made\n");
    return 1;
  }
  const Times dealer = dealerRoundTrips(rounds, port);
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
  const double before = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("idle for %.1f s with the server up: %.3f%% of a core (the whole process)\n", wall,
              100.0 * (cpuSeconds() - before) / wall);
  aLink_Destroy(&client);
  return 0;
}

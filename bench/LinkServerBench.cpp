// linkserver_bench: the round trip of a 30-byte request to the fake link server, through
// the library, beside raw baselines measured in the same run:
//   raw TCP       a plain loopback TCP socket to an echo thread of this process
//   raw ZeroMQ    a CZMQ DEALER to a ROUTER echo thread of this process (inproc-free, tcp)
//   raw to fake   a CZMQ DEALER straight to the fake link server (its own cost)
//   stream        the library's client stream to the fake (aStream write, byte reads)
//   client link   a client link to the fake (aLink_PutPacket, aLink_AwaitFirst)
// It prints medians and the ratios of the library's roads to the raw ones. Not a test:
// run it by hand inside `unshare --net` with lo up.
//   linkserver_bench [--rounds N]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/EchoRoundTrip.h"
#include "bench/Loopback.h"
#include "common/aLink.h"
#include "common/transport/aZMQStream.h"
#include "common/transport/aZSys.h"
#include "tests/support/BackgroundProcess.h"

namespace {

using benchnet::kEchoRequestSize;
using benchnet::loopback;
using benchnet::readExactly;

// The fake answers an echo request to module 4 with itself.
constexpr uint8_t kModule = 0x04;

double medianMicros(int rounds, const std::function<bool()>& roundTrip) {
  return benchnet::measure(rounds, roundTrip).median();
}

double rawTcp(int rounds) {
  uint16_t port = 0;
  const int listener = benchnet::listenLoopback(&port, 1);
  if (listener < 0) return -1;
  std::thread echo([listener] {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    benchnet::setNoDelay(fd);
    uint8_t buffer[kEchoRequestSize];
    while (readExactly(fd, buffer, sizeof buffer))
      if (write(fd, buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) break;
    close(fd);
  });
  const int fd = benchnet::connectLoopback(port);
  double median = -1;
  if (fd >= 0) {
    const std::vector<uint8_t> r = benchnet::echoRequest(kModule);
    median = medianMicros(rounds, [&] {
      uint8_t back[kEchoRequestSize];
      return write(fd, r.data(), r.size()) == static_cast<ssize_t>(r.size()) && readExactly(fd, back, sizeof back);
    });
    close(fd);
  } else {
    shutdown(listener, SHUT_RDWR);   // wakes the echo thread out of accept
  }
  echo.join();
  close(listener);
  return median;
}

double clientStream(int rounds, uint16_t port) {
  aStream* stream = nullptr;
  if (aStream_CreateClient(loopback(), port, &stream) != aErrNone) return -1;
  const std::vector<uint8_t> r = benchnet::echoRequest(kModule);
  const double median = medianMicros(rounds, [&] {
    if (aStream_Write(stream, r.data(), r.size()) != aErrNone) return false;
    uint8_t back[kEchoRequestSize];
    return aStream_Read(stream, back, sizeof back) == aErrNone ||
           aStream_Read(stream, back, sizeof back) == aErrNone;   // a read waits at most 1 s
  });
  aStream_Destroy(&stream);
  return median;
}

double clientLink(int rounds, uint16_t port) {
  aLinkRef link = aLink_CreateClient(loopback(), port, 0);
  if (link == 0) return -1;
  const double median = benchnet::linkRoundTrips(rounds, link, kModule, 2000).median();
  aLink_Destroy(&link);
  return median;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5000;
  for (int i = 1; i + 1 < argc; i++)
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(10, std::atoi(argv[i + 1]));
  aZSys_Init();
  auto fake = testsupport::BackgroundProcess::python(std::string(LINKSERVER_PEERS_DIR) + "/fake_link_server.py", {});
  const int port = std::atoi(fake->first("PORT").c_str());
  if (port <= 0) {
    std::fprintf(stderr, "the fake link server did not start\n");
    return 1;
  }
  std::printf("round trip of a %zu-byte request, median of %d (microseconds)\n", kEchoRequestSize, rounds);
  const double tcp = rawTcp(rounds);
  const double zmq = benchnet::zeroMqHop(rounds, kModule).median();
  const double toFake = benchnet::dealerRoundTrips(rounds, static_cast<uint16_t>(port), kModule).median();
  const double stream = clientStream(rounds, static_cast<uint16_t>(port));
  const double link = clientLink(rounds, static_cast<uint16_t>(port));
  std::printf("  raw TCP echo (this process)       %9.1f\n", tcp);
  std::printf("  raw DEALER-ROUTER echo (this proc) %8.1f\n", zmq);
  std::printf("  raw DEALER to the fake server      %8.1f\n", toFake);
  std::printf("  client stream to the fake server   %8.1f\n", stream);
  std::printf("  client link to the fake server     %8.1f\n", link);
  if (tcp > 0 && zmq > 0 && toFake > 0) {
    std::printf("ratios: raw ZeroMQ / raw TCP %.2f\n", zmq / tcp);
    if (stream > 0) std::printf("        client stream / raw DEALER to the fake %.2f\n", stream / toFake);
    if (link > 0) {
      std::printf("        client link / raw DEALER to the fake   %.2f\n", link / toFake);
      std::printf("        client link / raw TCP                  %.2f\n", link / tcp);
    }
  }
  return 0;
}

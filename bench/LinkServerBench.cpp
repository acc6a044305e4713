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
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aZMQStream.h"
#include "common/aZSys.h"
#include "tests/support/BackgroundProcess.h"

namespace {

constexpr size_t kRequestSize = 30;

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// [04][1C][17 …]: an echo request of 28 data bytes that the fake answers with itself.
std::vector<uint8_t> request() {
  std::vector<uint8_t> r(kRequestSize);
  r[0] = 0x04;
  r[1] = kRequestSize - 2;
  r[2] = 0x17;
  for (size_t i = 3; i < kRequestSize; i++) r[i] = static_cast<uint8_t>(i);
  return r;
}

double medianMicros(int rounds, const std::function<bool()>& roundTrip) {
  std::vector<double> times;
  for (int i = 0; i < rounds / 10; i++) roundTrip();   // warm up
  for (int i = 0; i < rounds; i++) {
    const auto start = std::chrono::steady_clock::now();
    if (!roundTrip()) return -1;
    times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
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

double rawTcp(int rounds) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = loopback();
  socklen_t length = sizeof a;
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  std::thread echo([listener] {
    const int fd = accept(listener, nullptr, nullptr);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t buffer[kRequestSize];
    while (readAll(fd, buffer, sizeof buffer))
      if (write(fd, buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) break;
    close(fd);
  });
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  double median = -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::vector<uint8_t> r = request();
    median = medianMicros(rounds, [&] {
      uint8_t back[kRequestSize];
      return write(fd, r.data(), r.size()) == static_cast<ssize_t>(r.size()) && readAll(fd, back, sizeof back);
    });
  }
  close(fd);
  echo.join();
  close(listener);
  return median;
}

double dealerRoundTrips(int rounds, uint16_t port) {
  zsock_t* dealer = zsock_new(ZMQ_DEALER);
  zsock_connect(dealer, "tcp://127.0.0.1:%u", static_cast<unsigned>(port));
  const std::vector<uint8_t> r = request();
  const double median = medianMicros(rounds, [&] {
    zframe_t* frame = zframe_new(r.data(), r.size());
    if (zframe_send(&frame, dealer, 0) != 0) return false;
    zframe_t* back = zframe_recv(dealer);
    const bool ok = back != nullptr && zframe_size(back) == kRequestSize;
    zframe_destroy(&back);
    return ok;
  });
  zsock_destroy(&dealer);
  return median;
}

double rawZeroMQ(int rounds) {
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
  const double median = dealerRoundTrips(rounds, static_cast<uint16_t>(port));
  stop = true;
  echo.join();
  zsock_destroy(&router);
  return median;
}

double clientStream(int rounds, uint16_t port) {
  aStream* stream = nullptr;
  if (aStream_CreateClient(loopback(), port, &stream) != aErrNone) return -1;
  const std::vector<uint8_t> r = request();
  const double median = medianMicros(rounds, [&] {
    if (aStream_Write(stream, r.data(), r.size()) != aErrNone) return false;
    uint8_t back[kRequestSize];
    return aStream_Read(stream, back, sizeof back) == aErrNone ||
           aStream_Read(stream, back, sizeof back) == aErrNone;   // a read waits at most 1 s
  });
  aStream_Destroy(&stream);
  return median;
}

uint8_t isEcho(const aPacket* packet, void*) { return packet->dataSize == kRequestSize - 2 && packet->data[0] == 0x17; }

double clientLink(int rounds, uint16_t port) {
  aLinkRef link = aLink_CreateClient(loopback(), port, 0);
  if (link == 0) return -1;
  const std::vector<uint8_t> r = request();
  aPacket* packet = aPacket_CreateWithData(r[0], r[1], &r[2]);
  const double median = medianMicros(rounds, [&] {
    if (aLink_PutPacket(link, packet) != aErrNone) return false;
    aPacket* back = aLink_AwaitFirst(link, isEcho, nullptr, 2000);
    const bool ok = back != nullptr;
    aPacket_Destroy(&back);
    return ok;
  });
  aPacket_Destroy(&packet);
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
  std::printf("round trip of a %zu-byte request, median of %d (microseconds)\n", kRequestSize, rounds);
  const double tcp = rawTcp(rounds);
  const double zmq = rawZeroMQ(rounds);
  const double toFake = dealerRoundTrips(rounds, static_cast<uint16_t>(port));
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

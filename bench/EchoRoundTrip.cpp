#include "bench/EchoRoundTrip.h"

#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace benchnet {

namespace {

uint8_t isEcho(const aPacket* packet, void*) {
  return packet->dataSize == kEchoRequestSize - 2 && packet->data[0] == 0x17;
}

}  // namespace

std::vector<uint8_t> echoRequest(uint8_t module) {
  std::vector<uint8_t> r(kEchoRequestSize);
  r[0] = module;
  r[1] = kEchoRequestSize - 2;
  r[2] = 0x17;
  for (size_t i = 3; i < kEchoRequestSize; i++) r[i] = static_cast<uint8_t>(i);
  return r;
}

double Times::at(double fraction) const {
  if (micros.empty()) return -1;
  return micros[std::min(micros.size() - 1, static_cast<size_t>(fraction * static_cast<double>(micros.size())))];
}

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

Times linkRoundTrips(int rounds, aLinkRef link, uint8_t module, uint64_t timeoutMs) {
  const std::vector<uint8_t> r = echoRequest(module);
  aPacket* packet = aPacket_CreateWithData(r[0], r[1], &r[2]);
  Times t = measure(rounds, [&] {
    if (aLink_PutPacket(link, packet) != aErrNone) return false;
    aPacket* back = aLink_AwaitFirst(link, isEcho, nullptr, timeoutMs);
    const bool ok = back != nullptr;
    aPacket_Destroy(&back);
    return ok;
  });
  aPacket_Destroy(&packet);
  return t;
}

Times dealerRoundTrips(int rounds, uint16_t port, uint8_t module) {
  zsock_t* dealer = zsock_new(ZMQ_DEALER);
  zsock_connect(dealer, "tcp://127.0.0.1:%u", static_cast<unsigned>(port));
  const std::vector<uint8_t> r = echoRequest(module);
  Times t = measure(rounds, [&] {
    zframe_t* frame = zframe_new(r.data(), r.size());
    if (zframe_send(&frame, dealer, 0) != 0) return false;
    zframe_t* back = zframe_recv(dealer);
    const bool ok = back != nullptr && zframe_size(back) == kEchoRequestSize;
    zframe_destroy(&back);
    return ok;
  });
  zsock_destroy(&dealer);
  return t;
}

Times zeroMqHop(int rounds, uint8_t module) {
  zsock_t* router = zsock_new(ZMQ_ROUTER);
  const int port = zsock_bind(router, "tcp://127.0.0.1:*");
  if (port < 0) {
    zsock_destroy(&router);
    return Times{{}, true};
  }
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    zsock_set_rcvtimeo(router, 100);
    while (!stop) {
      zmsg_t* msg = zmsg_recv(router);
      if (msg != nullptr) zmsg_send(&msg, router);
    }
  });
  Times t = dealerRoundTrips(rounds, static_cast<uint16_t>(port), module);
  stop = true;
  echo.join();
  zsock_destroy(&router);
  return t;
}

}  // namespace benchnet

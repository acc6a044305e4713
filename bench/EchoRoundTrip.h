// The echo round trip that the link server benchmarks time on every road: a 30-byte
// request [module][1C][17 …] that the far end answers with itself, timed one at a time,
// through a link, and the ZeroMQ baselines (a DEALER to any ROUTER, a DEALER to a ROUTER echo thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/aLink.h"

namespace benchnet {

constexpr size_t kEchoRequestSize = 30;

std::vector<uint8_t> echoRequest(uint8_t module);

struct Times {
  std::vector<double> micros;   // sorted
  bool failed = false;
  double at(double fraction) const;
  double median() const { return failed ? -1 : at(0.5); }
};

// Times rounds round trips after rounds/10 untimed ones; stops at the first that fails.
Times measure(int rounds, const std::function<bool()>& roundTrip);

// Echo round trips through an open link: aLink_PutPacket, then aLink_AwaitFirst for the
// answer, waiting at most timeoutMs for each.
Times linkRoundTrips(int rounds, aLinkRef link, uint8_t module, uint64_t timeoutMs);

// Echo round trips of a CZMQ DEALER connected to 127.0.0.1:port.
Times dealerRoundTrips(int rounds, uint16_t port, uint8_t module);

// One ZeroMQ hop: dealerRoundTrips to a ROUTER echo thread of this process.
Times zeroMqHop(int rounds, uint8_t module);

}  // namespace benchnet

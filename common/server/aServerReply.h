#pragma once
// What the worker takes as the device's answer to a request: the first packet that
// answers it (from the module the request went to, with its command, and for UEI
// requests its option code and entity index; a sync request's answer has no data) and,
// while the packet taken announces more, the next ones; a run longer than
// aSERVER_MAX_CONTINUED packets or aSERVER_REPLY_LIMIT_MS in all is given up. Anything
// else the device sends meanwhile is no answer to it.
#include <cstdint>
#include <functional>
#include <vector>

#include "common/aPacket.h"
#include "common/aPacketFifo.h"

namespace aserver {

struct aServerReplyMatch {
  uint8_t address = 0;
  uint8_t size = 0;
  uint8_t command = 0;
  uint8_t option = 0;
  uint8_t index = 0;
  bool uei = false;
};

aServerReplyMatch _replyMatchFor(const aPacket* request);
// An aPacketFilterProc over an aServerReplyMatch: 1 for a packet that answers it.
uint8_t _matchReply(const aPacket* packet, void* match);

// Waits up to timeoutMs for the first packet the match function accepts (taking it out
// of whatever holds the device's packets); null when none came.
using aServerAwait = std::function<aPacket*(aPacketFilterProc match, void* reference, uint64_t timeoutMs)>;
// The answer to request: empty when none came or when it ran past the bounds (then
// *overran is set, and whatever else waits is the caller's to drop).
std::vector<aPacket> _collectReply(const aPacket* request, const aServerAwait& await, bool* overran);

}  // namespace aserver

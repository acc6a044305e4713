// The worker's reply matching (aServerReply.h).
#include "common/server/aServerReply.h"

#include "common/aUEI.h"
#include "common/server/aServerRecord.h"

namespace aserver {

namespace {

// A UEI payload's option code and entity index, as a reply carries them back.
constexpr uint8_t kOptionCode = 0x3F;
constexpr uint8_t kEntityIndex = 0x1F;

}  // namespace

aServerReplyMatch _replyMatchFor(const aPacket* request) {
  aServerReplyMatch m;
  m.address = request->address;
  m.size = request->dataSize;
  if (m.size > 0) m.command = request->data[0];
  m.uei = m.size >= 3 && aUEI_isUEIPayload(request);
  if (m.uei) {
    m.option = request->data[1] & kOptionCode;
    m.index = request->data[2] & kEntityIndex;
  }
  return m;
}

uint8_t _matchReply(const aPacket* packet, void* reference) {
  const aServerReplyMatch* m = static_cast<const aServerReplyMatch*>(reference);
  if (packet == nullptr || m == nullptr) return 0;
  if (m->address == cmdSYNC) return packet->dataSize == 0 ? 1 : 0;
  if (packet->address != m->address) return 0;
  if (m->size == 0) return 1;
  if (packet->dataSize == 0 || packet->data[0] != m->command) return 0;
  if (m->uei && packet->dataSize >= 3 &&
      ((packet->data[1] & kOptionCode) != m->option || (packet->data[2] & kEntityIndex) != m->index))
    return 0;
  return 1;
}

std::vector<aPacket> _collectReply(const aPacket* request, const aServerAwait& await, bool* overran) {
  std::vector<aPacket> replies;
  *overran = false;
  aServerReplyMatch match = _replyMatchFor(request);
  const aTime start = aTime_GetMonotonicMSTicks();
  aPacket* packet = await(_matchReply, &match, aSERVER_REPLY_WAIT_MS);
  while (packet != nullptr) {
    replies.push_back(*packet);
    aPacket_Destroy(&packet);
    if (!_doesPacketContinue(&replies.back())) break;
    const aTime spent = aTime_GetMonotonicMSTicks() - start;
    if (replies.size() >= aSERVER_MAX_CONTINUED || spent >= aSERVER_REPLY_LIMIT_MS) {
      replies.clear();
      *overran = true;
      break;
    }
    const uint64_t left = aSERVER_REPLY_LIMIT_MS - spent;
    packet = await(_matchReply, &match, left < aSERVER_REPLY_WAIT_MS ? left : aSERVER_REPLY_WAIT_MS);
  }
  return replies;
}

}  // namespace aserver

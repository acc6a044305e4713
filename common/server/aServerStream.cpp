// The link server's stream filter: the device link's user filter, run by whoever holds
// the link's read role. It takes the device's stream samples into a batch, which leaves
// as one frame for the broker to fan out: at a heartbeat, when it nears its size, and at
// the latest once its oldest sample is aSERVER_BATCH_AGE_MS old (checked at every packet
// and by the broker while clients stream), so that a device without heartbeats does
// not hold samples back.
#include <cstring>

#include "common/aUEI.h"
#include "common/server/aServerRecord.h"

namespace aserver {

namespace {

bool sHeartbeat(const aPacket* packet) { return packet->dataSize == 2 && packet->data[0] == 0x00; }

// Sends the batch (never waiting) and empties it, whether it went or not.
void sSendBatchLocked(aServer* s) {
  if (s->batchLength == 0) return;
  zmq_send(zsock_resolve(s->streamFilter), s->batch, s->batchLength, ZMQ_DONTWAIT);
  s->batchLength = 0;
}

bool sAgedLocked(const aServer* s, aTime now) {
  return s->batchLength > 0 && now - s->batchSince >= aSERVER_BATCH_AGE_MS;
}

}  // namespace

uint8_t _streamingPacketFilter(const aPacket* packet, void* reference) {
  aServer* s = static_cast<aServer*>(reference);
  if (packet == nullptr || s == nullptr) return 0;
  const bool sample = aUEI_isStreamPacket(packet);
  std::lock_guard<std::mutex> hold(s->batchMutex);
  if (s->batchClosed) return 0;
  const aTime now = aTime_GetMonotonicMSTicks();
  if (sample) {
    if (s->batchLength == 0) s->batchSince = now;
    uint8_t* at = s->batch + s->batchLength;
    at[0] = packet->address;
    at[1] = packet->dataSize;
    std::memcpy(at + 2, packet->data, packet->dataSize);
    s->batchLength = static_cast<uint16_t>(s->batchLength + 2 + packet->dataSize);
  }
  if (sHeartbeat(packet) || s->batchLength > aSERVER_BATCH_SEND_ABOVE || sAgedLocked(s, now)) sSendBatchLocked(s);
  return sample ? 1 : 0;
}

void _serverSendAgedBatch(aServer* s) {
  std::lock_guard<std::mutex> hold(s->batchMutex);
  if (!s->batchClosed && sAgedLocked(s, aTime_GetMonotonicMSTicks())) sSendBatchLocked(s);
}

void _serverCloseBatch(aServer* s) {
  std::lock_guard<std::mutex> hold(s->batchMutex);
  s->batchClosed = true;
  s->batchLength = 0;
  zsock_destroy(&s->streamFilter);
}

}  // namespace aserver

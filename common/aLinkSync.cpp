// What the reader thread does with link bytes beyond plain assembly: the handshake that
// finds packet boundaries, heartbeat answers, and routing of complete packets.
#include "common/internal/aLinkRecord.h"

namespace {
constexpr unsigned kSyncRequests = 6;
}  // namespace

aErr sStartSync(aLink* link) {
  link->status = kLinkStatusSyncing;
  link->syncState = kSyncStateStart;
  link->syncRequested = 0;
  const aTime now = aTime_GetMonotonicMSTicks();
  link->syncMark = now;
  aPacket_Reset(link->assembly);
  if (now - link->syncWindowStart >= aLINK_SYNC_RETRY_MS) {
    link->syncWindowStart = now;
    link->syncBatches = 0;
  }
  if (link->syncBatches >= aLINK_SYNC_BATCHES_PER_WINDOW) {
    // Enough requests are on their way; wait for their replies instead.
    link->syncState = kSyncStateByte1;
    return aErrNone;
  }
  link->syncBatches++;
  aErr result = aErrMemory;
  for (unsigned i = 0; i < kSyncRequests; i++) {
    aPacket* request = aPacket_Create();
    if (request == nullptr) {
      result = aErrMemory;
      continue;
    }
    request->address = cmdSYNC;
    request->dataSize = 0;
    request->received = 2;
    result = aPacketFifo_Put(link->outgoing.load(), request);
    aPacket_Destroy(&request);
  }
  if (result == aErrNone) link->syncState = kSyncStateByte1;
  return result;
}

void sSyncByte(aLink* link, uint8_t byte) {
  const uint32_t state = link->syncState.load();
  uint32_t next = kSyncStateStart;
  switch (state) {
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        next = kSyncStateByte2;
      } else {
        sStartSync(link);
        return;
      }
      break;
    case kSyncStateByte2:
      next = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      next = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSyncStateSynced;
        link->syncMark = aTime_GetMonotonicMSTicks();
        link->status = kLinkStatusRunning;
        return;
      }
      break;
    default:   // synced or waiting for any byte: start again
      sStartSync(link);
      return;
  }
  if (next != kSyncStateStart) link->syncMark = aTime_GetMonotonicMSTicks();
  link->syncState = next;
}

aErr sHandleHBBackChannel(aLink* link) {
  aPacket* packet = link->assembly;
  if (packet->dataSize != 2 || packet->data[0] != 0x00) return aErrNotFound;
  if (link->heartbeatState.load() >= 2) return aErrNotFound;
  const uint8_t h = packet->data[1];
  if (h == 0) link->heartbeatState = 2;
  else if (h == 1) link->heartbeatState = 3;
  const uint8_t answer[2] = {0x00, static_cast<uint8_t>(h + 2)};
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  if (reply == nullptr) return aErrNone;   // no answer; the state stays (see below)
  aPacketFifo_Put(link->outgoing.load(), reply);
  aPacket_Destroy(&reply);
  link->heartbeatState = 0;
  // The observer is read under the filter mutex, which the caller holds.
  if (link->heartbeatObserver != nullptr) link->heartbeatObserver((answer[1] & 1) != 0, link->heartbeatReference);
  return aErrNone;
}

aErr sHandlePacket(aLink* link) {
  if (!aPacket_IsComplete(link->assembly)) return aErrNone;
  // Every packet that came in, before anything takes it: consumed ones and heartbeats too.
  aLink_PacketDebugRecord(link, aPACKETLOG_TAG_IN, link->assembly);
  aErr result = aErrNone;
  aMutex_Lock(link->userFilterSema);
  const bool consumed =
      link->userFilter != nullptr && link->userFilter(link->assembly, link->userFilterReference) == 1;
  if (!consumed && sHandleHBBackChannel(link) != aErrNone)
    result = aPacketFifo_Put(link->incoming.load(), link->assembly);
  aMutex_Unlock(link->userFilterSema);
  aPacket_Reset(link->assembly);
  return result;
}

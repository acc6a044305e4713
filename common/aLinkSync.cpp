// What the read role does with link bytes: the handshake that finds packet boundaries,
// packet assembly, heartbeat answers, and routing of complete packets to the user
// filter, a reading caller or the incoming FIFO. Whoever holds the read role runs this
// (the reader thread, a caller reading for its reply, or aLink_Arrive).
#include "common/internal/aLinkRecord.h"

namespace {
constexpr unsigned kSyncRequests = 6;
}  // namespace

aErr sStartSync(aLink* link) {
  sSetStatus(link, kLinkStatusSyncing);
  link->syncState = kSyncStateStart;
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
  const uint8_t none = 0;
  // One batch: the writer takes all of it in one write, so the handshake never completes
  // with requests of its own still queued (they would be dropped after it, unseen).
  aPacket requests[kSyncRequests];
  for (aPacket& request : requests) aPacket_Fill(&request, cmdSYNC, 0, &none);
  const aErr result = aLink_Send(link, requests, kSyncRequests, false);
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
        {
          std::lock_guard<std::mutex> hold(link->stateMutex);
          if (link->syncDone < link->syncServing) link->syncDone = link->syncServing;
        }
        sSetStatus(link, kLinkStatusRunning);
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
  aPacket reply;
  aPacket_Fill(&reply, packet->address, 2, answer);
  aLink_Send(link, &reply, 1, false);
  link->heartbeatState = 0;
  // The observer is read under the filter mutex, which the caller holds.
  if (link->heartbeatObserver != nullptr) link->heartbeatObserver((answer[1] & 1) != 0, link->heartbeatReference);
  return aErrNone;
}

aErr sHandlePacket(aLink* link, aLinkClaim* claim) {
  if (!aPacket_IsComplete(link->assembly)) return aErrNone;
  // Every packet that came in, before anything takes it: consumed ones and heartbeats too.
  aLink_PacketDebugRecord(link, aPACKETLOG_TAG_IN, link->assembly);
  aMutex_Lock(link->userFilterSema);
  const bool consumed =
      link->userFilter != nullptr && link->userFilter(link->assembly, link->userFilterReference) == 1;
  const bool taken = consumed || sHandleHBBackChannel(link) == aErrNone;
  aMutex_Unlock(link->userFilterSema);
  aErr result = aErrNone;
  if (!taken) {
    // A caller reading for its reply takes the packet it waits for straight away; it
    // has seen everything queued before (nobody else routes while it reads).
    if (claim != nullptr && claim->packet == nullptr && claim->match(link->assembly, claim->reference) != 0) {
      claim->packet = aPacket_Copy(link->assembly);
      if (claim->packet == nullptr) result = aErrMemory;
    } else {
      result = aPacketFifo_Put(link->incoming.load(), link->assembly);
    }
  }
  aPacket_Reset(link->assembly);
  return result;
}

void sArriveByte(aLink* link, uint8_t byte, aLinkClaim* claim) {
  if (link->status.load() == kLinkStatusSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->assembly, byte) != aErrNone || (link->assembly->address & 1) != 0) {
    // Lost place in the byte stream.
    sStartSync(link);
    return;
  }
  // An overflowing incoming FIFO has dropped what nobody took; that loss is the FIFO's
  // to report, and the link itself stays usable.
  const aErr routed = sHandlePacket(link, claim);
  if (routed != aErrNone && routed != aErrOverrun) sSetStatus(link, kLinkStatusPacketError);
}

void sTakeAsks(aLink* link) {
  if (link->writeFailed.exchange(0)) sSetStatus(link, kLinkStatusIOError);
  if (link->syncRequested.exchange(0)) {
    {
      std::lock_guard<std::mutex> hold(link->stateMutex);
      link->syncServing = link->syncAsked;
    }
    sStartSync(link);
  }
}

aErr aLink_Arrive(aLinkRef id, const uint8_t* bytes, size_t length) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link || (bytes == nullptr && length > 0)) return aErrParam;
  std::lock_guard<std::mutex> role(link->readLock);
  if (link->assembly == nullptr || link->incoming.load() == 0) return aErrParam;
  for (size_t i = 0; i < length; i++) sArriveByte(link.get(), bytes[i], nullptr);
  return aErrNone;
}

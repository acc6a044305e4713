// The link engine: the link record's initialisation, the reader and writer threads,
// start, stop and synchronisation, and the operations callers use on a running link.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/internal/aLinkRecord.h"

namespace {

constexpr uint32_t kStartWaitMs = 2000;
constexpr uint32_t kSyncWaitMs = 2000;
constexpr uint32_t kSyncDrainPauseMs = 100;
constexpr uint32_t kReadErrorPauseMs = 100;
// Idle wait of the reader between checks of its running flag (a stop wakes it anyway).
constexpr uint32_t kReaderIdleWaitMs = 500;
// Wait slice of the writer: bounds how long a stop waits for it.
constexpr uint64_t kWriterSliceMs = 100;
constexpr unsigned kPoolBytes = 4096;

uint8_t drainAll(const aPacket*, void*) { return 1; }

aErr sForceRoute(aLink* link, uint8_t on);

// The record of a link id, kept alive for the caller's use.
std::shared_ptr<aLink> sLink(aLinkRef id) { return sGetLink(id); }

aErr sWritePacket(aStream* stream, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  uint64_t length = 0;
  const aErr e = aPacket_GetBytes(packet, wire, sizeof wire, &length);
  if (e != aErrNone) return e;
  return aStream_Write(stream, wire, length);
}

void* sInPipeProcess(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  link->heartbeatState = 0;
  link->syncAddress = 1;
  link->readerStarted = 1;
  link->status = kLinkStatusRunning;
  link->syncState = kSyncStateSynced;
  link->syncMark = aTime_GetMonotonicMSTicks();
  while (link->running.load()) {
    uint8_t byte = 0;
    const aErr e = aStream_Read(link->stream, &byte, 1);
    if (e == aErrNotReady) {
      const int32_t status = link->status.load();
      uint32_t wait = kReaderIdleWaitMs;
      if (link->syncRequested.exchange(0)) {
        sStartSync(link);
        wait = aLINK_SYNC_RETRY_MS;
      } else if (status == kLinkStatusSyncing || status == kLinkStatusIOError) {
        // Restart only a handshake that has stalled: restarting on every empty read
        // floods the device with requests, and a COBS stream, which is empty between
        // every raw byte, would never let a handshake finish.
        const aTime now = aTime_GetMonotonicMSTicks();
        const aTime since = now - link->syncMark;
        if (since >= aLINK_SYNC_RETRY_MS) {
          sStartSync(link);
          wait = aLINK_SYNC_RETRY_MS;
        } else {
          wait = static_cast<uint32_t>(aLINK_SYNC_RETRY_MS - since);
        }
      }
      aLink_WaitForInput(link, wait);
      continue;
    }
    if (e != aErrNone) {
      link->status = kLinkStatusIOError;
      aLink_Pause(link, kReadErrorPauseMs);
      continue;
    }
    if (link->status.load() == kLinkStatusSyncing) {
      sSyncByte(link, byte);
      continue;
    }
    if (aPacket_AddByte(link->assembly, byte) != aErrNone || (link->assembly->address & 1) != 0) {
      sStartSync(link);
      continue;
    }
    // An overflowing incoming FIFO has dropped what nobody took; that loss is the
    // FIFO's to report, and the link itself stays usable.
    const aErr routed = sHandlePacket(link);
    if (routed != aErrNone && routed != aErrOverrun) link->status = kLinkStatusPacketError;
  }
  return nullptr;
}

void* sOutPipeProcess(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  const aPacketFifoId outgoing = link->outgoing.load();
  link->writerStarted = 1;
  uint8_t* pool = nullptr;
  while (link->running.load()) {
    aPacket* packet = aPacketFifo_Await(outgoing, kWriterSliceMs);
    if (packet == nullptr) continue;
    // Packets are recorded before they are written: a fast device's reply must not
    // reach the log before its request.
    aLink_PacketDebugRecord(link, aPACKETLOG_TAG_OUT, packet);
    if (!link->pooled.load()) {
      sWritePacket(link->stream, packet);
    } else {
      if (pool == nullptr) pool = new (std::nothrow) uint8_t[kPoolBytes];
      if (pool == nullptr) {
        sWritePacket(link->stream, packet);
      } else {
        std::memset(pool, 0, kPoolBytes);
        uint64_t used = 0, length = 0;
        if (aPacket_GetBytes(packet, pool, kPoolBytes, &length) == aErrNone) used = length;
        while (used + aPACKET_MAX_WIRE <= kPoolBytes) {
          aPacket* next = aPacketFifo_Get(outgoing);
          if (next == nullptr) break;
          // Every packet of the write is in the log, not only the first.
          aLink_PacketDebugRecord(link, aPACKETLOG_TAG_OUT, next);
          if (aPacket_GetBytes(next, pool + used, kPoolBytes - used, &length) == aErrNone) used += length;
          aPacket_Destroy(&next);
        }
        if (used > 0) aStream_Write(link->stream, pool, used);
      }
    }
    aPacket_Destroy(&packet);
  }
  delete[] pool;
  // Send what was queued before the stop (the route-off packet among it). A stream that
  // fails ends the flush: the rest could only wait out one write time-out each.
  for (aPacket* packet = aPacketFifo_Get(outgoing); packet != nullptr; packet = aPacketFifo_Get(outgoing)) {
    const aErr e = sWritePacket(link->stream, packet);
    aPacket_Destroy(&packet);
    if (e != aErrNone) {
      aPacketFifo_DrainPackets(outgoing, drainAll, nullptr);
      break;
    }
  }
  return nullptr;
}

}  // namespace

aLinkRef aLink_Init(aLinkRef id, aStream* stream) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return 0;
  link->check = aLINK_CHECK;
  link->id = id;
  link->running = 0;
  if (stream != nullptr) {
    link->stream = stream;
    link->status = kLinkStatusStopped;
  } else {
    link->status = kLinkStatusNoStream;
  }
  link->reader = nullptr;
  link->writer = nullptr;
  link->incoming = aPacketFifo_Create();
  link->outgoing = aPacketFifo_Create();
  link->readerProc = sInPipeProcess;
  link->writerProc = sOutPipeProcess;
  link->readerStarted = 0;
  link->writerStarted = 0;
  link->heartbeatState = 0;
  if (link->assembly == nullptr) link->assembly = aPacket_Create();
  else aPacket_Reset(link->assembly);
  link->pooled = 0;
  if (link->userFilterSema == nullptr) {
    char name[aMUTEX_NAME_SIZE];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link.get()));
    link->userFilterSema = aMutex_Create(name);
  }
  aLink_ClearFilter(link.get());
  if (link->wakeFd < 0) link->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (link->incoming.load() == 0 || link->outgoing.load() == 0 || link->assembly == nullptr ||
      link->userFilterSema == nullptr || link->wakeFd < 0)
    return 0;
  return id;
}

void aLink_ClearFilter(aLink* link) {
  if (link->userFilterSema == nullptr) return;
  aMutex_Lock(link->userFilterSema);
  link->userFilter = nullptr;
  link->userFilterReference = nullptr;
  link->heartbeatObserver = nullptr;
  link->heartbeatReference = nullptr;
  aMutex_Unlock(link->userFilterSema);
}

void aLink_ReleaseRecord(aLink* link) {
  if (link == nullptr) return;
  // Normally done by aLink_Destroy; a record whose creation failed early may still hold them.
  aPacketFifoId in = link->incoming.exchange(0), out = link->outgoing.exchange(0);
  if (in != 0) aPacketFifo_Destroy(&in);
  if (out != 0) aPacketFifo_Destroy(&out);
  if (link->stream != nullptr) aStream_Destroy(&link->stream);
  if (link->assembly != nullptr) aPacket_Destroy(&link->assembly);
  if (link->userFilterSema != nullptr) aMutex_Destroy(&link->userFilterSema);
  if (link->wakeFd >= 0) close(link->wakeFd);
  link->check = 0;
  delete link;
}

aErr aLink_Start(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return aErrParam;
  {
    std::lock_guard<std::mutex> lock(link->control);
    if (link->destroyed || link->stream == nullptr) return aErrParam;
    if (link->running.load()) return aErrNone;
    uint64_t stale;
    if (read(link->wakeFd, &stale, sizeof stale) < 0) {
      // No wake-up was left over from the last stop.
    }
    link->running = 1;
    link->status = kLinkStatusStarting;
    link->heartbeatState = 0;
    link->readerStarted = 0;
    link->writerStarted = 0;
    link->reader = aThread_Create(link->readerProc, link.get());
    if (link->reader == nullptr) return aErrResource;
    link->writer = aThread_Create(link->writerProc, link.get());
    if (link->writer == nullptr) return aErrResource;
  }
  const aTime deadline = aTime_GetMonotonicMSTicks() + kStartWaitMs;
  while (!(link->readerStarted.load() && link->writerStarted.load() && link->status.load() == kLinkStatusRunning)) {
    if (aTime_GetMonotonicMSTicks() >= deadline) return aErrIndexRange;
    aTime_MSSleep(1);
  }
  return aLink_ForceRoute(id, 1);
}

aErr aLink_StopLocked(aLink* link) {
  if (link == nullptr) return aErrParam;
  const int32_t status = link->status.load();
  if (status == kLinkStatusStopped || status == kLinkStatusStopping) return aErrNone;
  link->status = kLinkStatusStopping;
  if (link->reader == nullptr && link->writer == nullptr) {
    link->running = 0;
    return aErrNone;
  }
  // By record, not by id: a link being destroyed is no longer in the table.
  const aErr route = sForceRoute(link, 0);
  link->running = 0;
  aLink_Wake(link);
  bool joinFailed = false;
  if (link->reader != nullptr && aThread_Destroy(&link->reader) != 0) joinFailed = true;
  if (link->writer != nullptr && aThread_Destroy(&link->writer) != 0) joinFailed = true;
  link->readerStarted = 0;
  link->writerStarted = 0;
  aPacket_Reset(link->assembly);
  link->status = kLinkStatusStopped;
  link->heartbeatState = 0;
  return joinFailed ? aErrUnknown : route;
}

aErr aLink_Stop(aLink* link) {
  if (link == nullptr) return aErrParam;
  std::lock_guard<std::mutex> lock(link->control);
  return aLink_StopLocked(link);
}

aErr aLink_Sync(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return aErrParam;
  link->status = kLinkStatusSyncing;
  link->syncRequested = 1;
  aLink_Wake(link.get());
  aErr result = aErrNotReady;
  const aTime deadline = aTime_GetMonotonicMSTicks() + kSyncWaitMs;
  for (;;) {
    if (link->status.load() == kLinkStatusRunning) {
      result = aErrNone;
      break;
    }
    if (aTime_GetMonotonicMSTicks() >= deadline) break;
    aTime_MSSleep(1);
  }
  aPacketFifo_DrainPackets(link->outgoing.load(), drainAll, nullptr);
  aTime_MSSleep(kSyncDrainPauseMs);
  aPacketFifo_DrainPackets(link->incoming.load(), drainAll, nullptr);
  return result;
}

namespace {
aErr sForceRoute(aLink* link, uint8_t on) {
  aPacket* packet = aPacket_CreateWithData(cmdFORCEROUTE, 1, &on);
  if (packet == nullptr) return aErrMemory;
  const aErr e = aPacketFifo_Put(link->outgoing.load(), packet);
  aPacket_Destroy(&packet);
  return e;
}
}  // namespace

aErr aLink_ForceRoute(aLinkRef id, uint8_t on) {
  aLinkEntryPtr entry = sLookupEntryByID(id);
  if (!entry) return aErrNotFound;
  if (entry->link == nullptr) return aErrParam;
  return sForceRoute(entry->link, on);
}

int32_t aLink_GetStatus(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? link->status.load() : static_cast<int32_t>(kLinkStatusNoStream);
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outgoing.load(), packet);
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc match, void* reference, uint64_t timeout) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return nullptr;
  const aTime start = aTime_GetMonotonicMSTicks();
  const aTime deadline = timeout > UINT64_MAX - start ? UINT64_MAX : start + timeout;
  aPacket* packet = nullptr;
  aTime now = start;
  while (link->running.load() && link->status.load() == kLinkStatusRunning && packet == nullptr && now < deadline) {
    packet = aPacketFifo_AwaitFirst(link->incoming.load(), match, reference, deadline - now);
    now = aTime_GetMonotonicMSTicks();
  }
  return packet;
}

uint64_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc match, void* reference) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? aPacketFifo_DrainPackets(link->incoming.load(), match, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilterProc filter, void* reference) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link || link->userFilterSema == nullptr) return aErrParam;
  aMutex_Lock(link->userFilterSema);
  link->userFilter = filter;
  link->userFilterReference = filter != nullptr ? reference : nullptr;
  aMutex_Unlock(link->userFilterSema);
  return aErrNone;
}

aErr aLink_SetHeartbeatObserver(aLinkRef id, aLinkHeartbeatObserver observer, void* reference) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link || link->userFilterSema == nullptr) return aErrParam;
  aMutex_Lock(link->userFilterSema);
  link->heartbeatObserver = observer;
  link->heartbeatReference = observer != nullptr ? reference : nullptr;
  aMutex_Unlock(link->userFilterSema);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef id, uint8_t enable) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return aErrParam;
  link->pooled = enable;
  return aErrNone;
}

aPacket* aLink_AwaitPacket(aLinkRef id, uint64_t timeout) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? aPacketFifo_Await(link->incoming.load(), timeout) : nullptr;
}

aPacket* aLink_GetPacket(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? aPacketFifo_Get(link->incoming.load()) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc match, void* reference) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? aPacketFifo_GetFirst(link->incoming.load(), match, reference) : nullptr;
}

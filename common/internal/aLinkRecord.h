#pragma once
// The link record: what the link engine keeps per core link. Private to the link
// engine's files (aLink*.cpp).
#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/aLink.h"
#include "common/internal/aLinkInternal.h"
#include "common/internal/aLinkPacketDebug.h"
#include "common/unix/aMutex.h"
#include "common/unix/aThread.h"
#include "common/unix/aTime.h"

#define aLINK_CHECK 0xCEED

// Sync states of the handshake.
enum : uint32_t {
  kSyncStateSynced = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

// A handshake that makes no progress for this long is started again by the reader.
#define aLINK_SYNC_RETRY_MS 250
// At most this many batches of sync requests are queued per aLINK_SYNC_RETRY_MS. Every
// bad reply byte restarts the handshake, and each request draws a reply: without a cap
// a device answering with an odd address would be sent ever more requests.
#define aLINK_SYNC_BATCHES_PER_WINDOW 2

struct aLink {
  std::atomic<uint16_t> check{0};
  aLinkRef id = 0;
  std::atomic<uint8_t> running{0};
  std::atomic<int32_t> status{kLinkStatusNoStream};
  std::atomic<aPacketFifoId> incoming{0};
  aPacket* assembly = nullptr;           // reader's packet under assembly
  std::atomic<aPacketFifoId> outgoing{0};
  aThread* reader = nullptr;
  aThread* writer = nullptr;
  aThreadProc readerProc = nullptr;
  aThreadProc writerProc = nullptr;
  std::atomic<uint8_t> readerStarted{0};
  std::atomic<uint8_t> writerStarted{0};
  // Touched only while no thread runs, and by the threads (reader reads, writer writes).
  aStream* stream = nullptr;
  std::atomic<uint32_t> heartbeatState{0};
  std::atomic<uint32_t> syncState{kSyncStateSynced};
  uint8_t syncAddress = 0;
  aTime syncMark = 0;                    // reader: last handshake start or progress
  std::atomic<uint8_t> syncRequested{0}; // aLink_Sync asks the reader to start at once
  aTime syncWindowStart = 0;             // reader: rate window of request batches
  uint32_t syncBatches = 0;
  // Under userFilterSema.
  aPacketFilterProc userFilter = nullptr;
  void* userFilterReference = nullptr;
  aLinkHeartbeatObserver heartbeatObserver = nullptr;
  void* heartbeatReference = nullptr;
  aMutex* userFilterSema = nullptr;
  std::atomic<uint8_t> pooled{0};
  int wakeFd = -1;                       // eventfd: wakes the reader out of its wait
  // Serialises start, stop, reset and destroy of the record.
  std::mutex control;
  bool destroyed = false;                // under control
  aLinkStreamMaker maker = nullptr;      // re-creates the stream on reset
  aLinkPacketDebug packetDebug;          // packet log, its mutex and requested size
};

// Part of the engine shared between its files.
aLinkRef aLink_Init(aLinkRef id, aStream* stream);
aErr aLink_Start(aLinkRef id);
aErr aLink_ForceRoute(aLinkRef id, uint8_t on);
// Stops the threads; the caller holds link->control.
aErr aLink_StopLocked(aLink* link);
aErr aLink_Stop(aLink* link);
// Frees what the record still holds; the table calls it when the last holder lets go.
void aLink_ReleaseRecord(aLink* link);
// Clears the user filter and the heartbeat observer.
void aLink_ClearFilter(aLink* link);

// Reader routines of the handshake, heartbeat and routing.
aErr sStartSync(aLink* link);
void sSyncByte(aLink* link, uint8_t byte);
aErr sHandlePacket(aLink* link);
aErr sHandleHBBackChannel(aLink* link);

// Waits (bounded) until the link's stream may have input, the link is woken, or
// timeoutMs has passed.
void aLink_WaitForInput(aLink* link, uint32_t timeoutMs);
// Sleeps up to timeoutMs unless the link is woken.
void aLink_Pause(aLink* link, uint32_t timeoutMs);
void aLink_Wake(aLink* link);

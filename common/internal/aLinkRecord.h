#pragma once
// The link record: what the link engine keeps per core link. Private to the link
// engine's files (aLink*.cpp) and the tests that look inside a link.
//
// Threads and owners (docs/DESIGN.md, "Link engine"):
// - The read role (readLock) is held by whoever reads the stream: the reader thread,
//   or a caller awaiting a reply on a stream with a descriptor. It owns the stream's
//   read side, the packet under assembly, the handshake and heartbeat state, and the
//   status while the link runs. Others only ask: they set a flag and wake the reader.
// - The write role (writeLock) is held by whoever writes the stream: the writer thread,
//   or a caller writing its packets in place of it when nothing is queued.
// - Start, stop, reset and destroy are serialised by control; they change the status
//   only while no reader runs, apart from kLinkStatusStopping, which readers leave be.
// Lock order: control, then readLock, then writeLock (both only while no thread runs:
// to swap the stream), then a FIFO's or the outgoing queue's own mutex, or
// userFilterSema (a FIFO mutex is never held while it is taken), then stateMutex, which
// is innermost. The read role never writes in place, so it never waits for writeLock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/aLink.h"
#include "common/internal/aLinkInternal.h"
#include "common/internal/aLinkOutQueue.h"
#include "common/internal/aLinkPacketLogState.h"
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
// After a caller read the stream for its reply, the reader thread stays off the stream
// this long (unless someone waits without reading), so that a caller asking again at
// once finds the stream to itself instead of racing the reader for the reply.
#define aLINK_CALLER_QUIET_MS 10

// How the reader thread stands aside (aLink::readerParked).
enum : uint8_t {
  kReaderOnStream = 0,
  kReaderParkedForCaller = 1,   // until the reading caller hands the role back (it wakes it)
  kReaderParkedQuiet = 2,       // until the callers' quiet time ends
};

struct aLink {
  std::atomic<uint16_t> check{0};
  aLinkRef id = 0;
  std::atomic<uint8_t> running{0};
  std::atomic<int32_t> status{kLinkStatusNoStream};
  std::atomic<aPacketFifoId> incoming{0};
  aLinkOutQueue outgoing;                // packets waiting for the stream
  aThread* reader = nullptr;
  aThread* writer = nullptr;
  aThreadProc readerProc = nullptr;
  aThreadProc writerProc = nullptr;
  std::atomic<uint8_t> readerStarted{0};
  std::atomic<uint8_t> writerStarted{0};
  // Set while no thread runs; its read side belongs to the read role, its write side to
  // the write role.
  aStream* stream = nullptr;

  // --- read role (readLock) ---
  std::mutex readLock;
  aPacket* assembly = nullptr;           // packet under assembly
  std::atomic<uint32_t> heartbeatState{0};
  std::atomic<uint32_t> syncState{kSyncStateSynced};
  uint8_t syncAddress = 0;
  aTime syncMark = 0;                    // last handshake start or progress
  aTime syncWindowStart = 0;             // rate window of request batches
  uint32_t syncBatches = 0;
  uint64_t syncServing = 0;              // the newest sync request the running handshake serves
  // Asks of the read role, taken by whoever holds it next.
  std::atomic<uint8_t> syncRequested{0}; // aLink_Sync: start the handshake
  std::atomic<uint8_t> writeFailed{0};   // a write failed: the link is in error
  // Coordination between the reader thread and callers reading for their replies.
  std::atomic<bool> callersRead{false};  // the stream has a descriptor: callers may read
  std::atomic<int> callerReading{0};     // a caller holds, or is taking, the read role
  std::atomic<aTime> callerQuietUntil{0};
  // Callers waiting for what only the reader thread brings: a packet on the incoming
  // FIFO, a change of status. While there are any, the reader does not stand aside.
  std::atomic<int> readerWaiters{0};
  std::atomic<uint8_t> readerParked{kReaderOnStream};   // how the reader stays off the stream
  std::atomic<uint64_t> callerHandBacks{0};  // reads of callers that handed the role back
  std::atomic<uint8_t> readerWants{0};   // the reader needs the role back (leaveFd is set)
  int wakeFd = -1;                       // eventfd: wakes the reader thread
  int leaveFd = -1;                      // eventfd, level: a caller reading must let go

  // --- write role (writeLock) ---
  std::mutex writeLock;
  std::atomic<uint8_t> pooled{0};
  std::atomic<int64_t> lastWriteNs{0};   // steady clock at the end of the last write
  std::atomic<uint32_t> writeErrors{0};  // failed stream writes since the link was made
  std::atomic<aErr> lastWriteError{aErrNone};

  // Under userFilterSema.
  aPacketFilterProc userFilter = nullptr;
  void* userFilterReference = nullptr;
  aLinkHeartbeatObserver heartbeatObserver = nullptr;
  void* heartbeatReference = nullptr;
  aMutex* userFilterSema = nullptr;

  // Waits for the status, the threads' start and finished handshakes.
  std::mutex stateMutex;
  std::condition_variable stateChanged;
  uint64_t syncAsked = 0;                // under stateMutex: sync requests made
  uint64_t syncDone = 0;                 // under stateMutex: the newest one served

  // Serialises start, stop, reset and destroy of the record.
  std::mutex control;
  std::atomic<bool> destroyed{false};    // written under control
  bool resetting = false;                // under control: a reset makes a new stream
  aLinkStreamRemaker remake = nullptr;   // makes the stream again on reset; null: cannot
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

// Status changes, with a wake-up of whoever waits for one. sSetStatus is the read
// role's: it never overwrites kLinkStatusStopping. aLink_SetControlStatus is for start,
// stop and reset while no reader runs (and for kLinkStatusStopping).
void sSetStatus(aLink* link, int32_t status);
void aLink_SetControlStatus(aLink* link, int32_t status);
void aLink_NotifyState(aLink* link);

// The way out. Queues the packets; or, when inPlace is set, the stream takes prompt
// writes, the link runs and nothing is queued or being written, writes them on the
// calling thread (in pooled mode a single packet only when nothing was written for a
// moment: one in a stream of puts is queued to be joined with the next, and a caller
// that fills a pool sends it). Never waits for the writer. Returns the queue's result;
// a failed write is the link's to see, not the caller's. The read role never writes in
// place, so that a stalled stream cannot hold up reading.
aErr aLink_Send(aLink* link, const aPacket* packets, size_t count, bool inPlace);
// Writes what is queued on the caller's thread when the stream takes prompt writes and
// no one else writes (a caller about to wait for a reply needs no writer for it).
void aLink_FlushQueued(aLink* link);
void* aLink_WriterThread(void* argument);

// The way in: the reader thread, and a caller reading for its reply.
void* aLink_ReaderThread(void* argument);
// Reads the stream on the caller's thread until a packet that match accepts arrives
// (returned) or the deadline passes or the link stops (null). When the read role cannot
// be had, the reader thread needs it back, or the link leaves kLinkStatusRunning,
// *handBack is set and the caller waits on the incoming FIFO for the rest of its time
// instead, as it would have from the start without a descriptor to read.
aPacket* aLink_ReadForReply(aLink* link, aPacketFilterProc match, void* reference, aTime deadline,
                            bool* handBack);

// Reader routines of the handshake, heartbeat and routing (the read role's).
aErr sStartSync(aLink* link);
void sSyncByte(aLink* link, uint8_t byte);
// A packet a caller reading for its reply takes straight from assembly.
struct aLinkClaim {
  aPacketFilterProc match = nullptr;
  void* reference = nullptr;
  aPacket* packet = nullptr;   // set once a packet was claimed
};
aErr sHandlePacket(aLink* link, aLinkClaim* claim);
aErr sHandleHBBackChannel(aLink* link);
// One received byte, as the reader takes it (see aLink_Arrive).
void sArriveByte(aLink* link, uint8_t byte, aLinkClaim* claim);
// Takes what others asked of the read role (a sync, a failed write).
void sTakeAsks(aLink* link);

// Waiting (aLinkWait.cpp). The reader thread's wait for input, once it found the
// stream empty with nothing pending in its transport: until the stream may have input,
// the reader is woken, or timeoutMs passed. It needs no read role.
void aLink_WaitForInput(aLink* link, uint32_t timeoutMs);
// A reading caller's wait: until the stream may have input, the caller must let go of
// the read role (leaveFd), or timeoutMs passed. True when it must let go.
bool aLink_WaitAsCaller(aLink* link, uint32_t timeoutMs);
// Sleeps up to timeoutMs unless the reader is woken.
void aLink_Pause(aLink* link, uint32_t timeoutMs);
void aLink_Wake(aLink* link);
// leaveFd: set (a caller reading must let go) and cleared.
void aLink_SetLeave(aLink* link, bool set);

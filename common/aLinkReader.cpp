// The way into a link.
//
// The read role. Whoever holds readLock reads the stream and runs every byte through
// sArriveByte: packet assembly, the handshake, heartbeat answers, the user filter and
// routing into the incoming FIFO. The role owns the stream's read side, the packet under
// assembly, the handshake and heartbeat state, and the status while the link runs. Two
// kinds of thread hold it:
// - the reader thread, in general: for reads that do not wait (it lets go of the role
//   before it waits for input), for its asks, and while someone waits for it;
// - a caller awaiting its reply (aLink_ReadForReply), on a stream with a descriptor to
//   wait on: it reads until its reply comes and takes it straight from assembly, so the
//   reply wakes the thread that wants it instead of passing from the reader thread to
//   it. One caller at a time (callerReading); a second one waits on the FIFO.
//
// How it is asked for. Nobody else touches the stream's read side. Others only ask, with
// a flag and a wake-up of the reader thread (wakeFd): a sync (syncRequested), a failed
// write (writeFailed), a stop (running). A caller waiting for what only the reader
// brings (a FIFO packet, a change of status) counts itself in readerWaiters and wakes a
// parked reader. When the reader thread needs the role while a caller holds it (an ask,
// a waiter, a status other than running), it sets readerWants and the level-triggered
// leaveFd, on which the reading caller waits beside the stream: the caller lets go and
// waits out the rest of its time on the FIFO, and the reader takes over.
//
// How it is given back. A reading caller hands back when its reply came, its time is
// up, the link stops or leaves running, or leaveFd says so: it sets the quiet time
// (aLINK_CALLER_QUIET_MS from now), counts the hand-back (callerHandBacks), and wakes
// the reader if the reader waits for exactly this (kReaderParkedForCaller), if input is
// left in the transport where no descriptor shows it, or if the reader is needed.
//
// Why a parked reader looks again. While a caller reads, and for the quiet time after,
// the reader thread stands aside, so that a caller asking again at once finds the stream
// to itself instead of racing the reader for its reply. It waits on events, never in
// ticks: for a read in progress, until its caller hands back (the caller wakes it); in
// the quiet time, until the deadline that hand-back set. A reader woken only at the
// deadline looks again because the deadline may have moved: callers reading back to back
// each hand back with a new quiet time, and are not made to wake the reader every time;
// the reader, finding hand-backs since it last looked, sleeps one more quiet time, and
// comes back to the stream only once the callers have stopped. Every park is bounded
// (the idle wait), and stops, asks and waiters end it whenever they come.
#include <pthread.h>

#include "common/internal/aLinkRecord.h"

namespace {

constexpr uint32_t kReadErrorPauseMs = 100;
// Idle wait of the reader between looks at its flags (a stop or an ask wakes it anyway).
constexpr uint32_t kReaderIdleWaitMs = 500;
// Bytes the reader takes in one turn before it looks at its flags again.
constexpr unsigned kBytesPerTurn = 4096;

// What only the reader thread does: answer asks, run the handshake's restarts, serve
// the callers that wait for it instead of reading themselves.
bool sReaderNeeded(const aLink* link) {
  return link->syncRequested.load() || link->writeFailed.load() || link->readerWaiters.load() > 0 ||
         link->status.load() != kLinkStatusRunning;
}

// Something the reader must turn to before it reads on.
bool sAsked(const aLink* link) {
  return !link->running.load() || link->syncRequested.load() || link->writeFailed.load();
}

// Stands aside while a caller reads and in the quiet time after (the page above); true
// when it did, for a while or for a fresh look. seenHandBacks: the reader's own record of
// the hand-backs it has seen.
bool sStandAside(aLink* link, uint64_t* seenHandBacks) {
  if (sReaderNeeded(link)) return false;
  const aTime now = aTime_GetMonotonicMSTicks();
  const aTime quiet = link->callerQuietUntil.load();
  const uint64_t handBacks = link->callerHandBacks.load();
  const bool reading = link->callerReading.load() > 0;
  if (!reading && now >= quiet) return false;
  const bool run = handBacks != *seenHandBacks;
  *seenHandBacks = handBacks;
  const bool forCaller = reading && !run;
  link->readerParked = forCaller ? kReaderParkedForCaller : kReaderParkedQuiet;
  // Looked at again once parked: a waiter that comes after this, or the caller handing
  // back, sees the flag and wakes the reader.
  if (sReaderNeeded(link) || (forCaller && (link->callerReading.load() == 0 ||
                                            link->callerHandBacks.load() != handBacks))) {
    link->readerParked = kReaderOnStream;
    return true;   // looked at afresh next turn
  }
  const aTime wait = forCaller ? kReaderIdleWaitMs : reading || quiet <= now ? aLINK_CALLER_QUIET_MS : quiet - now;
  aLink_Pause(link, static_cast<uint32_t>(wait));
  link->readerParked = kReaderOnStream;
  return true;
}

// The empty stream: restarts a handshake that has stalled, and says how long to wait.
uint32_t sIdle(aLink* link) {
  const int32_t status = link->status.load();
  if (status != kLinkStatusSyncing && status != kLinkStatusIOError) return kReaderIdleWaitMs;
  // Restart only a handshake that has stalled: restarting on every empty read floods
  // the device with requests, and a COBS stream, which is empty between every raw
  // byte, would never let a handshake finish.
  const aTime now = aTime_GetMonotonicMSTicks();
  const aTime since = now - link->syncMark;
  if (since >= aLINK_SYNC_RETRY_MS) {
    sStartSync(link);
    return aLINK_SYNC_RETRY_MS;
  }
  return static_cast<uint32_t>(aLINK_SYNC_RETRY_MS - since);
}

}  // namespace

void* aLink_ReaderThread(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  pthread_setname_np(pthread_self(), "aLink reader");
  bool callersRead;
  {
    std::lock_guard<std::mutex> role(link->readLock);
    link->heartbeatState = 0;
    link->syncAddress = 1;
    link->syncState = kSyncStateSynced;
    link->syncMark = aTime_GetMonotonicMSTicks();
    callersRead = link->callersRead.load();
    // A new link is taken to be in step; the handshake runs only when something starts it.
    link->readerStarted = 1;
    sSetStatus(link, kLinkStatusRunning);
  }
  uint64_t seenHandBacks = 0;
  while (link->running.load()) {
    if (callersRead && sStandAside(link, &seenHandBacks)) continue;
    std::unique_lock<std::mutex> role(link->readLock, std::try_to_lock);
    if (!role.owns_lock()) {
      if (!sReaderNeeded(link)) {
        // A caller took the stream just now: the reader stands aside for it next turn.
        // Anyone else holds the role only for a moment (received bytes fed by hand).
        if (link->callerReading.load() == 0) {
          role.lock();
          role.unlock();
        }
        continue;
      }
      link->readerWants = 1;
      aLink_SetLeave(link, true);
      role.lock();
      link->readerWants = 0;
      if (link->running.load()) aLink_SetLeave(link, false);
    }
    if (!link->running.load()) break;
    sTakeAsks(link);
    aErr e = aErrNone;
    // A stream whose reads wait by themselves (USB) may never run dry: the flags are
    // looked at after every byte.
    for (unsigned n = 0; n < kBytesPerTurn && e == aErrNone && !sAsked(link); n++) {
      uint8_t byte = 0;
      e = aStream_Read(link->stream, &byte, 1);
      if (e == aErrNone) sArriveByte(link, byte, nullptr);
    }
    if (e == aErrNone) continue;   // more to read: look at the flags, then go on
    if (e == aErrNotReady) {
      const uint32_t wait = sIdle(link);
      // A transport may hold input without its descriptor showing it (a decoded COBS
      // frame): then the reader reads on at once.
      const bool pending = aStream_InputPending(link->stream);
      role.unlock();
      if (!pending) aLink_WaitForInput(link, wait);
      continue;
    }
    // Bytes that arrive meanwhile are assembled as usual; the handshake restarts at the
    // next empty read.
    sSetStatus(link, kLinkStatusIOError);
    role.unlock();
    aLink_Pause(link, kReadErrorPauseMs);
  }
  return nullptr;
}

aPacket* aLink_ReadForReply(aLink* link, aPacketFilterProc match, void* reference, aTime deadline,
                            bool* handBack) {
  *handBack = true;
  if (link->callerReading.fetch_add(1) != 0) {
    // Another caller reads: it routes what comes into the FIFO, where this one waits.
    link->callerReading--;
    return nullptr;
  }
  // The reader thread holds the role only for reads that do not wait, or while it
  // answers an ask: it is had at once or soon.
  std::unique_lock<std::mutex> role(link->readLock);
  aLinkClaim claim;
  claim.match = match;
  claim.reference = reference;
  aStream* stream = link->stream;
  const bool readable = aVALIDSTREAM(stream) && stream->waitFd >= 0;
  if (readable) *handBack = false;
  // Only the read role routes into the FIFO: what is there now is all there is besides
  // what this caller reads itself.
  if (readable) claim.packet = aPacketFifo_GetFirst(link->incoming.load(), match, reference);
  aTime now = aTime_GetMonotonicMSTicks();
  // Whatever ends the reading but a stop or the deadline hands the wait back: a wait
  // that began with the link in step goes on through a change of status (a reply can
  // still come once the reader thread has brought the link back), as a wait on the
  // FIFO always has.
  while (readable && claim.packet == nullptr) {
    if (!link->running.load()) break;
    if (link->readerWants.load()) {
      *handBack = true;
      break;
    }
    sTakeAsks(link);
    if (link->status.load() != kLinkStatusRunning) {
      *handBack = true;
      break;
    }
    now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) break;
    // Waits first: the caller comes here just after its request, before the reply can
    // be there, and a poll() returns at once for input that is.
    const aTime left = deadline - now;
    if (aLink_WaitAsCaller(link, left > kReaderIdleWaitMs ? kReaderIdleWaitMs : static_cast<uint32_t>(left))) {
      *handBack = link->running.load() != 0;
      break;
    }
    aErr e = aErrNone;
    while (claim.packet == nullptr && link->status.load() == kLinkStatusRunning) {
      uint8_t byte = 0;
      e = aStream_Read(stream, &byte, 1);
      if (e != aErrNone) break;
      sArriveByte(link, byte, &claim);
    }
    if (claim.packet != nullptr) break;
    if (e != aErrNone && e != aErrNotReady) {
      // The reader thread takes over: it pauses and restarts the handshake.
      sSetStatus(link, kLinkStatusIOError);
    }
  }
  link->callerQuietUntil = aTime_GetMonotonicMSTicks() + aLINK_CALLER_QUIET_MS;
  // Input left in the transport shows on no descriptor: the reader is told of it.
  const bool leftOver = readable && aStream_InputPending(stream);
  role.unlock();
  link->callerHandBacks++;
  link->callerReading--;
  // A reader waiting for this read to end is woken; one in a quiet time waits it out.
  if (leftOver || sReaderNeeded(link) || link->readerParked.load() == kReaderParkedForCaller) aLink_Wake(link);
  return claim.packet;
}

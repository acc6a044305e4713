// The link engine: the link record's initialisation, start, stop and synchronisation,
// and the operations callers use on a running link. The threads and the ways in and
// out are in aLinkReader.cpp and aLinkWriter.cpp.
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <new>

#include "common/internal/aLinkRecord.h"

namespace {

constexpr uint32_t kStartWaitMs = 2000;
constexpr uint32_t kSyncWaitMs = 2000;
// After a handshake the surplus replies to its requests are dropped until none came
// for kSyncQuietMs, for kSyncDrainMs at most.
constexpr uint32_t kSyncQuietMs = 20;
constexpr uint32_t kSyncDrainMs = 100;

uint8_t drainAll(const aPacket*, void*) { return 1; }

// The record of a link id, kept alive for the caller's use.
std::shared_ptr<aLink> sLink(aLinkRef id) { return sGetLink(id); }

aErr sForceRoute(aLink* link, uint8_t on) {
  aPacket packet;
  aPacket_Fill(&packet, cmdFORCEROUTE, 1, &on);
  return aLink_Send(link, &packet, 1, true);
}

std::chrono::steady_clock::time_point sDeadline(uint64_t timeoutMs) {
  const auto now = std::chrono::steady_clock::now();
  // A day short of the clock's end, as the FIFOs do: huge time-outs saturate.
  const auto latest = std::chrono::steady_clock::time_point::max() - std::chrono::hours(24);
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(latest - now).count();
  if (room <= 0 || timeoutMs >= static_cast<uint64_t>(room)) return latest;
  return now + std::chrono::milliseconds(timeoutMs);
}

// A wait that relies on the reader thread (for a packet on the incoming FIFO, or a
// change of status): it is told not to stand aside while the wait lasts.
class ReaderWait {
 public:
  explicit ReaderWait(aLink* link) : link_(link) {
    link_->readerWaiters++;
    if (link_->readerParked.load() != kReaderOnStream) aLink_Wake(link_);
  }
  ~ReaderWait() { link_->readerWaiters--; }
  ReaderWait(const ReaderWait&) = delete;
  ReaderWait& operator=(const ReaderWait&) = delete;

 private:
  aLink* link_;
};

}  // namespace

void aLink_NotifyState(aLink* link) {
  { std::lock_guard<std::mutex> hold(link->stateMutex); }
  link->stateChanged.notify_all();
}

void sSetStatus(aLink* link, int32_t status) {
  int32_t current = link->status.load();
  do {
    if (current == kLinkStatusStopping || current == status) return;
  } while (!link->status.compare_exchange_weak(current, status));
  aLink_NotifyState(link);
}

void aLink_SetControlStatus(aLink* link, int32_t status) {
  link->status = status;
  aLink_NotifyState(link);
}

aLinkRef aLink_Init(aLinkRef id, aStream* stream) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return 0;
  link->check = aLINK_CHECK;
  link->id = id;
  link->running = 0;
  {
    // No thread runs; the roles are taken so that callers racing a reset see either
    // the old state or the new one.
    std::lock_guard<std::mutex> reading(link->readLock);
    std::lock_guard<std::mutex> writing(link->writeLock);
    if (stream != nullptr) link->stream = stream;
    link->callersRead = aVALIDSTREAM(link->stream) && link->stream->waitFd >= 0;
    if (link->assembly == nullptr) link->assembly = aPacket_Create();
    else aPacket_Reset(link->assembly);
    link->heartbeatState = 0;
    link->pooled = 0;
    link->writeFailed = 0;
    link->syncRequested = 0;
  }
  aLink_SetControlStatus(link.get(), stream != nullptr ? kLinkStatusStopped : kLinkStatusNoStream);
  link->reader = nullptr;
  link->writer = nullptr;
  link->incoming = aPacketFifo_Create();
  const bool queued = link->outgoing.open();
  link->readerProc = aLink_ReaderThread;
  link->writerProc = aLink_WriterThread;
  link->readerStarted = 0;
  link->writerStarted = 0;
  if (link->userFilterSema == nullptr) {
    char name[aMUTEX_NAME_SIZE];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link.get()));
    link->userFilterSema = aMutex_Create(name);
  }
  aLink_ClearFilter(link.get());
  if (link->wakeFd < 0) link->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (link->leaveFd < 0) link->leaveFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (link->incoming.load() == 0 || !queued || link->assembly == nullptr ||
      link->userFilterSema == nullptr || link->wakeFd < 0 || link->leaveFd < 0)
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
  aPacketFifoId in = link->incoming.exchange(0);
  if (in != 0) aPacketFifo_Destroy(&in);
  link->outgoing.close();
  if (link->stream != nullptr) aStream_Destroy(&link->stream);
  if (link->assembly != nullptr) aPacket_Destroy(&link->assembly);
  if (link->userFilterSema != nullptr) aMutex_Destroy(&link->userFilterSema);
  if (link->wakeFd >= 0) close(link->wakeFd);
  if (link->leaveFd >= 0) close(link->leaveFd);
  link->check = 0;
  delete link;
}

aErr aLink_Start(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return aErrParam;
  {
    std::lock_guard<std::mutex> lock(link->control);
    if (link->destroyed.load() || link->stream == nullptr) return aErrParam;
    if (link->running.load()) return aErrNone;
    aLink_Pause(link.get(), 0);   // takes a wake-up left over from the last stop
    aLink_SetLeave(link.get(), false);
    link->writeFailed = 0;
    link->readerWants = 0;
    link->callerQuietUntil = 0;
    link->running = 1;
    aLink_SetControlStatus(link.get(), kLinkStatusStarting);
    link->heartbeatState = 0;
    link->readerStarted = 0;
    link->writerStarted = 0;
    link->reader = aThread_Create(link->readerProc, link.get());
    if (link->reader == nullptr) return aErrResource;
    link->writer = aThread_Create(link->writerProc, link.get());
    if (link->writer == nullptr) return aErrResource;
  }
  {
    // Both threads up; the reader sets the status to running as it starts.
    std::unique_lock<std::mutex> hold(link->stateMutex);
    const bool up = link->stateChanged.wait_for(hold, std::chrono::milliseconds(kStartWaitMs), [&] {
      return link->readerStarted.load() && link->writerStarted.load();
    });
    if (!up) return aErrIndexRange;
  }
  return aLink_ForceRoute(id, 1);
}

aErr aLink_StopLocked(aLink* link) {
  if (link == nullptr) return aErrParam;
  const int32_t status = link->status.load();
  if (status == kLinkStatusStopped || status == kLinkStatusStopping) return aErrNone;
  aLink_SetControlStatus(link, kLinkStatusStopping);
  if (link->reader == nullptr && link->writer == nullptr) {
    link->running = 0;
    return aErrNone;
  }
  // By record, not by id: a link being destroyed is no longer in the table.
  const aErr route = sForceRoute(link, 0);
  link->running = 0;
  aLink_Wake(link);
  aLink_SetLeave(link, true);
  link->outgoing.wake();
  bool joinFailed = false;
  if (link->reader != nullptr && aThread_Destroy(&link->reader) != 0) joinFailed = true;
  if (link->writer != nullptr && aThread_Destroy(&link->writer) != 0) joinFailed = true;
  link->readerStarted = 0;
  link->writerStarted = 0;
  {
    // A caller that was reading may still be on its way out.
    std::lock_guard<std::mutex> role(link->readLock);
    aPacket_Reset(link->assembly);
    link->heartbeatState = 0;
  }
  aLink_SetControlStatus(link, kLinkStatusStopped);
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
  uint64_t ask;
  {
    std::lock_guard<std::mutex> hold(link->stateMutex);
    ask = ++link->syncAsked;
  }
  link->syncRequested = 1;
  aLink_Wake(link.get());
  bool done = false;
  if (link->running.load()) {
    std::unique_lock<std::mutex> hold(link->stateMutex);
    done = link->stateChanged.wait_for(hold, std::chrono::milliseconds(kSyncWaitMs),
                                       [&] { return link->syncDone >= ask || !link->running.load(); }) &&
           link->syncDone >= ask;
  }
  // Requests not sent yet are dropped, and the surplus replies to those that were.
  link->outgoing.drain();
  if (link->running.load()) {
    const aTime end = aTime_GetMonotonicMSTicks() + kSyncDrainMs;
    ReaderWait waiting(link.get());
    for (;;) {
      const aTime now = aTime_GetMonotonicMSTicks();
      if (now >= end) break;
      const aTime left = end - now;
      aPacket* surplus = aPacketFifo_Await(link->incoming.load(), left < kSyncQuietMs ? left : kSyncQuietMs);
      if (surplus == nullptr) break;
      aPacket_Destroy(&surplus);
    }
  }
  aPacketFifo_DrainPackets(link->incoming.load(), drainAll, nullptr);
  return done ? aErrNone : aErrNotReady;
}

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

uint64_t aLink_GetConnection(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return 0;
  // The stream is swapped only under control (a reset).
  std::lock_guard<std::mutex> hold(link->control);
  return aStream_Connection(link->stream);
}

namespace {
// Waits until reached() or the deadline, or the link is destroyed; the status then.
template <typename Reached>
int32_t sAwaitStatus(aLinkRef id, uint64_t timeout, const Reached& reached) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link) return kLinkStatusNoStream;
  ReaderWait waiting(link.get());
  std::unique_lock<std::mutex> hold(link->stateMutex);
  link->stateChanged.wait_until(hold, sDeadline(timeout),
                                [&] { return reached(link->status.load()) || link->destroyed.load(); });
  return link->status.load();
}
}  // namespace

int32_t aLink_AwaitStatus(aLinkRef id, int32_t status, uint64_t timeout) {
  return sAwaitStatus(id, timeout, [status](int32_t now) { return now == status; });
}

int32_t aLink_AwaitStatusChange(aLinkRef id, int32_t status, uint64_t timeout) {
  return sAwaitStatus(id, timeout, [status](int32_t now) { return now != status; });
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link || packet == nullptr) return aErrParam;
  return aLink_Send(link.get(), packet, 1, true);
}

aErr aLink_PutPackets(aLinkRef id, const aPacket* packets, uint32_t count) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link || (packets == nullptr && count > 0)) return aErrParam;
  return aLink_Send(link.get(), packets, count, true);
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc match, void* reference, uint64_t timeout) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link || match == nullptr) return nullptr;
  const aTime start = aTime_GetMonotonicMSTicks();
  const aTime deadline = timeout > UINT64_MAX - start ? UINT64_MAX : start + timeout;
  auto inStep = [&] { return link->running.load() && link->status.load() == kLinkStatusRunning; };
  if (!inStep() || start >= deadline) return nullptr;
  const aPacketFifoId incoming = link->incoming.load();
  aPacket* packet = nullptr;
  if (link->callersRead.load()) {
    // A request still queued goes out now: nothing then waits for the writer.
    aLink_FlushQueued(link.get());
    bool handBack = true;
    packet = aLink_ReadForReply(link.get(), match, reference, deadline, &handBack);
    if (packet != nullptr || !handBack) return packet;
  }
  ReaderWait waiting(link.get());
  aTime now = aTime_GetMonotonicMSTicks();
  // A wait handed back began in step: its first turn on the FIFO does not look at the
  // status again, as one that began on the FIFO would not have.
  bool begun = link->callersRead.load();
  while ((begun || inStep()) && packet == nullptr && now < deadline) {
    begun = false;
    packet = aPacketFifo_AwaitFirst(incoming, match, reference, deadline - now);
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
  if (!link) return nullptr;
  ReaderWait waiting(link.get());
  return aPacketFifo_Await(link->incoming.load(), timeout);
}

aPacket* aLink_GetPacket(aLinkRef id) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? aPacketFifo_Get(link->incoming.load()) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc match, void* reference) {
  std::shared_ptr<aLink> link = sLink(id);
  return link ? aPacketFifo_GetFirst(link->incoming.load(), match, reference) : nullptr;
}

uint64_t aLink_TakeQueued(aLinkRef id, uint8_t* wire, uint64_t size) {
  std::shared_ptr<aLink> link = sLink(id);
  if (!link || wire == nullptr) return 0;
  std::lock_guard<std::mutex> role(link->writeLock);
  return link->outgoing.takeWire(wire, size);
}

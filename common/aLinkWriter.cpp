// The way out of a link. Every packet leaves through sWrite, whoever sends it: the
// writer thread, a caller writing in place of it, or the last flush of a stop.
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstring>

#include "common/internal/aLinkRecord.h"

namespace {

constexpr unsigned kPoolBytes = 4096;
// A stop wakes the writer; the slice only bounds a wake-up that went astray.
constexpr uint32_t kWriterSliceMs = 1000;
// Full packets in one pool: a caller that has queued this many sends them itself.
constexpr size_t kInPlaceSlice = kPoolBytes / aPACKET_MAX_WIRE;
// A single pooled packet that comes this long after the last write is no part of a
// stream of puts (a request between replies): it goes out at once. One that follows
// closer is queued, for the writer or the caller filling a pool to join.
constexpr int64_t kSparseNs = 10000;

int64_t sNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A failed write leaves the device in doubt about what it received: the read role
// turns the link to kLinkStatusIOError, whose handshake finds the packet boundaries
// again (a reading caller is asked to let go so that the reader thread can do it).
void sWriteFailed(aLink* link, aErr e) {
  link->writeErrors++;
  link->lastWriteError = e;
  link->writeFailed = 1;
  aLink_Wake(link);
}

// The one place where packets leave. Writes the packets 0 .. count - 1, which
// emit(i, to) lays down in wire form at to (it may use aPACKET_MAX_WIRE bytes there,
// whatever the packet's length) and whose length it returns: each in a write of its
// own, or, pooled, joined into writes of up to kPoolBytes (another packet joins while
// at most kPoolBytes - aPACKET_MAX_WIRE bytes are used, so 136 full packets at most).
// The caller holds the write role.
template <typename Emit>
aErr sWrite(aLink* link, const Emit& emit, size_t count, bool pooled) {
  aErr result = aErrNone;
  size_t i = 0;
  // Room for a whole packet past the last one: each is laid down at its full size (a
  // few moves) and the next one over the unused tail.
  uint8_t buffer[kPoolBytes + aPACKET_MAX_WIRE];
  while (i < count) {
    size_t used = 0;
    do {
      used += emit(i++, buffer + used);
    } while (pooled && i < count && used + aPACKET_MAX_WIRE <= kPoolBytes);
    // Each packet of the write is in the log before the write: a fast device's reply
    // must not reach the log before its request.
    aLink_PacketDebugRecordWire(link, aPACKETLOG_TAG_OUT, buffer, used);
    const aErr e = aStream_Write(link->stream, buffer, used);
    if (e != aErrNone) {
      result = e;
      sWriteFailed(link, e);
    }
  }
  link->lastWriteNs = sNowNs();
  return result;
}

size_t sEmitWire(const aLinkWire& w, uint8_t* to) {
  std::memcpy(to, w.bytes, aPACKET_MAX_WIRE);
  return w.length;
}

size_t sEmitPacket(const aPacket& p, uint8_t* to) {
  to[0] = p.address;
  to[1] = p.dataSize;
  std::memcpy(to + 2, p.data, aPACKET_MAX_DATA);
  return p.dataSize + 2u;
}

// Sends what the queue lends, front first; the caller holds the write role.
void sSendQueued(aLink* link) {
  const aLinkOutQueue::Loan loan = link->outgoing.acquire(aLinkOutQueue::kCapacity);
  if (loan.size() == 0) return;
  sWrite(link, [&loan](size_t i, uint8_t* to) { return sEmitWire(loan[i], to); }, loan.size(),
         link->pooled.load() != 0);
  link->outgoing.release();
}

bool sValid(const aPacket* p) { return aVALIDPACKET(p) && p->dataSize <= aPACKET_MAX_DATA; }

// Writes a batch in place; false when it must be queued instead. Holds the write role
// only when it can have it at once and nothing queued would be overtaken. Packets up to
// the first invalid one are written (aErrParam then), as puts one by one would queue them.
bool sWriteInPlace(aLink* link, const aPacket* packets, size_t count, aErr* result) {
  if (!link->running.load() || !link->outgoing.empty()) return false;
  std::unique_lock<std::mutex> role(link->writeLock, std::try_to_lock);
  if (!role.owns_lock() || link->stream == nullptr || !link->stream->promptWrites) return false;
  // Checked again with the role held: the writer takes the queue only while holding it.
  if (!link->running.load() || !link->outgoing.empty()) return false;
  size_t valid = 0;
  while (valid < count && sValid(&packets[valid])) valid++;
  *result = valid == count ? aErrNone : aErrParam;
  if (valid > 0)
    sWrite(link, [packets](size_t i, uint8_t* to) { return sEmitPacket(packets[i], to); }, valid,
           link->pooled.load() != 0);
  return true;
}

}  // namespace

aErr aLink_Send(aLink* link, const aPacket* packets, size_t count, bool inPlace) {
  if (link == nullptr || (packets == nullptr && count > 0)) return aErrParam;
  if (count == 0) return aErrNone;
  const bool pooled = link->pooled.load() != 0;
  // A single pooled packet behind others, or close behind the last write, is left to be
  // joined with what follows it.
  if (inPlace && !(pooled && count < 2 &&
                   (!link->outgoing.empty() || sNowNs() - link->lastWriteNs.load() < kSparseNs))) {
    aErr result = aErrNone;
    if (sWriteInPlace(link, packets, count, &result)) return result;
  }
  size_t queued = 0;
  const aErr result = link->outgoing.put(packets, count, &queued);
  // A caller that fills a pool sends it itself when no one else writes: the packets
  // leave from the thread that made them, and the writer thread is not needed for them.
  if (inPlace && pooled && queued >= kInPlaceSlice) aLink_FlushQueued(link);
  return result;
}

void aLink_FlushQueued(aLink* link) {
  if (!link->running.load() || link->outgoing.empty()) return;
  std::unique_lock<std::mutex> role(link->writeLock, std::try_to_lock);
  if (!role.owns_lock() || link->stream == nullptr || !link->stream->promptWrites || !link->running.load()) return;
  sSendQueued(link);
}

namespace {

// With pooled packets the writer, woken by a put, does not take the CPU from the
// thread that put: that thread goes on putting (its packets then leave together) or
// soon waits for a reply, and the writer runs then, or at once on an idle CPU. Without,
// it runs as any thread does, so that a request it sends waits for no one.
void sFollowPooling(bool pooled, bool* batch) {
#ifdef SCHED_BATCH
  if (pooled == *batch) return;
  const sched_param none{};
  if (pthread_setschedparam(pthread_self(), pooled ? SCHED_BATCH : SCHED_OTHER, &none) == 0) *batch = pooled;
#else
  (void)pooled;
  (void)batch;
#endif
}

}  // namespace

void* aLink_WriterThread(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  pthread_setname_np(pthread_self(), "aLink writer");
  bool batch = false;
  link->writerStarted = 1;
  aLink_NotifyState(link);
  while (link->running.load()) {
    sFollowPooling(link->pooled.load() != 0, &batch);
    if (!link->outgoing.wait(kWriterSliceMs)) continue;
    std::lock_guard<std::mutex> role(link->writeLock);
    sSendQueued(link);
  }
  // Send what was queued before the stop (the route-off packet among it), each packet
  // in a write of its own. A stream that fails ends the flush: the rest could only wait
  // out one write time-out each.
  std::lock_guard<std::mutex> role(link->writeLock);
  for (;;) {
    const aLinkOutQueue::Loan loan = link->outgoing.acquire(aLinkOutQueue::kCapacity);
    if (loan.size() == 0) break;
    bool failed = false;
    for (size_t i = 0; i < loan.size() && !failed; i++) {
      failed = sWrite(link, [&loan, i](size_t, uint8_t* to) { return sEmitWire(loan[i], to); }, 1, false) != aErrNone;
    }
    link->outgoing.release();
    if (failed) {
      link->outgoing.drain();
      break;
    }
  }
  return nullptr;
}

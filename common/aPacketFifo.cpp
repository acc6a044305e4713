#include "common/aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

// One queued packet with the sequence id it got when it was put.
class SerialPacket {
 public:
  SerialPacket(int64_t id, PacketPtr packet) : mId(id), mPacket(std::move(packet)) {}
  SerialPacket(SerialPacket&&) noexcept = default;
  SerialPacket& operator=(SerialPacket&&) noexcept = default;
  SerialPacket(const SerialPacket&) = delete;
  SerialPacket& operator=(const SerialPacket&) = delete;

  int64_t getId() const { return mId; }
  const aPacket* getPacket() const { return mPacket.get(); }
  explicit operator PacketPtr() && { return std::move(mPacket); }

 private:
  int64_t mId;
  PacketPtr mPacket;
};

class packetFifo {
 public:
  typedef std::deque<SerialPacket> Queue;

  Queue queue;
  std::condition_variable condition;
  std::mutex mutex;
  std::atomic<bool> open{true};
  // Sequence id of the front packet, or the next sequence id when the queue is empty:
  // an await that starts now has seen nothing below it.
  std::atomic<int64_t> windowStart{0};
  std::atomic<int64_t> nextSequenceId{0};

  // All with mutex held.
  void clearAndSyncWindow() {
    queue.clear();
    windowStart = nextSequenceId.load();
  }
  void eraseAndSyncWindow(Queue::iterator position) {
    queue.erase(position);
    syncWindow();
  }
  void eraseAndSyncWindow(Queue::iterator first, Queue::iterator last) {
    queue.erase(first, last);
    syncWindow();
  }
  void syncWindow() { windowStart = queue.empty() ? nextSequenceId.load() : queue.front().getId(); }
};

typedef std::shared_ptr<packetFifo> FifoPtr;

struct Registry {
  std::map<aPacketFifoId, FifoPtr> gpPacketFifoDictionary;
  std::mutex gpPacketFifoDictionaryMutex;
  std::atomic<uint64_t> gpSequentialId{1};
};

// Never destroyed: link threads may still touch FIFOs while the process exits.
Registry& registry() {
  static Registry* sRegistry = new Registry;
  return *sRegistry;
}
// Built before main, so that no two threads race to build it later.
[[maybe_unused]] Registry& sEarlyRegistry = registry();

FifoPtr sGetFifo(aPacketFifoId id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.gpPacketFifoDictionaryMutex);
  auto found = r.gpPacketFifoDictionary.find(id);
  return found == r.gpPacketFifoDictionary.end() ? nullptr : found->second;
}

FifoPtr sExtractFifo(aPacketFifoId id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.gpPacketFifoDictionaryMutex);
  auto found = r.gpPacketFifoDictionary.find(id);
  if (found == r.gpPacketFifoDictionary.end()) return nullptr;
  FifoPtr fifo = std::move(found->second);
  r.gpPacketFifoDictionary.erase(found);
  return fifo;
}

// The queued record was made for the FIFO alone, so it is handed over instead of being
// copied again: a take cannot fail once a packet is there.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Queue::iterator position) {
  PacketPtr packet = static_cast<PacketPtr>(std::move(*position));
  fifo.eraseAndSyncWindow(position);
  return packet.release();
}

// Deadline on the steady clock, saturated so that huge time-outs cannot overflow; a
// day of headroom is kept below the clock's maximum for the library's own arithmetic.
std::chrono::steady_clock::time_point deadlineAfter(uint64_t timeout) {
  using namespace std::chrono;
  const steady_clock::time_point now = steady_clock::now();
  const steady_clock::time_point latest = steady_clock::time_point::max() - hours(24);
  const auto room = duration_cast<milliseconds>(latest - now).count();
  if (room <= 0) return latest;
  if (timeout >= static_cast<uint64_t>(room)) return latest;
  return now + milliseconds(static_cast<milliseconds::rep>(timeout));
}

aPacket* _waitUntilNotEmpty(packetFifo& fifo, uint64_t timeout) {
  const auto deadline = deadlineAfter(timeout);
  std::unique_lock<std::mutex> hold(fifo.mutex);
  const bool ready =
      fifo.condition.wait_until(hold, deadline, [&fifo] { return !fifo.queue.empty() || !fifo.open; });
  if (!ready || fifo.queue.empty()) return nullptr;
  return _stealPacketFromFifo(fifo, fifo.queue.begin());
}

aPacket* _waitUntilProcIsSatisfied(packetFifo& fifo, aPacketFilterProc match, void* reference,
                                   uint64_t timeout) {
  const auto deadline = deadlineAfter(timeout);
  std::unique_lock<std::mutex> hold(fifo.mutex);
  int64_t lastOffered = fifo.windowStart - 1;
  bool found = false;
  packetFifo::Queue::iterator position;
  auto predicate = [&]() {
    for (auto it = fifo.queue.begin(); it != fifo.queue.end(); ++it) {
      if (it->getId() - lastOffered <= 0) continue;
      lastOffered = it->getId();
      if (match(it->getPacket(), reference) != 0) {
        found = true;
        position = it;
        return true;
      }
    }
    return !fifo.open;
  };
  fifo.condition.wait_until(hold, deadline, predicate);
  // The position is still good: the mutex has been held since the predicate found it.
  if (!found) return nullptr;
  return _stealPacketFromFifo(fifo, position);
}

}  // namespace

aPacketFifoId aPacketFifo_Create() {
  try {
    FifoPtr fifo = std::make_shared<packetFifo>();
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.gpPacketFifoDictionaryMutex);
    for (;;) {
      aPacketFifoId id = r.gpSequentialId.fetch_add(1);
      if (id == 0) continue;
      // After a wrap-around an id may still be in use; it is never handed out twice.
      if (r.gpPacketFifoDictionary.emplace(id, fifo).second) return id;
    }
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  try {
    if (id == nullptr) return aErrParam;
    FifoPtr fifo = sExtractFifo(*id);
    if (!fifo) return aErrNotFound;
    {
      std::lock_guard<std::mutex> hold(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->open = false;
      fifo->condition.notify_all();
    }
    *id = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    // The copy is made, and the waiters are woken, outside the mutex: a woken waiter
    // does not run into it still held.
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    {
      std::lock_guard<std::mutex> hold(fifo->mutex);
      // A put that found the FIFO just before its destruction must not refill it.
      if (!fifo->open) return aErrParam;
      const int64_t sequence = fifo->nextSequenceId.fetch_add(1);
      fifo->queue.emplace_back(sequence, std::move(copy));
      fifo->windowStart = fifo->queue.front().getId();
      if (fifo->queue.size() > aPACKETFIFO_MAX_LENGTH) {
        fifo->clearAndSyncWindow();
        return aErrOverrun;
      }
    }
    fifo->condition.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> hold(fifo->mutex);
    if (fifo->queue.empty()) return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t timeout) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    return _waitUntilNotEmpty(*fifo, timeout);
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc match, void* reference) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo || match == nullptr) return nullptr;
    std::lock_guard<std::mutex> hold(fifo->mutex);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
      if (match(it->getPacket(), reference) != 0) return _stealPacketFromFifo(*fifo, it);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc match, void* reference,
                                uint64_t timeout) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo || match == nullptr) return nullptr;
    return _waitUntilProcIsSatisfied(*fifo, match, reference, timeout);
  } catch (...) {
    return nullptr;
  }
}

uint64_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc match, void* reference) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo || match == nullptr) return 0;
    std::lock_guard<std::mutex> hold(fifo->mutex);
    const size_t before = fifo->queue.size();
    // Every answer is collected before anything moves, so a match function that throws
    // leaves the queue as it was.
    std::vector<bool> selected;
    selected.reserve(before);
    for (const SerialPacket& element : fifo->queue) selected.push_back(match(element.getPacket(), reference) != 0);
    // Stable compaction: kept packets move forward in order; assigning over a selected
    // one frees it, and the vacated tail is erased.
    auto tail = fifo->queue.begin();
    size_t index = 0;
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it, ++index) {
      if (selected[index]) continue;
      if (it != tail) *tail = std::move(*it);
      ++tail;
    }
    fifo->eraseAndSyncWindow(tail, fifo->queue.end());
    return before - fifo->queue.size();
  } catch (...) {
    return 0;
  }
}

uint64_t aPacketFifo_GetLength(aPacketFifoId id) {
  try {
    FifoPtr fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> hold(fifo->mutex);
    return fifo->queue.size();
  } catch (...) {
    return 0;
  }
}

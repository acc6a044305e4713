#pragma once
// A link's outgoing queue: packets in wire form waiting for the stream, held in slots
// made once when the queue opens, so that queueing a packet allocates nothing. It
// keeps the bound and the overrun rule of the packet FIFOs (common/aPacketFifo.h): a
// put that would exceed aPACKETFIFO_MAX_LENGTH packets empties the queue, the packet
// just put included, and reports aErrOverrun.
//
// Every operation is thread-safe. One thread at a time waits for packets (the link's
// writer); a put wakes it only when it waits.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"

struct aLinkWire {
  uint8_t length;                      // wire bytes: 2 + data length
  uint8_t bytes[aPACKET_MAX_WIRE];
};

class aLinkOutQueue {
 public:
  static constexpr size_t kCapacity = aPACKETFIFO_MAX_LENGTH;

  aLinkOutQueue() = default;
  aLinkOutQueue(const aLinkOutQueue&) = delete;
  aLinkOutQueue& operator=(const aLinkOutQueue&) = delete;

  // Opens the queue empty (its slots are made on the first open); false without memory.
  bool open();
  // Empties and closes it: later puts get aErrParam; the waiting writer returns.
  void close();
  bool isOpen() const { return open_.load(); }

  // Queues count packets in order, as that many single puts would, and stops at the
  // first one refused: aErrParam when the queue is closed or a packet is invalid,
  // aErrOverrun as above. *queued (when given) receives the number queued afterwards.
  aErr put(const aPacket* packets, size_t count, size_t* queued = nullptr);
  // Drops everything queued; returns how many packets went.
  size_t drain();
  // Packets queued (those being sent not counted); read without the lock, so a moment
  // old when others put or take meanwhile.
  size_t size() const { return queued_.load(std::memory_order_relaxed); }
  bool empty() const { return size() == 0; }

  // The one taker at a time (the holder of the link's write role): acquire() lends the
  // oldest packets, up to max, in place, and release() lets them go once sent. Lent
  // packets are no longer queued: a drain or an overrun does not touch them, and puts
  // never overwrite them.
  struct Loan {
    const aLinkWire* first = nullptr;   // the oldest packets
    size_t firstCount = 0;
    const aLinkWire* second = nullptr;  // where the ring wraps, the ones after them
    size_t secondCount = 0;
    size_t size() const { return firstCount + secondCount; }
    const aLinkWire& operator[](size_t i) const { return i < firstCount ? first[i] : second[i - firstCount]; }
  };
  Loan acquire(size_t max);
  void release();
  // Moves whole packets, front first, as wire bytes into out while they fit in size;
  // returns the bytes moved. A taker as above.
  size_t takeWire(uint8_t* out, size_t size);

  // The writer's wait: until a packet is queued, wake() is called, or timeoutMs passed.
  // True when packets wait.
  bool wait(uint32_t timeoutMs);
  // Ends the writer's current wait (a stop).
  void wake();

 private:
  // Room for a full queue beside a full loan.
  static constexpr size_t kSlots = 2 * kCapacity;

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::unique_ptr<aLinkWire[]> slots_;
  // All under mutex_. The ring holds lent_ packets from head_ on, then the queued ones.
  size_t head_ = 0;
  size_t used_ = 0;
  size_t lent_ = 0;
  std::atomic<bool> open_{false};
  std::atomic<size_t> queued_{0};   // used_ - lent_, written under mutex_
  bool waiting_ = false;   // the writer is in wait()
  bool woken_ = false;
};

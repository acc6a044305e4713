#include "common/internal/aLinkOutQueue.h"

#include <chrono>
#include <cstring>
#include <new>

namespace {

// The queue's critical sections are a few dozen instructions, and the taker and the
// putters meet on them all the time; a blocked lock would cost two system calls and
// a trip through the scheduler. Asked a few times first, it is nearly always had.
constexpr int kLockTries = 64;

std::unique_lock<std::mutex> sHold(std::mutex& m) {
  for (int i = 0; i < kLockTries; i++) {
    std::unique_lock<std::mutex> hold(m, std::try_to_lock);
    if (hold.owns_lock()) return hold;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  return std::unique_lock<std::mutex>(m);
}

}  // namespace

bool aLinkOutQueue::open() {
  std::unique_lock<std::mutex> hold = sHold(mutex_);
  if (!slots_) {
    slots_.reset(new (std::nothrow) aLinkWire[kSlots]);
    if (!slots_) return false;
  }
  head_ = (head_ + lent_) % kSlots;
  used_ = lent_;
  queued_ = 0;
  woken_ = false;
  open_ = true;
  return true;
}

void aLinkOutQueue::close() {
  bool wake;
  {
    std::unique_lock<std::mutex> hold = sHold(mutex_);
    open_ = false;
    used_ = lent_;
    queued_ = 0;
    woken_ = true;
    wake = waiting_;
  }
  if (wake) ready_.notify_all();
}

aErr aLinkOutQueue::put(const aPacket* packets, size_t count, size_t* queued) {
  if (packets == nullptr && count > 0) return aErrParam;
  aErr result = aErrNone;
  bool wake = false;
  {
    std::unique_lock<std::mutex> hold = sHold(mutex_);
    if (!open_.load()) return aErrParam;
    for (size_t i = 0; i < count; i++) {
      const aPacket* p = &packets[i];
      if (!aVALIDPACKET(p) || p->dataSize > aPACKET_MAX_DATA) {
        result = aErrParam;
        break;
      }
      if (used_ - lent_ == kCapacity) {
        // One more than the bound: everything queued goes, this packet too, so that
        // traffic can flow again; the loss is reported.
        used_ = lent_;
        result = aErrOverrun;
        break;
      }
      aLinkWire& slot = slots_[(head_ + used_) % kSlots];
      slot.length = static_cast<uint8_t>(p->dataSize + 2);
      slot.bytes[0] = p->address;
      slot.bytes[1] = p->dataSize;
      // All 28 data bytes, whatever the length: a copy of fixed size is a few moves.
      std::memcpy(slot.bytes + 2, p->data, aPACKET_MAX_DATA);
      used_++;
    }
    wake = waiting_ && !woken_ && used_ > lent_;
    if (wake) woken_ = true;
    queued_.store(used_ - lent_, std::memory_order_relaxed);
    if (queued != nullptr) *queued = used_ - lent_;
  }
  if (wake) ready_.notify_one();
  return result;
}

size_t aLinkOutQueue::drain() {
  std::unique_lock<std::mutex> hold = sHold(mutex_);
  const size_t n = used_ - lent_;
  used_ = lent_;
  queued_ = 0;
  return n;
}

aLinkOutQueue::Loan aLinkOutQueue::acquire(size_t max) {
  std::unique_lock<std::mutex> hold = sHold(mutex_);
  Loan loan;
  if (lent_ != 0 || !slots_) return loan;
  size_t n = used_ < max ? used_ : max;
  lent_ = n;
  queued_.store(used_ - lent_, std::memory_order_relaxed);
  loan.first = &slots_[head_];
  loan.firstCount = n < kSlots - head_ ? n : kSlots - head_;
  loan.second = &slots_[0];
  loan.secondCount = n - loan.firstCount;
  return loan;
}

void aLinkOutQueue::release() {
  std::unique_lock<std::mutex> hold = sHold(mutex_);
  head_ = (head_ + lent_) % kSlots;
  used_ -= lent_;
  lent_ = 0;
}

size_t aLinkOutQueue::takeWire(uint8_t* out, size_t size) {
  std::unique_lock<std::mutex> hold = sHold(mutex_);
  size_t bytes = 0;
  while (used_ > lent_ && lent_ == 0) {
    const aLinkWire& slot = slots_[head_];
    if (bytes + slot.length > size) break;
    std::memcpy(out + bytes, slot.bytes, slot.length);
    bytes += slot.length;
    head_ = (head_ + 1) % kSlots;
    used_--;
  }
  queued_.store(used_ - lent_, std::memory_order_relaxed);
  return bytes;
}

bool aLinkOutQueue::wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold = sHold(mutex_);
  if (used_ == lent_ && !woken_) {
    waiting_ = true;
    ready_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return used_ > lent_ || woken_; });
    waiting_ = false;
  }
  woken_ = false;
  return used_ > lent_;
}

void aLinkOutQueue::wake() {
  bool wake;
  {
    std::unique_lock<std::mutex> hold = sHold(mutex_);
    woken_ = true;
    wake = waiting_;
  }
  if (wake) ready_.notify_all();
}

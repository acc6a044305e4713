#pragma once
// A bounded queue for exactly one producer thread and one consumer thread, without a
// lock: a ring of capacity slots that holds at most capacity - 1 elements.
//
// The producer writes a slot before it publishes the write index, and never writes
// the slot the read index names, which is the one the consumer takes out last.
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace Quenlark {

template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t slotCount)
      : slots(new T[slotCount == 0 ? 1 : slotCount]), capacity(slotCount == 0 ? 1 : slotCount) {}
  ~LocklessQueue_SPSC() = default;
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer only. False when full (the value is left with the caller).
  bool push(T&& v) {
    const uint16_t next = _increment(write.load());
    if (next == read.load()) return false;
    slots[next] = std::move(v);
    write.store(next);
    return true;
  }
  bool push(const T& v) {
    T copy(v);
    return push(std::move(copy));
  }
  // Consumer only. False when empty. The element is moved out, so the slot keeps
  // nothing of it.
  bool pop(T* out) {
    const uint16_t r = read.load();
    if (r == write.load()) return false;
    const uint16_t next = _increment(r);
    read.store(next);
    *out = std::move(slots[next]);
    slots[next] = T();
    return true;
  }
  bool empty() const { return read.load() == write.load(); }

  uint16_t _increment(uint16_t i) const { return static_cast<uint16_t>(i + 1u < capacity ? i + 1u : 0u); }

 private:
  std::unique_ptr<T[]> slots;
  const uint16_t capacity;
  std::atomic<uint16_t> write{0};
  std::atomic<uint16_t> read{0};
};

}  // namespace Quenlark

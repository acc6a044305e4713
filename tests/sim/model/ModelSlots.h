#pragma once
// The store-slot entity of a simulated module (command 0x04): numbered slots in numbered
// stores, each with a capacity and contents. A slot is opened for reading or writing
// under a handle, read or written in chunks of up to 25 bytes (every written chunk is
// acknowledged with the 8-bit sum of its bytes) and closed. Opening for writing empties
// the slot; written chunks append.
//
// Not thread-safe: the module calls it under its own lock.
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "tests/sim/model/ModelFaults.h"

namespace devsim {
namespace model {

// Operations (data byte 1 of a request).
constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;

class Slots {
 public:
  // Stores 0 and 1 with slots 0 to 7 each, 4096 bytes of capacity, empty.
  Slots();

  // Makes (or reshapes) a slot; contents beyond the capacity are cut.
  void setSlot(uint8_t store, uint8_t slot, uint16_t capacity, std::vector<uint8_t> bytes);
  void removeSlot(uint8_t store, uint8_t slot);
  std::vector<uint8_t> bytes(uint8_t store, uint8_t slot) const;
  size_t openHandles() const;
  // Faults by operation.
  FaultPlan& faults() { return faults_; }

  // Answers one request (data bytes, the first 0x04) with the data of its replies.
  void handle(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& replies);

 private:
  using Key = std::pair<uint8_t, uint8_t>;
  struct Slot {
    uint16_t capacity = 0;
    std::vector<uint8_t> bytes;
  };
  struct Open {
    Key slot;
    bool writing = false;
    size_t cursor = 0;
  };

  // Carries a well-formed request out: its success reply, or the code of its refusal.
  uint8_t carryOut(uint8_t op, const std::vector<uint8_t>& d, std::vector<uint8_t>& reply);

  std::map<Key, Slot> slots_;
  std::map<uint8_t, Open> open_;
  FaultPlan faults_;
};

}  // namespace model
}  // namespace devsim

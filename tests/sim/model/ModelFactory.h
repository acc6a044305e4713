#pragma once
// The factory-data entity of a simulated module (command 0x5E): 16 numbered slots of
// bytes. A transfer reads or writes one slot in chunks of up to 26 bytes, its first
// request marked, and ends with a packet naming the number of bytes transferred; a
// write takes effect only when that count is right.
//
// Not thread-safe: the module calls it under its own lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/sim/model/ModelFaults.h"

namespace devsim {
namespace model {

// Kinds of factory-data request, for faults.
enum FactoryPacket : uint8_t { kFactoryRead = 0, kFactoryWrite = 1, kFactoryEnd = 2 };

class Factory {
 public:
  void setData(uint8_t slot, std::vector<uint8_t> bytes);
  std::vector<uint8_t> data(uint8_t slot) const;
  // The most a write may store in one slot (default 1024).
  void setCapacity(size_t capacity) { capacity_ = capacity; }
  // Faults by FactoryPacket.
  FaultPlan& faults() { return faults_; }

  // Answers one request (data bytes, the first 0x5E) with the data of its replies.
  void handle(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& replies);

 private:
  struct Transfer {
    bool active = false;
    bool writing = false;
    uint8_t slot = 0;
    size_t moved = 0;               // bytes sent (read) or taken (write) so far
    std::vector<uint8_t> pending;   // a write's bytes until its end packet
  };

  uint8_t read(uint8_t slot, bool first, std::vector<uint8_t>& reply);
  uint8_t write(uint8_t slot, bool first, const std::vector<uint8_t>& d, std::vector<uint8_t>& reply);
  uint8_t end(const std::vector<uint8_t>& d, std::vector<uint8_t>& reply);

  std::array<std::vector<uint8_t>, 16> slots_;
  size_t capacity_ = 1024;
  Transfer transfer_;
  FaultPlan faults_;
};

}  // namespace model
}  // namespace devsim

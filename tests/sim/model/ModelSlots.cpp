#include "tests/sim/model/ModelSlots.h"

#include <algorithm>

#include "tests/sim/model/ModelCodes.h"

namespace devsim {
namespace model {

namespace {
constexpr size_t kChunk = 25;
constexpr size_t kLongestWrite = 3 + kChunk;   // [04 07 handle] and the chunk
constexpr uint16_t kDefaultCapacity = 4096;
constexpr uint8_t kNoHandle = 255;
constexpr uint8_t kErrorBit = 0x80;
}  // namespace

Slots::Slots() {
  for (uint8_t store = 0; store < 2; store++)
    for (uint8_t slot = 0; slot < 8; slot++) slots_[{store, slot}].capacity = kDefaultCapacity;
}

void Slots::setSlot(uint8_t store, uint8_t slot, uint16_t capacity, std::vector<uint8_t> bytes) {
  if (bytes.size() > capacity) bytes.resize(capacity);
  Slot& s = slots_[{store, slot}];
  s.capacity = capacity;
  s.bytes = std::move(bytes);
}

void Slots::removeSlot(uint8_t store, uint8_t slot) { slots_.erase({store, slot}); }

std::vector<uint8_t> Slots::bytes(uint8_t store, uint8_t slot) const {
  auto it = slots_.find({store, slot});
  return it == slots_.end() ? std::vector<uint8_t>() : it->second.bytes;
}

size_t Slots::openHandles() const { return open_.size(); }

void Slots::handle(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& replies) {
  if (d.size() < 2) return;   // not even an operation: nothing to answer
  const uint8_t op = d[1];
  if (op & kErrorBit) return;   // the error form is the module's own, never a request
  // An error reply repeats what names the request's target: store and slot for the
  // capacity, size and open operations, the handle for the others.
  const size_t named = op >= kSlotCapacity && op <= kSlotOpenWrite ? 2 : 1;
  std::vector<uint8_t> error = {kCmdSlot, static_cast<uint8_t>(op | kErrorBit)};
  for (size_t i = 2; i < d.size() && i < 2 + named; i++) error.push_back(d[i]);

  const ReplyFault fault = faults_.next(op);
  if (fault.kind == ReplyFault::kRefuse || fault.kind == ReplyFault::kNoCode) {
    if (fault.kind == ReplyFault::kRefuse) error.push_back(fault.code);
    replies.push_back(std::move(error));
    return;
  }
  std::vector<uint8_t> reply;
  const uint8_t code = carryOut(op, d, reply);
  if (fault.kind == ReplyFault::kSilent) return;
  if (code != 0) {
    error.push_back(code);
    replies.push_back(std::move(error));
    return;
  }
  if (fault.kind == ReplyFault::kWrongSum && op == kSlotWrite) reply.back()++;
  reshape(fault.kind, reply);
  replies.push_back(std::move(reply));
}

uint8_t Slots::carryOut(uint8_t op, const std::vector<uint8_t>& d, std::vector<uint8_t>& reply) {
  switch (op) {
    case kSlotCapacity:
    case kSlotSize:
    case kSlotOpenRead:
    case kSlotOpenWrite: {
      if (d.size() != 4) return kErrParam;
      auto it = slots_.find({d[2], d[3]});
      if (it == slots_.end()) return kErrIndexRange;
      reply = {kCmdSlot, op, d[2], d[3]};
      if (op == kSlotCapacity || op == kSlotSize) {
        const size_t value = op == kSlotCapacity ? it->second.capacity : it->second.bytes.size();
        reply.push_back(static_cast<uint8_t>(value >> 8));
        reply.push_back(static_cast<uint8_t>(value));
        return 0;
      }
      // Handles start at 1, so that a host that takes a handle from a reply too short
      // to carry one (and reads 0) is caught out.
      uint8_t handle = 1;
      while (handle < kNoHandle && open_.count(handle)) handle++;
      if (handle == kNoHandle) return kErrResource;
      if (op == kSlotOpenWrite) it->second.bytes.clear();
      open_[handle] = Open{it->first, op == kSlotOpenWrite, 0};
      reply.push_back(handle);
      return 0;
    }
    case kSlotRead:
    case kSlotWrite:
    case kSlotClose: {
      if (d.size() < 3) return kErrParam;
      auto open = open_.find(d[2]);
      if (open == open_.end()) return kErrNotFound;
      reply = {kCmdSlot, op, d[2]};
      if (op == kSlotClose) {
        if (d.size() != 3) return kErrParam;
        open_.erase(open);
        reply.push_back(0x00);
        return 0;
      }
      auto slot = slots_.find(open->second.slot);
      if (slot == slots_.end()) return kErrIndexRange;   // taken away while open
      std::vector<uint8_t>& bytes = slot->second.bytes;
      if (op == kSlotRead) {
        if (d.size() != 3) return kErrParam;
        if (open->second.writing) return kErrMode;
        size_t& cursor = open->second.cursor;
        if (cursor >= bytes.size()) return kErrEOF;
        const size_t n = std::min(kChunk, bytes.size() - cursor);
        reply.insert(reply.end(), bytes.begin() + static_cast<long>(cursor),
                     bytes.begin() + static_cast<long>(cursor + n));
        cursor += n;
        return 0;
      }
      if (d.size() < 4 || d.size() > kLongestWrite) return kErrParam;
      if (!open->second.writing) return kErrMode;
      if (bytes.size() + (d.size() - 3) > slot->second.capacity) return kErrSize;
      uint8_t sum = 0;
      for (size_t i = 3; i < d.size(); i++) {
        bytes.push_back(d[i]);
        sum = static_cast<uint8_t>(sum + d[i]);
      }
      reply.push_back(sum);
      return 0;
    }
    default:
      return kErrInvalidOption;
  }
}

}  // namespace model
}  // namespace devsim

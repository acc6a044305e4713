#include "tests/sim/model/ModelFactory.h"

#include <algorithm>

#include "tests/sim/model/ModelCodes.h"

namespace devsim {
namespace model {

namespace {
constexpr size_t kChunk = 26;
constexpr uint8_t kSlotBits = 0x0F;
constexpr uint8_t kWriteBit = 0x10;
constexpr uint8_t kEndBit = 0x20;
constexpr uint8_t kFirstBit = 0x40;
constexpr uint8_t kErrorBit = 0x80;
}  // namespace

void Factory::setData(uint8_t slot, std::vector<uint8_t> bytes) { slots_[slot & kSlotBits] = std::move(bytes); }

std::vector<uint8_t> Factory::data(uint8_t slot) const { return slots_[slot & kSlotBits]; }

void Factory::handle(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& replies) {
  if (d.size() < 2) return;   // no slot byte: nothing to answer
  const uint8_t slot = d[1] & kSlotBits;
  const uint8_t flags = d[1] & static_cast<uint8_t>(~kSlotBits);
  const std::vector<uint8_t> error = {kCmdFactory, static_cast<uint8_t>(slot | kErrorBit)};
  FactoryPacket kind;
  if (flags == 0 || flags == kFirstBit) {
    kind = kFactoryRead;
  } else if (flags == kWriteBit || flags == (kWriteBit | kFirstBit)) {
    kind = kFactoryWrite;
  } else if (flags == kEndBit && slot == 0) {
    kind = kFactoryEnd;
  } else {
    std::vector<uint8_t> refusal = error;
    refusal.push_back(kErrParam);
    replies.push_back(std::move(refusal));
    return;
  }

  const ReplyFault fault = faults_.next(kind);
  if (fault.kind == ReplyFault::kRefuse || fault.kind == ReplyFault::kNoCode) {
    std::vector<uint8_t> refusal = error;
    if (fault.kind == ReplyFault::kRefuse) refusal.push_back(fault.code);
    replies.push_back(std::move(refusal));
    return;
  }
  std::vector<uint8_t> reply;
  const bool first = (flags & kFirstBit) != 0;
  uint8_t code;
  switch (kind) {
    case kFactoryRead: code = d.size() == 2 ? read(slot, first, reply) : kErrParam; break;
    case kFactoryWrite: code = write(slot, first, d, reply); break;
    default: code = end(d, reply); break;
  }
  if (fault.kind == ReplyFault::kSilent) return;
  if (code != 0) {
    std::vector<uint8_t> refusal = error;
    refusal.push_back(code);
    replies.push_back(std::move(refusal));
    return;
  }
  reshape(fault.kind, reply);
  replies.push_back(std::move(reply));
}

uint8_t Factory::read(uint8_t slot, bool first, std::vector<uint8_t>& reply) {
  if (first) {
    transfer_ = Transfer();
    transfer_.active = true;
    transfer_.slot = slot;
  } else if (!transfer_.active || transfer_.writing || transfer_.slot != slot) {
    return kErrMode;   // a continuation of a read that never began
  }
  const std::vector<uint8_t>& bytes = slots_[slot];
  // A full chunk tells the host to ask again, so a slot of a whole number of chunks
  // ends with an empty reply.
  const size_t from = std::min(transfer_.moved, bytes.size());   // the slot may have shrunk meanwhile
  const size_t n = std::min(kChunk, bytes.size() - from);
  reply = {kCmdFactory, slot};
  reply.insert(reply.end(), bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + n));
  transfer_.moved += n;
  return 0;
}

uint8_t Factory::write(uint8_t slot, bool first, const std::vector<uint8_t>& d, std::vector<uint8_t>& reply) {
  if (first) {
    transfer_ = Transfer();
    transfer_.active = true;
    transfer_.writing = true;
    transfer_.slot = slot;
  } else if (!transfer_.active || !transfer_.writing || transfer_.slot != slot) {
    return kErrMode;   // a continuation of a write that never began
  }
  const size_t n = d.size() - 2;
  if (n > kChunk) return kErrParam;
  if (transfer_.pending.size() + n > capacity_) return kErrSize;
  transfer_.pending.insert(transfer_.pending.end(), d.begin() + 2, d.end());
  transfer_.moved += n;
  reply = {kCmdFactory, slot};
  return 0;
}

uint8_t Factory::end(const std::vector<uint8_t>& d, std::vector<uint8_t>& reply) {
  if (d.size() != 4) return kErrParam;
  const size_t count = static_cast<size_t>(d[2]) << 8 | d[3];
  const Transfer done = transfer_;
  transfer_ = Transfer();
  // A write of nothing sends no chunk, so its end finds no transfer: there is nothing
  // to take effect.
  if (!done.active && count != 0) return kErrMode;
  if (done.active && count != done.moved) return kErrSize;
  if (done.active && done.writing) slots_[done.slot] = done.pending;
  reply = {kCmdFactory, 0x00};
  return 0;
}

}  // namespace model
}  // namespace devsim

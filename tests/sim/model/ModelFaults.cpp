#include "tests/sim/model/ModelFaults.h"

namespace devsim {
namespace model {

void reshape(ReplyFault::Kind kind, std::vector<uint8_t>& reply) {
  if (kind == ReplyFault::kShort && !reply.empty()) reply.pop_back();
  if (kind == ReplyFault::kLong) reply.push_back(0x00);
}

void FaultPlan::set(uint8_t kind, const ReplyFault& fault) {
  Entry entry;
  entry.fault = fault;
  entries_[kind] = entry;
}

void FaultPlan::clear() { entries_.clear(); }

ReplyFault FaultPlan::next(uint8_t kind) {
  auto it = entries_.find(kind);
  if (it == entries_.end()) return ReplyFault();
  Entry& e = it->second;
  if (++e.seen <= e.fault.skip) return ReplyFault();
  if (e.fault.count >= 0 && e.applied >= e.fault.count) return ReplyFault();
  e.applied++;
  return e.fault;
}

}  // namespace model
}  // namespace devsim

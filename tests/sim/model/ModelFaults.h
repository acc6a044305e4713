#pragma once
// Faults a test puts on the answers to one kind of request (a store-slot operation, a
// factory-data packet): which answers go wrong, and how.
#include <cstdint>
#include <map>
#include <vector>

namespace devsim {
namespace model {

struct ReplyFault {
  enum Kind {
    kNone,
    kRefuse,     // an error reply carrying code (0 too); the request is not carried out
    kNoCode,     // an error reply that ends before its code byte; not carried out
    kWrongSum,   // a slot-write acknowledgement whose sum is one too high (slot writes only)
    kShort,      // the success reply without its last byte
    kLong,       // the success reply with one more byte, 0x00
    kSilent,     // the request is carried out and its reply lost
  };
  Kind kind = kNone;
  uint8_t code = 0;
  unsigned skip = 0;   // requests of that kind answered normally first
  int count = -1;      // faulty answers after those; -1: every one
};

// Cuts (kShort) or lengthens (kLong) a success reply; other kinds leave it alone.
void reshape(ReplyFault::Kind kind, std::vector<uint8_t>& reply);

// Counts the requests of each kind and says which fault the next one meets.
class FaultPlan {
 public:
  // Replaces the fault of a kind of request and starts its count afresh.
  void set(uint8_t kind, const ReplyFault& fault);
  void clear();
  // Counts one request of that kind; its fault (kNone when it is answered normally).
  ReplyFault next(uint8_t kind);

 private:
  struct Entry {
    ReplyFault fault;
    unsigned seen = 0;
    int applied = 0;
  };
  std::map<uint8_t, Entry> entries_;
};

}  // namespace model
}  // namespace devsim

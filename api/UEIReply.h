#pragma once
// The part of matching a UEI reply that every reader of one shares: which packets
// answer a record, and how an error reply is taken into it.
#include "api/uei.h"
#include "common/aPacket.h"

namespace Quenlark {
namespace Tallowick {

enum class UEIReply {
  None,    // no answer to this record
  Error,   // an error reply: its specifier and code are now in the record
  Value,   // an answer whose value the reader takes from the packet
};

// An answer comes from the record's module with its command, its exact option byte
// and its index. Stream samples of the same option (specifier bit 6) never answer:
// a sample arriving late must not be taken for the answer to a GET. An error reply
// without its code byte carries code 0, which readers turn into a failure.
UEIReply ueiMatchReply(const aPacket* packet, uei* record);

}  // namespace Tallowick
}  // namespace Quenlark

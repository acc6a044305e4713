#pragma once
// Matching UEI replies, what every reader of one shares: which packets answer a record,
// how an error reply is taken into it, and how a byte sequence is put back together from
// its chunks. Free of links and threads, so that anything can feed it packets.
#include "api/uei.h"
#include "common/aErr.h"
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

// Match functions for awaiting a reply (packet, the record as reference): 1 takes the
// packet. ueiTakeValue decodes a plain value (none, byte, 16 or 32 bits) into the
// record; ueiTakeBytesChunk appends the next chunk of a byte sequence to the record's
// buffer, never past its capacity (a chunk that would overrun it, one without its
// sequence byte, or an empty one that claims more follow ends the read as an error).
uint8_t ueiTakeValue(const aPacket* packet, void* record);
uint8_t ueiTakeBytesChunk(const aPacket* packet, void* record);

// The device's code of an error reply. A reply that carried no code, or a code of 0,
// still reports a failure: it is never read as success.
aErr ueiDeviceCode(const uei& record);

// After ueiTakeBytesChunk took a packet: true when the sequence goes on (the record now
// expects the next chunk); false when the read is over, with *result aErrNone for a
// complete sequence or the failure.
bool ueiBytesNext(uei* record, aErr* result);

}  // namespace Tallowick
}  // namespace Quenlark

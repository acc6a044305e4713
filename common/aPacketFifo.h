#pragma once
// Thread-safe queues of device packets, known by id in a process-wide registry.
//
// Every function copies packets on the way in and on the way out: a caller never
// shares a record with a FIFO, and a packet returned by a take belongs to the caller,
// who frees it with aPacket_Destroy. No function throws.
#include <cstdint>
#include "common/aErr.h"
#include "common/aPacket.h"

typedef uint64_t aPacketFifoId;   // 0 means none; ids are never reused in a process

// A match function: non-zero selects the packet. It runs with the FIFO's mutex held,
// so it must be short and must not call any operation of the same FIFO. It may read
// the packet but must neither keep nor free it. The same type serves as a link's user
// packet filter, where exactly 1 means "consumed".
typedef uint8_t (*aPacketFilterProc)(const aPacket* packet, void* reference);

// A FIFO holds at most this many packets. A put that would exceed it empties the FIFO
// (the packet just put included) so that traffic can flow again, and reports the loss
// with aErrOverrun; the next put is queued as usual.
#define aPACKETFIFO_MAX_LENGTH 1000

// Returns the new FIFO's id, or 0.
aPacketFifoId aPacketFifo_Create();
// Closes, empties and unregisters the FIFO; waiters return null. Sets *id to 0 on
// success. aErrParam for a null pointer, aErrNotFound for an unknown id (left as is).
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Queues a copy of the packet at the back; the caller keeps its packet.
// aErrParam for an unknown id, an invalid packet or a copy that could not be made;
// aErrOverrun when the bound was exceeded and everything queued was dropped;
// aErrResource when the queue could not store the copy.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// Takes the front packet, or null when the FIFO is empty or unknown. No wait.
aPacket* aPacketFifo_Get(aPacketFifoId id);
// Waits up to timeout milliseconds (steady clock; huge values saturate) for a packet
// and takes the front one; null at the deadline or when the FIFO is destroyed.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t timeout);

// Takes the first packet, from the front, that match accepts; null when none does.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc match, void* reference);
// Waits up to timeout milliseconds for a packet that match accepts and takes it. Each
// packet is offered to match at most once per call. Null at the deadline or when the
// FIFO is destroyed.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc match, void* reference,
                                uint64_t timeout);

// Removes every packet that match accepts, keeping the others in order; returns how
// many were removed (0 for an unknown FIFO). Wakes nobody.
uint64_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc match, void* reference);

// Number of queued packets; 0 for an unknown FIFO.
uint64_t aPacketFifo_GetLength(aPacketFifoId id);

#pragma once
// Core links: one conversation with one device (or the router module in front of
// several) over one byte stream, run by a reader and a writer thread of its own.
//
// Callers hold links by id (aLinkRef). Packets passed in are copied; packets returned
// belong to the caller, who frees them with aPacket_Destroy. Nothing here prints.
#include <cstdint>

#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"
#include "common/aStream.h"

typedef uint32_t aLinkRef;   // 0 means none

enum aLinkStatus : int32_t {
  kLinkStatusStopped = 0,      // initialised with a stream, or stopped
  kLinkStatusStarting = 1,     // threads starting
  kLinkStatusRunning = 2,      // reader running and in step with the device
  kLinkStatusStopping = 3,
  kLinkStatusSyncing = 4,      // synchronisation handshake in progress
  kLinkStatusNoStream = 5,     // no stream; also reported for an unknown id
  kLinkStatusIOError = 6,      // the last stream read failed
  kLinkStatusPacketError = 8,  // routing a complete packet failed
};

// --- creation and release ---------------------------------------------------------
// Each creation for a device reuses the device's existing entry (raising its use count)
// or makes, starts (and for USB synchronises) a new one; 0 on failure, leaving nothing
// behind. A USB or TCP/IP entry served by a link server gives 0.

// Defined with the USB transport.
aLinkRef aLink_CreateUSB(uint32_t serial);
// The same for a module that discovery found at that place on the bus (a USB linkSpec's
// bus and address): opened there without a second walk of the bus, unless it has gone.
aLinkRef aLink_CreateUSBAt(uint32_t serial, uint8_t bus, uint8_t address);
// address: IPv4 in network byte order; port in host order.
aLinkRef aLink_CreateTCPIP(uint32_t serial, uint32_t address, uint16_t port);
// A COBS-framed serial line at 2400 to 230400 baud (any other rate gives 0).
aLinkRef aLink_CreateSerial(uint32_t serial, const char* portName, uint32_t baud);
// A client link to a link server's frontend (address: IPv4 in network byte order): a new
// link every time, started at once without a handshake (a server that does not listen
// is no failure; only the waits time out). With ref non-zero: one more use of that
// existing link, 0 when there is none.
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef ref);
// Puts a link server (common/aServer.h) in front of the device link deviceId and returns
// a client link through it, which from then on holds the caller's use of the device
// link; 0 on failure, with the device link left as it was. *interfaceAddress: the IPv4
// interface to serve on (network byte order, 0 = 127.0.0.1; local only always serves
// 127.0.0.1). On success *port and *interfaceAddress say where the server listens. A
// device link that has a server already gets no second one.
aLinkRef aLink_CreateServer(aLinkRef deviceId, uint16_t* port, uint32_t* interfaceAddress,
                            uint8_t localOnly);
// A link over the caller's own stream, never reused; the link owns the stream from the
// call on (also when the creation fails).
aLinkRef aLink_Create(aStream* stream);
// Drops one use; the last one stops the link and frees everything it holds. *id is set
// to 0 in every case; aErrParam for 0 or an unknown id.
aErr aLink_Destroy(aLinkRef* id);
// Stops the link, re-creates its stream (USB and TCP/IP) and FIFOs, and starts it again.
// The user filter, the pooled flag and packet logging are off afterwards. When no
// stream can be made the link stays stopped without a stream (status 5) and the stream
// error is returned.
aErr aLink_Reset(aLinkRef id);

// --- use of a running link ----------------------------------------------------------
int32_t aLink_GetStatus(aLinkRef id);
// The number of the connection the link's stream is on (aStream_Connection): it changes
// when the stream connects again by itself (a TCP/IP module that took another host's
// connection in place of this one, then this one's again) or is made anew by a reset, so
// a caller can tell that its exchange with the device ran in one unbroken session. 0 for
// an unknown id or a link without a stream.
uint64_t aLink_GetConnection(aLinkRef id);
// Waits up to timeout ms for the link's status to become status; returns the status
// then (kLinkStatusNoStream for an unknown id). Returns early when the link is destroyed.
int32_t aLink_AwaitStatus(aLinkRef id, int32_t status, uint64_t timeout);
// Waits up to timeout ms while the link's status is status (a device dropping a running
// link, for one); returns the status then, as aLink_AwaitStatus does.
int32_t aLink_AwaitStatusChange(aLinkRef id, int32_t status, uint64_t timeout);
// Queues a copy of the packet for the device, or writes it at once when nothing else is
// queued and the stream allows it; never waits for the link's writer.
aErr aLink_PutPacket(aLinkRef id, const aPacket* packet);
// count packets, as count puts in a row would be (stopping at the first one refused),
// but handed over in one step: with pooled packets they leave in as few writes as the
// pool allows.
aErr aLink_PutPackets(aLinkRef id, const aPacket* packets, uint32_t count);
// Waits up to timeout ms for the first incoming packet that match accepts; null at the
// deadline, when the link is not running in step (status other than 2), or for an
// unknown id.
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc match, void* reference, uint64_t timeout);
uint64_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc match, void* reference);
// A filter returning exactly 1 consumes the packet. It runs on the reader thread with
// the link's filter mutex held and must not call this function. Null removes it.
aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilterProc filter, void* reference);
// Removes the user filter only while (filter, reference) is the one installed, so that a
// user of a shared link never removes another user's filter. Like the installation, it
// waits for a running filter call to return. aErrParam for an unknown id; aErrNotFound
// when another filter (or none) is installed, which stays.
aErr aLink_WithdrawUserPacketFilter(aLinkRef id, aPacketFilterProc filter, void* reference);
aErr aLink_EnablePooledPackets(aLinkRef id, uint8_t enable);
// Front incoming packet, waiting up to timeout ms; does not look at the status.
aPacket* aLink_AwaitPacket(aLinkRef id, uint64_t timeout);
aPacket* aLink_GetPacket(aLinkRef id);
aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc match, void* reference);

// Called after each heartbeat answer with (answer value odd); null removes it.
typedef void (*aLinkHeartbeatObserver)(uint8_t odd, void* reference);
aErr aLink_SetHeartbeatObserver(aLinkRef id, aLinkHeartbeatObserver observer, void* reference);

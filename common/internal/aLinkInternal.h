#pragma once
// The generic creation step shared by the transports' link creation functions
// (TCP/IP and serial in aLink*.cpp, USB in aLinkUSB.cpp). Not for callers outside the
// core.
#include <cstddef>
#include <cstdint>

#include "common/aLink.h"
#include "common/aLinkSpecifier.h"
#include "common/internal/aLinkTable.h"
#include "common/aStream.h"

// The linkType values that the creation functions use, as table entry types.
#define aLINK_TYPE_USB static_cast<uint32_t>(kLinkTypeUSB)
#define aLINK_TYPE_TCPIP static_cast<uint32_t>(kLinkTypeTCPIP)
#define aLINK_TYPE_SERIAL static_cast<uint32_t>(kLinkTypeSerial)

// How link creation makes a transport's stream: one table per transport. make gets the
// creator's context (a port name, the place on the bus discovery found); remake makes
// the stream again at aLink_Reset from the entry's identity alone, and is null when the
// transport cannot (a serial line: its identity holds no port), so that a reset is
// refused before the working link is taken apart. Both are written, a null remake too:
// a table a member short does not compile.
typedef aErr (*aLinkStreamMaker)(const aLinkManagedEntry& entry, void* context, aStream** stream);
typedef aErr (*aLinkStreamRemaker)(const aLinkManagedEntry& entry, aStream** stream);
struct aLinkTransport {
  aLinkStreamMaker make;
  aLinkStreamRemaker remake;
};

struct aLinkDeviceRequest {
  uint32_t type;           // aLINK_TYPE_*
  uint32_t ident0;         // the device's serial number
  uint32_t ident1;
  uint32_t ident2;
  bool refuseServed;       // an existing entry with a link server attached gives 0
  bool synchronise;        // run the handshake after the start (USB)
  const aLinkTransport* transport;
  void* context;           // handed to transport->make at creation only
};

// Reuses the newest entry with (ident0, type), raising its use count, or makes a new
// entry, its stream, initialises and starts the link (and synchronises it when asked:
// a handshake that does not complete in 2 s fails). Returns the id, or 0 with
// everything it made released.
aLinkRef aLink_CreateForDevice(const aLinkDeviceRequest& request);

// Runs the handshake from the caller's side: asks the reader for it and waits up to 2 s
// for it to complete (aErrNotReady otherwise), then drops requests not sent yet and the
// surplus replies (until none came for 20 ms, 100 ms at most).
aErr aLink_Sync(aLinkRef id);

// --- the arrival seam: a link without threads, fed by hand (tests, fuzz targets) ---
// A link with no stream and no threads, in the state a started link's reader begins
// in (status running, in step). Released with aLink_Destroy.
aLinkRef aLink_CreateDetached();
// Runs received bytes through what the reader does with them, in order: the handshake
// while synchronising, packet assembly, a lost place restarting the handshake,
// heartbeat answers, the user filter and routing into the incoming FIFO, and the status
// changes these make. Takes the link's read role for the call, so on a running link it
// stands in for the stream. aErrParam for an unknown id or null bytes.
aErr aLink_Arrive(aLinkRef id, const uint8_t* bytes, size_t length);
// Moves queued outgoing packets (what the link's writer would send: answers, sync
// requests, puts of a detached link) as wire bytes into wire while whole packets fit in
// size; returns the bytes moved.
uint64_t aLink_TakeQueued(aLinkRef id, uint8_t* wire, uint64_t size);

#pragma once
// A link server: shares one open device link (USB, TCP/IP or serial) with any number of
// clients over ZeroMQ. Clients connect a DEALER to its frontend, a ROUTER on a TCP port
// the system picks (on 127.0.0.1 when local only), and send one device packet
// ([address][length][data]) per frame; the server hands the packets to the device link
// one request at a time, taking the clients in turn, and routes each reply back to the
// connection that asked. Clients that enabled streaming receive the device's stream
// samples in batches, several packets per frame. The server answers link-server
// discovery (loopback multicast when local only, else the UDP beacon on its interface)
// once it knows the device's model.
//
// The frontend takes any local process (and, when not local only, any host of the
// network) without authentication: firmware commands included. Callers that do not
// want that switch the feature off (the updater does).
//
// aLink_CreateServer (common/aLink.h) is how programs put a server in front of a device
// link; these functions are its building blocks. A server belongs to the device link's
// table entry and is destroyed with it. Nothing here prints.
#include <cstdint>

#include "common/aErr.h"
#include "common/aLink.h"

struct aServer;

// How long the server waits for each reply packet of the device.
#define aSERVER_REPLY_WAIT_MS 2000
// A reply of more continued packets than this (24 KiB of a byte sequence, far more than
// a module holds in one), or one that takes longer than aSERVER_REPLY_LIMIT_MS in all,
// is given up: the requester gets nothing and the device link is drained, so that one
// endless device cannot hold the server and every client for ever.
#define aSERVER_MAX_CONTINUED 1024
#define aSERVER_REPLY_LIMIT_MS 10000
// Stream samples wait at most about this long in a batch, heartbeats or not.
#define aSERVER_BATCH_AGE_MS 50
// Clients that receive stream batches, at most (a client that leaves makes room at once).
// A stream enable from a further client is refused as a module refuses a stream it
// cannot serve, with the error reply [cmdSTREAM][0xC1][0x80 | index][aErrResource] in
// its turn, from the server itself: the device is not asked, and the client is told.
#define aSERVER_MAX_SUBSCRIBERS 64
// Requests one client may have waiting for its turn; more are dropped, so that a client
// that floods the server loses its excess and nobody else's requests.
#define aSERVER_MAX_WAITING 1024
// One budget (bytes) for everything the server holds for its clients together: the
// requests waiting in their queues, the byte-sequence writes being gathered, and what
// the frontend may hold for each connection (aSERVER_FRONTEND_QUEUE frames of at most
// aSERVER_FRONTEND_FRAME bytes). Once it is spent, a new request is dropped, taken from
// the client that holds the most: the newest request of the biggest holder makes room,
// and only a client that would itself hold the most loses its own new request. A
// client's first waiting request always gets in, so that a client that asks one
// request at a time is served whatever the others hold.
#define aSERVER_MEMORY_BUDGET (8u << 20)
// Frames the frontend takes in for one connection ahead of the broker; the rest waits
// in the client's own socket and the kernel.
#define aSERVER_FRONTEND_QUEUE 16
// The longest frame the frontend takes: a packet frame has at most 30 bytes (longer ones
// up to this are dropped as malformed), but the connection's handshake, which carries
// the client's identity of up to 255 bytes, needs 296. A longer frame ends its
// connection.
#define aSERVER_FRONTEND_FRAME 300

// A server for the device link with that id (link types 1, 2 and 3): interface is the
// IPv4 address to serve on (network byte order, 0 = 127.0.0.1), localOnly serves on
// 127.0.0.1 only (any other interface given is then ignored). Nothing is opened yet.
// Null for an unknown id or another link type.
aServer* aServer_Create(aLinkRef link, uint32_t interfaceAddress, uint8_t localOnly);
// Binds the sockets, starts the actors, installs the stream filter on the device link
// and drains its incoming packets. aErrParam for null; aErrResource when any step
// failed (what was made stays until aServer_Destroy).
aErr aServer_Start(aServer* server);
// Tears the server down (every wait bounded), frees it and clears the pointer;
// aErrParam for a null pointer.
aErr aServer_Destroy(aServer** server);

aErr aServer_GetPort(const aServer* server, uint16_t* port);
// After the start: the interface actually served (127.0.0.1 when local only).
aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress);
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
// Discovery answers begin once the model is non-zero.
aErr aServer_SetModel(aServer* server, uint8_t model);
// Answers to the requests taken so far are dropped when they come (the requests still
// reach the device). aErrNone (nothing to do) for a server that was not started.
aErr aServer_FlushFIFO(aServer* server);

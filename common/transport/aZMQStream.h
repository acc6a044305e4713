#pragma once
// The byte stream of a client link: an aStream whose bytes go to and come from a link
// server's ROUTER frontend over ZeroMQ. One write is one frame per device packet; each
// frame from the server is read out byte by byte, in order.
//
// ZeroMQ sockets must not be shared between threads, and three take part: the link's
// writer thread, its reader thread and the stream's own broker actor. The broker alone
// owns the socket toward the server; the writer hands frames to it, and it hands the
// server's frames to the reader, through two socket pairs on private in-process
// endpoints that no other process can join.
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

// Longest wait of one read for a frame from the server.
#define aZMQSTREAM_READ_WAIT_MS 1000
// Frames waiting for a server that is not (yet) there are bounded: what a later server on
// the same address and port would receive in a burst is at most about this many (more
// than the largest pooled write, 136 packets).
#define aZMQSTREAM_SERVER_QUEUE 256

// address: the link server's IPv4 address in network byte order; port its frontend's TCP
// port. aErrParam for a null stream pointer; aErrMemory when a socket, the poller or the
// broker cannot be made; aErrConnection when a bind or connect fails; aErrResource when
// the aStream cannot be made. *stream is null on failure and nothing stays allocated.
// A server that does not listen is no failure: the connection is made in the background.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);

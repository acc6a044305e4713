#pragma once
// The TCP transport of the device link core: an aStream over one TCP connection to a
// networked device. It connects at creation, reconnects by itself when the connection is
// reset or closed by the device (pausing a little after connections that the device
// ended at once), and never waits for data on reads.
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

#define aSOCKET_CHECK 0xDEAD
// Longest wait for one connection attempt (creation or reconnection).
#define aSOCKET_CONNECT_TIMEOUT_MS 2000

// address: IPv4 in network byte order; port in host order. Every failure is
// aErrResource with *stream left null.
aErr aStream_CreateSocket(uint32_t address, uint32_t port, aStream** stream);

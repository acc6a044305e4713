// Plain loopback TCP sockets for the benchmarks' raw baselines: a listener on 127.0.0.1,
// a connection to it without Nagle's delay, and whole-buffer reads and writes. Nothing
// here leaves the loopback interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace benchnet {

// 127.0.0.1 in network byte order, as the link constructors take it.
uint32_t loopback();

// A listening socket on 127.0.0.1 at a port the kernel picks (stored in *port), or -1.
int listenLoopback(uint16_t* port, int backlog = 4);

// A connection to 127.0.0.1:port with TCP_NODELAY, or -1.
int connectLoopback(uint16_t port);

// Round trips of a few bytes measure latency only without Nagle's delay.
void setNoDelay(int fd);

bool writeAll(int fd, const uint8_t* data, size_t n);

// Reads exactly n bytes. With timeoutMs >= 0 each read waits at most that long for data;
// with a negative one the read blocks, so that the raw baselines pay no poll call.
bool readExactly(int fd, uint8_t* buffer, size_t n, int timeoutMs = -1);

}  // namespace benchnet

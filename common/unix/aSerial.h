#pragma once
// Serial lines through termios: the raw serial stream, and the packetized serial stream
// that wraps it in COBS framing with CRC-8 for serial links.
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

#define aSERIAL_CHECK 0xBEEF
#define aSERIAL_MAX_PATH 4096

// Baud-rate index: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600, 6 115200,
// 7 230400; any other index sets speed 0. aSerial_BaudIndex turns a rate into its index.
// parity: even parity when true; dataBitsMode 0 (8 bits) or 1 (7); stopBitsMode 0 (one)
// or 1 (two). Argument and memory failures are aErrResource; opening the port gives
// aErrNotFound (no such path), aErrPermission, or aErrIO.
aErr aStream_CreateSerial(const char* path, int32_t baudIndex, bool parity, uint32_t dataBitsMode,
                          uint32_t stopBitsMode, aStream** stream);
aErr aStream_CreateSerial_Packetized(const char* path, int32_t baudIndex, bool parity,
                                     uint32_t dataBitsMode, uint32_t stopBitsMode, aStream** stream);

// The baud-rate index of rate, or -1 when the serial layer has no such rate.
int32_t aSerial_BaudIndex(uint32_t rate);
// The rate of a baud-rate index, or 0 when there is no such index.
uint32_t aSerial_BaudRate(int32_t index);

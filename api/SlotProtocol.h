#pragma once
// The store-slot and factory-data protocols on their own, over any way of reaching a
// module: a Link gives its core link; the tests and the fuzz target give replies of
// their own making. The Link's operations check their arguments and connection first;
// these functions take them as valid (an even, non-zero module; a factory slot of 0 to
// 15; non-null pointers; a factory write of at most 65535 bytes).
#include <cstdint>

#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"

namespace Quenlark {
namespace Tallowick {

class PacketExchange {
 public:
  virtual ~PacketExchange() = default;
  // Sends [data] to the module.
  virtual aErr put(uint8_t module, uint8_t length, const uint8_t* data) = 0;
  // The first received packet that match takes, within timeoutMs; null when none came.
  // The caller destroys it.
  virtual aPacket* awaitFirst(aPacketFilterProc match, void* ref, uint64_t timeoutMs) = 0;
  // Drops every received packet that match takes.
  virtual void drain(aPacketFilterProc match, void* ref) = 0;
};

namespace slots {

aErr size(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint64_t* size);
aErr capacity(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint64_t* capacity);
aErr load(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, uint64_t length);
aErr unload(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
            uint64_t bufferLength, uint64_t* unloaded);
aErr getFactory(PacketExchange& link, uint8_t module, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                uint64_t* received);
aErr setFactory(PacketExchange& link, uint8_t module, uint8_t slot, const uint8_t* data, uint64_t length);

}  // namespace slots
}  // namespace Tallowick
}  // namespace Quenlark

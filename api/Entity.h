#pragma once
// The base of every entity object: an entity command and index bound to a Module, with
// UEI reads, writes and calls turned into request and reply exchanges over the
// Module's Link. Nothing is cached: every call uses the Module's current address and
// Link. The Module must outlive the entity. An entity cannot be copied.
#include <cstdint>
#include <memory>

#include "api/Link.h"
#include "api/Module.h"
#include "api/uei.h"

namespace Quenlark {
namespace Tallowick {

#define cmdSYSTEM 0x03
#define cmdSTORE 0x5C

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  // Raw packets to the entity's module; the command is the caller's.
  aErr sendPacket(uint8_t command, uint8_t count, const uint8_t* bytes);
  aErr receivePacket(const uint8_t* match, uint8_t* count, uint8_t* out);

  // A read: answered from the Link's stream cache when it holds a sample, else asked of
  // the device. A record of type 1 carries a subindex. On return the record's type is
  // that of the reply's value (ueiTypeUnknown for a length with no value form).
  aErr getUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* record);

  aErr callUEI(uint8_t option);
  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* bytes, uint64_t length);
  // Getters write their output on aErrNone and aErrStreamStale only.
  aErr getUEI8(uint8_t option, uint8_t* out);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* out);
  aErr getUEI16(uint8_t option, uint16_t* out);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* out);
  aErr getUEI32(uint8_t option, uint32_t* out);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* out);

  // Reads a byte sequence into buffer (capacity bytes); *count receives the bytes taken.
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, uint64_t capacity, uint64_t* count);
  // Turns a byte count into a count of units (aErrMemory when it is no multiple).
  static aErr getUEIBytesCheck(uint64_t* count, uint64_t unit);
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static uint8_t getUEIBytesContinue(const aPacket* packet);

  // Waits for a UEI value of this entity (1000 ms) without sending a request; a packet
  // without a value is aErrPacket.
  aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
  aErr drainUEI(uint8_t option);

  aErr saveEntityToStore();
  aErr resetEntityToFactoryDefaults();
  aErr loadEntityFromStore();

  aErr setStreamEnabled(bool on);
  aErr registerOptionCallback(uint8_t option, bool on, Link::StreamCallback callback, void* ref);
  aErr getStreamStatus(Link::StreamStatusEntry* entries, uint64_t max, uint64_t* count);

  class impl;

 private:
  std::unique_ptr<impl> m_impl;
};

}  // namespace Tallowick
}  // namespace Quenlark

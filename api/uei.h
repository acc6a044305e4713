#pragma once
// One UEI request or reply: a value of an entity (command and index) option, and the
// wire form it travels in.
//
// Option byte: bits 0-5 the option code, 0x40 GET, 0x80 SET, 0xC0 the acknowledgement
// of a SET; a GET reply carries the bare code. Specifier byte: bits 0-4 the entity
// index, 0x20 on every host request, 0x40 a stream sample, 0x80 an error reply whose
// next byte is the device's aErr code. Values follow big-endian; byte sequences travel
// in chunks of at most 24 bytes, each followed by a sequence byte (0x80 = more follow,
// bits 0-6 the number, counting modulo 128).
#include <cstdint>

namespace Quenlark {
namespace Tallowick {

enum ueiType : int32_t {
  ueiTypeUnknown = -1,   // a reply was taken whose length carries no value form
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5,
};

#define UEI_OPTION_MASK 0x3F
#define UEI_OPTION_GET 0x40
#define UEI_OPTION_SET 0x80
#define UEI_OPTION_ACK 0xC0
#define UEI_INDEX_MASK 0x1F
#define UEI_SPECIFIER_REQUEST 0x20
#define UEI_SPECIFIER_STREAM 0x40
#define UEI_SPECIFIER_ERROR 0x80
#define UEI_BYTES_CHUNK 24

struct ueiBytes {
  uint8_t* data;        // bytes to send, or where the next received chunk goes
  uint8_t sequence;     // receiving: the sequence number expected next
  uint8_t more;         // the continue flag of the last chunk taken
  uint64_t length;      // bytes to send, or the whole capacity of the buffer when receiving
  uint64_t* received;   // receiving: the count of bytes taken so far
};

struct uei {
  uint8_t module;
  uint8_t command;
  uint8_t option;
  uint8_t specifier;
  union {
    uint8_t byteVal;    // also the device's code of an error reply
    uint16_t shortVal;
    uint32_t intVal;
    ueiBytes bytes;
  } v;
  int32_t type;         // ueiType
};

}  // namespace Tallowick
}  // namespace Quenlark

#include "api/UEIReply.h"

#include <cstring>

#include "common/aUEI.h"

namespace Quenlark {
namespace Tallowick {

UEIReply ueiMatchReply(const aPacket* packet, uei* record) {
  if (packet == nullptr || record == nullptr) return UEIReply::None;
  if (packet->address != record->module || packet->dataSize <= 2) return UEIReply::None;
  const uint8_t* d = packet->data;
  if (d[0] != record->command || d[1] != record->option) return UEIReply::None;
  if ((d[2] & UEI_INDEX_MASK) != record->specifier || (d[2] & UEI_SPECIFIER_STREAM) != 0) return UEIReply::None;
  if ((d[2] & UEI_SPECIFIER_ERROR) == 0) return UEIReply::Value;
  record->specifier = d[2];
  record->v.byteVal = packet->dataSize > 3 ? d[3] : 0;
  return UEIReply::Error;
}

uint8_t ueiTakeValue(const aPacket* packet, void* ref) {
  uei* record = static_cast<uei*>(ref);
  const UEIReply reply = ueiMatchReply(packet, record);
  if (reply == UEIReply::None) return 0;
  if (reply == UEIReply::Error) return 1;
  const uint8_t* d = packet->data;
  switch (packet->dataSize) {
    case 3:
      record->type = ueiTypeNone;
      break;
    case 4:
      record->type = ueiTypeByte;
      record->v.byteVal = d[3];
      break;
    case 5:
      record->type = ueiTypeShort;
      record->v.shortVal = aUEI_RetrieveShort(&d[3]);
      break;
    case 7:
      record->type = ueiTypeInt;
      record->v.intVal = aUEI_RetrieveInt(&d[3]);
      break;
    default:
      break;
  }
  return 1;
}

uint8_t ueiTakeBytesChunk(const aPacket* packet, void* ref) {
  uei* r = static_cast<uei*>(ref);
  const UEIReply reply = ueiMatchReply(packet, r);
  if (reply == UEIReply::None) return 0;
  if (reply == UEIReply::Error) return 1;
  const uint8_t* d = packet->data;
  if (packet->dataSize < 4) {
    // No sequence byte: no chunk at all. The read ends as a broken reply.
    r->specifier |= UEI_SPECIFIER_ERROR;
    r->v.byteVal = aErrPacket;
    return 1;
  }
  const uint8_t last = d[packet->dataSize - 1];
  if ((last & 0x7F) != r->v.bytes.sequence) return 0;
  const uint64_t chunk = packet->dataSize - 4u;
  if (chunk == 0 && (last & 0x80) != 0) {
    // Only an empty sequence has a chunk of no bytes, and nothing follows it. Taken
    // as a step, such chunks could keep the read going for ever.
    r->specifier |= UEI_SPECIFIER_ERROR;
    r->v.byteVal = aErrPacket;
    return 1;
  }
  ueiBytes& b = r->v.bytes;
  if (*b.received + chunk > b.length) {
    r->specifier |= UEI_SPECIFIER_ERROR;
    r->v.byteVal = aErrMemory;
    return 1;
  }
  if (chunk > 0) std::memcpy(b.data, &d[3], chunk);
  b.data += chunk;
  *b.received += chunk;
  b.sequence = last & 0x7F;
  b.more = last >> 7;
  return 1;
}

aErr ueiDeviceCode(const uei& record) {
  return record.v.byteVal == aErrNone ? aErrUnknown : static_cast<aErr>(record.v.byteVal);
}

bool ueiBytesNext(uei* record, aErr* result) {
  if ((record->specifier & UEI_SPECIFIER_ERROR) != 0) {
    *result = ueiDeviceCode(*record);
    return false;
  }
  if (record->v.bytes.more != 1) {
    *result = aErrNone;
    return false;
  }
  record->v.bytes.sequence = static_cast<uint8_t>((record->v.bytes.sequence + 1) & 0x7F);
  return true;
}

}  // namespace Tallowick
}  // namespace Quenlark

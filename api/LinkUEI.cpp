// UEI and raw packet exchange over a Link.
#include <cstring>

#include "api/Link.h"
#include "api/LinkImpl.h"
#include "api/UEIReply.h"
#include "common/aUEI.h"

namespace Quenlark {
namespace Tallowick {

namespace {

constexpr uint64_t kReplyTimeoutMs = 1000;
constexpr uint64_t kLongBytesTimeoutMs = 4000;
constexpr uint64_t kLongBytes = 1000;
constexpr uint8_t kMaxRawBytes = aPACKET_MAX_DATA - 1;

bool badAddress(uint8_t module) { return module == 0 || (module & 1) != 0; }

struct CommandMatch {
  uint8_t count;
  const uint8_t* bytes;
};

uint8_t sCommandFilter(const aPacket* packet, void* ref) {
  const CommandMatch* m = static_cast<const CommandMatch*>(ref);
  if (packet == nullptr || m == nullptr || packet->dataSize < m->count) return 0;
  return std::memcmp(packet->data, m->bytes, m->count) == 0 ? 1 : 0;
}

aErr putPacket(aLinkRef link, uint8_t module, uint8_t length, const uint8_t* data) {
  aPacket packet;
  if (aPacket_Fill(&packet, module, length, data) != aErrNone) return aErrResource;
  return aLink_PutPacket(link, &packet);
}

// Chunks of a byte sequence handed to the link at once: with pooled packets they leave
// together (a sequence of 256 bytes is 11 chunks).
constexpr size_t kChunksPerPut = 64;

// Appends a value of the record's plain type; false for a type without a plain form.
bool appendValue(const uei& r, uint8_t* data, uint8_t& length) {
  switch (r.type) {
    case ueiTypeNone:
      return true;
    case ueiTypeByte:
      data[length++] = r.v.byteVal;
      return true;
    case ueiTypeShort:
      aUEI_StoreShort(&data[length], r.v.shortVal);
      length += 2;
      return true;
    case ueiTypeInt:
      aUEI_StoreInt(&data[length], r.v.intVal);
      length += 4;
      return true;
    default:
      return false;
  }
}

}  // namespace

aErr Link::sendUEI(uei request) {
  if (!isConnected()) return aErrConnection;
  if (badAddress(request.module)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = request.command;
  data[1] = request.option;
  data[2] = request.specifier;
  if (request.type != ueiTypeBytes) {
    uint8_t length = 3;
    if (!appendValue(request, data, length)) return aErrParam;
    return putPacket(m_impl->coreLink, request.module, length, data);
  }
  const uint64_t total = request.v.bytes.length;
  if (total > 0 && request.v.bytes.data == nullptr) return aErrParam;
  uint64_t offset = 0;
  uint8_t counter = 0;
  aErr e = aErrNone;
  aPacket chunks[kChunksPerPut];
  do {
    uint32_t n = 0;
    do {
      const uint64_t left = total - offset;
      const uint8_t chunk = static_cast<uint8_t>(left < UEI_BYTES_CHUNK ? left : UEI_BYTES_CHUNK);
      const bool more = offset + chunk < total;
      if (chunk > 0) std::memcpy(&data[3], request.v.bytes.data + offset, chunk);
      data[3 + chunk] = static_cast<uint8_t>((more ? 0x80 : 0x00) | (counter & 0x7F));
      counter++;
      offset += chunk;
      aPacket_Fill(&chunks[n++], request.module, static_cast<uint8_t>(chunk + 4), data);
    } while (n < kChunksPerPut && offset < total);
    e = aLink_PutPackets(m_impl->coreLink, chunks, n);
  } while (e == aErrNone && offset < total);
  return e;
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (badAddress(request.module)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier, subindex};
  uint8_t length = 4;
  if (!appendValue(request, data, length)) return aErrParam;
  return putPacket(m_impl->coreLink, request.module, length, data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply) {
  return receiveUEI(module, command, option, specifier, reply, ueiTakeValue);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* reply, aPacketFilterProc match) {
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  if (reply == nullptr || match == nullptr) return aErrParam;
  const uint64_t timeout =
      reply->type == ueiTypeBytes && reply->v.bytes.length > kLongBytes ? kLongBytesTimeoutMs : kReplyTimeoutMs;
  aPacket* packet = aLink_AwaitFirst(m_impl->coreLink, match, reply, timeout);
  if (packet == nullptr) return aErrTimeout;
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier) {
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  uei record{};
  record.module = module;
  record.command = command;
  record.option = option;
  record.specifier = specifier;
  aLink_DrainPackets(m_impl->coreLink, ueiTakeValue, &record);
  return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t count, const uint8_t* bytes) {
  if (!isConnected()) return aErrConnection;
  if (count > kMaxRawBytes || (count > 0 && bytes == nullptr)) return aErrParam;
  if (badAddress(module)) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = command;
  if (count > 0) std::memcpy(&data[1], bytes, count);
  return putPacket(m_impl->coreLink, module, static_cast<uint8_t>(count + 1), data);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* count, uint8_t* out) {
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  // A packet has at most 28 data bytes: a longer match could never be satisfied.
  if (count == nullptr || out == nullptr || *count > aPACKET_MAX_DATA || (*count > 0 && match == nullptr))
    return aErrParam;
  CommandMatch m{*count, match};
  aPacket* packet = aLink_AwaitFirst(m_impl->coreLink, sCommandFilter, &m, kReplyTimeoutMs);
  if (packet == nullptr) return aErrTimeout;
  *count = packet->dataSize;
  std::memcpy(out, packet->data, packet->dataSize);
  aPacket_Destroy(&packet);
  return aErrNone;
}

}  // namespace Tallowick
}  // namespace Quenlark

// Store slots and factory data: two raw request and reply protocols with one module.
//
// Store slots (command 4): a slot is opened for reading or writing, which yields a
// handle, moved in chunks and closed. Factory data (command 0x5E): a slot is read or
// written in chunks, the first one marked, and the transfer ends with a packet that
// names the number of bytes moved.
#include <cstring>

#include "api/Link.h"
#include "api/LinkImpl.h"
#include "api/SlotProtocol.h"
#include "common/aUEI.h"

namespace Quenlark {
namespace Tallowick {

namespace {

constexpr uint64_t kReplyTimeoutMs = 1000;
constexpr uint64_t kOpenTimeoutMs = 3000;

constexpr uint8_t kOpCapacity = 1;
constexpr uint8_t kOpSize = 2;
constexpr uint8_t kOpOpenRead = 3;
constexpr uint8_t kOpOpenWrite = 4;
constexpr uint8_t kOpRead = 6;
constexpr uint8_t kOpWrite = 7;
constexpr uint8_t kOpClose = 8;
constexpr uint8_t kReplyError = 0x80;
constexpr uint8_t kNoHandle = 255;
constexpr uint8_t kSlotChunk = 25;

constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactorySlotMask = 0x0F;
constexpr uint8_t kFactoryChunk = 26;
constexpr uint8_t kFactoryFullReply = 2 + kFactoryChunk;
constexpr uint64_t kFactoryMaxCount = 0xFFFF;   // the end packet counts in 16 bits

bool badAddress(uint8_t module) { return module == 0 || (module & 1) != 0; }

// What a reply must repeat of its request. Replies come from the request's module: on a
// router link other modules' replies to the same slot or handle are not ours.
struct SlotMatch {
  uint8_t module;
  uint8_t op;
  uint8_t first;    // ops 1 to 4: the store; others: the handle
  uint8_t second;   // ops 1 to 4: the slot
};

uint8_t sSlotFilter(const aPacket* p, void* ref) {
  const SlotMatch* m = static_cast<const SlotMatch*>(ref);
  if (p->address != m->module || p->dataSize <= 3 || p->data[0] != cmdSLOT) return 0;
  if ((p->data[1] & ~kReplyError) != m->op || p->data[2] != m->first) return 0;
  return m->op > kOpOpenWrite || p->data[3] == m->second ? 1 : 0;
}

// Every reply of this module about a handle (read, write, close), whatever the op.
uint8_t sSlotHandleFilter(const aPacket* p, void* ref) {
  const SlotMatch* m = static_cast<const SlotMatch*>(ref);
  if (p->address != m->module || p->dataSize <= 3 || p->data[0] != cmdSLOT) return 0;
  const uint8_t op = p->data[1] & ~kReplyError;
  return op > kOpOpenWrite && p->data[2] == m->first ? 1 : 0;
}

struct FactoryMatch {
  uint8_t module;
  uint8_t slot;   // the low four bits of the request's second byte
};

uint8_t sFactoryFilter(const aPacket* p, void* ref) {
  const FactoryMatch* m = static_cast<const FactoryMatch*>(ref);
  if (p->address != m->module || p->dataSize < 2 || p->data[0] != cmdFACTORY) return 0;
  return (p->data[1] & ~kReplyError) == m->slot ? 1 : 0;
}

// Replies of this module to earlier factory-data transfers (their waits ran out) would
// answer this one: the slot's chunks and the end replies, which name slot 0.
void drainFactory(PacketExchange& link, uint8_t module, uint8_t slot) {
  FactoryMatch chunks{module, slot};
  link.drain(sFactoryFilter, &chunks);
  FactoryMatch ends{module, 0};
  link.drain(sFactoryFilter, &ends);
}

bool isError(const aPacket* p) { return (p->data[1] & kReplyError) != 0; }

// The module's code from an error reply with the code at data[at]. A reply too short to
// carry it, or carrying 0, is a failure all the same.
aErr errorCode(const aPacket* p, uint8_t at) {
  if (p->dataSize <= at || p->data[at] == 0) return aErrUnknown;
  return static_cast<aErr>(p->data[at]);
}

struct PacketOwner {
  aPacket* p = nullptr;
  ~PacketOwner() {
    if (p != nullptr) aPacket_Destroy(&p);
  }
};

// A Link's way to its module: the core link.
class CoreLinkExchange : public PacketExchange {
 public:
  explicit CoreLinkExchange(aLinkRef link) : link_(link) {}
  aErr put(uint8_t module, uint8_t length, const uint8_t* data) override {
    aPacket* packet = aPacket_CreateWithData(module, length, data);
    if (packet == nullptr) return aErrResource;
    const aErr e = aLink_PutPacket(link_, packet);
    aPacket_Destroy(&packet);
    return e;
  }
  aPacket* awaitFirst(aPacketFilterProc match, void* ref, uint64_t timeoutMs) override {
    return aLink_AwaitFirst(link_, match, ref, timeoutMs);
  }
  void drain(aPacketFilterProc match, void* ref) override { aLink_DrainPackets(link_, match, ref); }

 private:
  aLinkRef link_;
};

// Sends a request and waits for its reply: aErrNone with the reply in out, the put's
// failure, or aErrTimeout.
aErr exchange(PacketExchange& link, uint8_t module, uint8_t length, const uint8_t* data, aPacketFilterProc match,
              void* ref, uint64_t timeoutMs, PacketOwner& out) {
  const aErr e = link.put(module, length, data);
  if (e != aErrNone) return e;
  out.p = link.awaitFirst(match, ref, timeoutMs);
  return out.p != nullptr ? aErrNone : aErrTimeout;
}

aErr sizeQuery(PacketExchange& link, uint8_t module, uint8_t op, uint8_t store, uint8_t slot, uint64_t* value) {
  SlotMatch m{module, op, store, slot};
  // A reply that came after its own wait ran out would answer this request.
  link.drain(sSlotFilter, &m);
  const uint8_t request[] = {cmdSLOT, op, store, slot};
  PacketOwner reply;
  const aErr e = exchange(link, module, sizeof request, request, sSlotFilter, &m, kReplyTimeoutMs, reply);
  if (e != aErrNone) return e;
  if (isError(reply.p)) return errorCode(reply.p, 4);
  if (reply.p->dataSize != 6) return aErrUnknown;
  *value = static_cast<uint64_t>(aUEI_RetrieveShort(&reply.p->data[4]));
  return aErrNone;
}

// The handle of the opened slot, or kNoHandle.
uint8_t sOpenSlot(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint8_t op) {
  SlotMatch m{module, op, store, slot};
  link.drain(sSlotFilter, &m);
  const uint8_t request[] = {cmdSLOT, op, store, slot};
  PacketOwner reply;
  if (exchange(link, module, sizeof request, request, sSlotFilter, &m, kOpenTimeoutMs, reply) != aErrNone)
    return kNoHandle;
  // A reply that ends before its handle byte names no handle at all.
  if (isError(reply.p) || reply.p->dataSize < 5) return kNoHandle;
  const uint8_t handle = reply.p->data[4];
  // Handles are given out again after a close: any reply about this handle still
  // queued belongs to its earlier use. The module answers in order, so all of them came
  // before this open's reply.
  SlotMatch stale{module, 0, handle, 0};
  link.drain(sSlotHandleFilter, &stale);
  return handle;
}

aErr sCloseSlot(PacketExchange& link, uint8_t module, uint8_t handle) {
  const uint8_t request[] = {cmdSLOT, kOpClose, handle};
  SlotMatch m{module, kOpClose, handle, 0};
  PacketOwner reply;
  // A close the module never confirmed may have left the slot open or half written.
  const aErr e = exchange(link, module, sizeof request, request, sSlotFilter, &m, kReplyTimeoutMs, reply);
  if (e != aErrNone) return e;
  if (reply.p->dataSize != 4) return aErrIO;
  if (isError(reply.p)) return errorCode(reply.p, 3);
  return aErrNone;
}

aErr writeChunks(PacketExchange& link, uint8_t module, uint8_t handle, const uint8_t* data, uint64_t length) {
  uint8_t request[3 + kSlotChunk] = {cmdSLOT, kOpWrite, handle};
  SlotMatch m{module, kOpWrite, handle, 0};
  for (uint64_t offset = 0; offset < length;) {
    const uint8_t chunk = static_cast<uint8_t>(length - offset < kSlotChunk ? length - offset : kSlotChunk);
    uint8_t sum = 0;
    for (uint8_t i = 0; i < chunk; i++) sum = static_cast<uint8_t>(sum + data[offset + i]);
    std::memcpy(&request[3], data + offset, chunk);
    PacketOwner reply;
    const aErr e = exchange(link, module, static_cast<uint8_t>(3 + chunk), request, sSlotFilter, &m,
                            kReplyTimeoutMs, reply);
    if (e != aErrNone) return e;
    // An error reply is a refusal whatever its length.
    if (isError(reply.p)) return errorCode(reply.p, 3);
    // Only a four-byte reply carries a sum; longer acknowledgements are taken as they are.
    if (reply.p->dataSize == 4 && reply.p->data[3] != sum) return aErrIO;
    offset += chunk;
  }
  return aErrNone;
}

aErr readChunks(PacketExchange& link, uint8_t module, uint8_t handle, uint8_t* buffer, uint64_t count) {
  const uint8_t request[] = {cmdSLOT, kOpRead, handle};
  SlotMatch m{module, kOpRead, handle, 0};
  for (uint64_t read = 0; read < count;) {
    PacketOwner reply;
    const aErr e = exchange(link, module, sizeof request, request, sSlotFilter, &m, kReplyTimeoutMs, reply);
    if (e != aErrNone) return e;
    if (isError(reply.p)) return errorCode(reply.p, 3);
    const uint64_t carried = reply.p->dataSize - 3u;
    const uint64_t take = carried < count - read ? carried : count - read;
    std::memcpy(buffer + read, &reply.p->data[3], take);
    read += take;
  }
  return aErrNone;
}

// The end of a factory-data transfer: the count of bytes moved (the end packet names no
// slot), which the module confirms or refuses with its code.
aErr endFactoryTransfer(PacketExchange& link, uint8_t module, uint64_t count) {
  const uint8_t end[] = {cmdFACTORY, kFactoryEnd, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  FactoryMatch match{module, kFactoryEnd & kFactorySlotMask};
  PacketOwner reply;
  const aErr e = exchange(link, module, sizeof end, end, sFactoryFilter, &match, kReplyTimeoutMs, reply);
  if (e != aErrNone) return e;
  if (isError(reply.p)) return errorCode(reply.p, 2);
  return aErrNone;
}

}  // namespace

namespace slots {

aErr size(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint64_t* size) {
  return sizeQuery(link, module, kOpSize, store, slot, size);
}

aErr capacity(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint64_t* capacity) {
  return sizeQuery(link, module, kOpCapacity, store, slot, capacity);
}

aErr load(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, uint64_t length) {
  const uint8_t handle = sOpenSlot(link, module, store, slot, kOpOpenWrite);
  if (handle == kNoHandle) return aErrMedia;
  const aErr transfer = writeChunks(link, module, handle, data, length);
  const aErr closed = sCloseSlot(link, module, handle);
  return transfer != aErrNone ? transfer : closed;
}

aErr unload(PacketExchange& link, uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
            uint64_t bufferLength, uint64_t* unloaded) {
  uint64_t size = 0;
  const aErr sized = sizeQuery(link, module, kOpSize, store, slot, &size);
  if (sized != aErrNone) return sized;
  const uint8_t handle = sOpenSlot(link, module, store, slot, kOpOpenRead);
  if (handle == kNoHandle) return aErrMedia;
  const uint64_t count = size < bufferLength ? size : bufferLength;
  const aErr transfer = readChunks(link, module, handle, buffer, count);
  const aErr closed = sCloseSlot(link, module, handle);
  const aErr result = transfer != aErrNone ? transfer : closed;
  if (result != aErrNone) return result;
  *unloaded = count;
  return bufferLength < size ? aErrOverrun : aErrNone;
}

aErr getFactory(PacketExchange& link, uint8_t module, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                uint64_t* received) {
  drainFactory(link, module, slot);
  FactoryMatch m{module, slot};
  uint64_t read = 0;
  uint8_t last = 0;
  bool first = true;
  do {
    const uint8_t request[] = {cmdFACTORY, static_cast<uint8_t>(slot | (first ? kFactoryFirst : 0))};
    first = false;
    PacketOwner reply;
    const aErr e = exchange(link, module, sizeof request, request, sFactoryFilter, &m, kReplyTimeoutMs, reply);
    if (e != aErrNone) return e;
    if (isError(reply.p)) return errorCode(reply.p, 2);
    last = reply.p->dataSize;
    const uint64_t carried = last - 2u;
    // One byte of the buffer always stays spare.
    if (read + carried >= bufferLength) return aErrOverrun;
    std::memcpy(buffer + read, &reply.p->data[2], carried);
    read += carried;
    if (read > kFactoryMaxCount) return aErrSize;
  } while (last == kFactoryFullReply);
  const aErr e = endFactoryTransfer(link, module, read);
  if (e != aErrNone) return e;
  *received = read;
  return aErrNone;
}

aErr setFactory(PacketExchange& link, uint8_t module, uint8_t slot, const uint8_t* data, uint64_t length) {
  drainFactory(link, module, slot);
  FactoryMatch m{module, slot};
  bool first = true;
  for (uint64_t offset = 0; offset < length;) {
    const uint8_t chunk = static_cast<uint8_t>(length - offset < kFactoryChunk ? length - offset : kFactoryChunk);
    uint8_t request[2 + kFactoryChunk] = {cmdFACTORY,
                                          static_cast<uint8_t>(slot | kFactoryWrite | (first ? kFactoryFirst : 0))};
    first = false;
    std::memcpy(&request[2], data + offset, chunk);
    PacketOwner reply;
    const aErr e = exchange(link, module, static_cast<uint8_t>(2 + chunk), request, sFactoryFilter, &m,
                            kReplyTimeoutMs, reply);
    if (e != aErrNone) return e;
    if (isError(reply.p)) return errorCode(reply.p, 2);
    if (reply.p->dataSize != 2) return aErrSize;
    offset += chunk;
  }
  return endFactoryTransfer(link, module, length);
}

}  // namespace slots

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint64_t* size) {
  if (size == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  CoreLinkExchange link(m_impl->coreLink);
  return slots::size(link, module, store, slot, size);
}

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint64_t* capacity) {
  if (!isConnected()) return aErrConnection;
  if (capacity == nullptr) return aErrParam;
  if (badAddress(module)) return aErrPacket;
  CoreLinkExchange link(m_impl->coreLink);
  return slots::capacity(link, module, store, slot, capacity);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, uint64_t length) {
  if (data == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  CoreLinkExchange link(m_impl->coreLink);
  return slots::load(link, module, store, slot, data, length);
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                           uint64_t* unloaded) {
  if (buffer == nullptr || unloaded == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  CoreLinkExchange link(m_impl->coreLink);
  return slots::unload(link, module, store, slot, buffer, bufferLength, unloaded);
}

aErr Link::getFactoryData(uint8_t module, uint8_t slot, uint8_t* buffer, uint64_t bufferLength, uint64_t* received) {
  // A slot number above 15 would run into the flag bits and make another packet kind.
  if (buffer == nullptr || received == nullptr || slot > kFactorySlotMask) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  CoreLinkExchange link(m_impl->coreLink);
  return slots::getFactory(link, module, slot, buffer, bufferLength, received);
}

aErr Link::setFactoryData(uint8_t module, uint8_t slot, const uint8_t* data, uint64_t length) {
  if ((data == nullptr && length > 0) || slot > kFactorySlotMask || length > kFactoryMaxCount) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (badAddress(module)) return aErrPacket;
  CoreLinkExchange link(m_impl->coreLink);
  return slots::setFactory(link, module, slot, data, length);
}

}  // namespace Tallowick
}  // namespace Quenlark

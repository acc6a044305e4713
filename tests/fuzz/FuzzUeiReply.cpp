// libFuzzer target: UEI replies as they come off a link, awaited the way a reader awaits
// them (the first queued packet the match takes, again and again): the matching of a
// plain value's reply, with every field checked against the packet's bytes, and the
// putting together of a byte sequence from its chunks, into a buffer of exactly its
// capacity, whose result must be the taken chunks in order of their sequence numbers.
//
// Input: the record (module, command, option, index), a capacity byte, then packets,
// each an address byte, a length byte (0 to 28) and the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "api/UEIReply.h"
#include "common/aPacket.h"
#include "tests/fuzz/FuzzPackets.h"

using Quenlark::Tallowick::uei;
using Quenlark::Tallowick::ueiBytesNext;
using Quenlark::Tallowick::ueiTakeBytesChunk;
using Quenlark::Tallowick::ueiTakeValue;

namespace {

// The first queued packet the match takes, out of the queue; null when none does.
aPacket* awaitFirst(std::deque<aPacket*>& queue, uint8_t (*match)(const aPacket*, void*), void* record) {
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (match(*it, record) != 0) {
      aPacket* taken = *it;
      queue.erase(it);
      return taken;
    }
  }
  return nullptr;
}

bool answers(const aPacket* p, uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  return p->address == module && p->dataSize > 2 && p->data[0] == command && p->data[1] == option &&
         (p->data[2] & 0x1F) == index && (p->data[2] & 0x40) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t module = data[0], command = data[1], option = data[2], index = data[3] & 0x1F;
  const size_t capacity = data[4];
  std::deque<aPacket*> queue;
  for (size_t at = 5; at + 2 <= size;) {
    aPacket* p = fuzzinput::takePacket(data, size, at);
    if (p != nullptr) queue.push_back(p);
  }

  // A plain value: the first packet that answers, decoded.
  {
    std::deque<aPacket*> values;
    for (aPacket* p : queue) values.push_back(aPacket_Copy(p));
    uei record;
    std::memset(&record, 0, sizeof record);
    record.module = module;
    record.command = command;
    record.option = option;
    record.specifier = index;
    aPacket* taken = awaitFirst(values, ueiTakeValue, &record);
    const aPacket* expected = nullptr;
    for (aPacket* p : queue)
      if (answers(p, module, command, option, index)) {
        expected = p;
        break;
      }
    if ((taken == nullptr) != (expected == nullptr)) std::abort();
    if (taken != nullptr) {
      if (std::memcmp(taken->data, expected->data, expected->dataSize) != 0) std::abort();
      const uint8_t* d = taken->data;
      if (d[2] & 0x80) {
        if (record.specifier != d[2] || record.v.byteVal != (taken->dataSize > 3 ? d[3] : 0)) std::abort();
      } else if (taken->dataSize == 4 && record.v.byteVal != d[3]) {
        std::abort();
      } else if (taken->dataSize == 5 && record.v.shortVal != (d[3] << 8 | d[4])) {
        std::abort();
      } else if (taken->dataSize == 7 &&
                 record.v.intVal != (static_cast<uint32_t>(d[3]) << 24 | d[4] << 16 | d[5] << 8 | d[6])) {
        std::abort();
      }
      aPacket_Destroy(&taken);
    }
    for (aPacket* p : values) aPacket_Destroy(&p);
  }

  // A byte sequence, into a buffer of exactly the capacity.
  if (capacity > 0) {
    std::vector<uint8_t> want;
    uint8_t* buffer = new uint8_t[capacity];
    uint64_t received = 0;
    uei record;
    std::memset(&record, 0, sizeof record);
    record.module = module;
    record.command = command;
    record.option = option;
    record.specifier = index;
    record.v.bytes.data = buffer;
    record.v.bytes.length = capacity;
    record.v.bytes.received = &received;
    uint8_t sequence = 0;
    for (;;) {
      aPacket* taken = awaitFirst(queue, ueiTakeBytesChunk, &record);
      if (taken == nullptr) break;  // the reader's wait would time out
      const uint8_t* d = taken->data;
      const bool error = (record.specifier & 0x80) != 0;
      if (!error) {
        // A chunk taken is the next in the sequence and carries its bytes.
        if (taken->dataSize < 4 || (d[taken->dataSize - 1] & 0x7F) != sequence) std::abort();
        want.insert(want.end(), d + 3, d + taken->dataSize - 1);
        sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
      }
      aPacket_Destroy(&taken);
      aErr result = aErrNone;
      if (!ueiBytesNext(&record, &result)) {
        if (error != (result != aErrNone)) std::abort();
        break;
      }
    }
    if (received > capacity || received != want.size() ||
        (!want.empty() && std::memcmp(buffer, want.data(), want.size()) != 0))
      std::abort();
    delete[] buffer;
  }
  for (aPacket* p : queue) aPacket_Destroy(&p);
  return 0;
}

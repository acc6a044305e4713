// libFuzzer target: store-slot and factory-data replies, as the slot and factory-data
// protocols meet them. Each request the protocol sends releases the next group of
// packets the input holds (the first group is already waiting, left from earlier
// transfers); a wait takes the first waiting packet its match accepts, or none (the
// wait would time out). Judged by rules of the target's own, written from the
// protocols' tables: every request is well formed and goes to the module; every reply
// taken answers its request (module, command, operation, store and slot or handle, or
// factory slot); an opened slot is always closed, last; the bytes written are the
// data, in chunks of 25 or 26, the first factory chunk marked; the bytes read are those
// of the replies taken, in order, never more than the buffer holds; a size, a count or
// a success follows from the replies.
//
// Input: operation (0 size, 1 capacity, 2 slot write, 3 slot read, 4 factory read,
// 5 factory write), module, store or factory slot, slot, length (2 bytes, big-endian),
// then groups: a head byte (bits 0-2: packets in the group; bit 7: the request that
// releases it cannot be sent), then its packets, each an address byte (odd: the
// module's own address), a length byte (0 to 28) and the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "api/SlotProtocol.h"
#include "common/aPacket.h"

using Quenlark::Tallowick::PacketExchange;
namespace slots = Quenlark::Tallowick::slots;
using Bytes = std::vector<uint8_t>;

namespace {

struct Packet {
  uint8_t address;
  Bytes data;
};

struct Group {
  bool putFails = false;
  std::vector<Packet> packets;
};

// A reply handed out, with the request it was awaited for (its index in sent).
struct Taken {
  size_t request;
  Packet reply;
};

class Scripted : public PacketExchange {
 public:
  Scripted(uint8_t module, std::deque<Group> groups) : module_(module), groups_(std::move(groups)) { release(); }
  ~Scripted() override {
    for (aPacket* p : waiting_) aPacket_Destroy(&p);
  }

  aErr put(uint8_t module, uint8_t length, const uint8_t* data) override {
    if (module != module_ || length == 0 || length > aPACKET_MAX_DATA || data == nullptr) std::abort();
    const bool fails = !groups_.empty() && groups_.front().putFails;
    release();
    if (fails) return aErrResource;
    sent.emplace_back(data, data + length);
    return aErrNone;
  }

  aPacket* awaitFirst(aPacketFilterProc match, void* ref, uint64_t) override {
    if (sent.empty()) std::abort();   // nothing was asked
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (match(*it, ref) == 0) continue;
      aPacket* p = *it;
      waiting_.erase(it);
      taken.push_back(Taken{sent.size() - 1, Packet{p->address, Bytes(p->data, p->data + p->dataSize)}});
      return p;
    }
    return nullptr;
  }

  void drain(aPacketFilterProc match, void* ref) override {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (match(*it, ref) != 0) {
        aPacket_Destroy(&*it);
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::vector<Bytes> sent;
  std::vector<Taken> taken;

 private:
  void release() {
    if (groups_.empty()) return;
    for (const Packet& p : groups_.front().packets) {
      aPacket* made = aPacket_CreateWithData(p.address, static_cast<uint8_t>(p.data.size()), p.data.data());
      if (made != nullptr) waiting_.push_back(made);
    }
    groups_.pop_front();
  }

  uint8_t module_;
  std::deque<Group> groups_;
  std::deque<aPacket*> waiting_;
};

void check(bool condition) {
  if (!condition) std::abort();
}

// The first n bytes of a and b are equal (none to compare: equal).
bool same(const uint8_t* a, const uint8_t* b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

bool isSlotError(const Bytes& reply) { return (reply[1] & 0x80) != 0; }

// The rules a reply must meet to answer its request.
bool answers(const Bytes& request, const Packet& reply, uint8_t module) {
  const Bytes& d = reply.data;
  if (reply.address != module) return false;
  if (request[0] == 0x04) {
    const uint8_t op = request[1];
    if (d.size() <= 3 || d[0] != 0x04 || (d[1] != op && d[1] != (op | 0x80)) || d[2] != request[2]) return false;
    return op > 4 || d[3] == request[3];
  }
  const uint8_t slot = request[1] & 0x0F;
  return d.size() >= 2 && d[0] == 0x5E && (d[1] == slot || d[1] == (slot | 0x80));
}

// The reply taken for the request at index i of sent, or null (each request is awaited
// once).
const Packet* replyTo(const Scripted& link, size_t i) {
  for (const Taken& t : link.taken)
    if (t.request == i) return &t.reply;
  return nullptr;
}

// The handle a slot-open reply names, or -1 when it names none.
int handleOf(const Packet* reply) {
  if (reply == nullptr || isSlotError(reply->data) || reply->data.size() < 5 || reply->data[4] == 255) return -1;
  return reply->data[4];
}

// A slot size or capacity reply's value, or -1 when it gives none.
long valueOf(const Packet* reply) {
  if (reply == nullptr || isSlotError(reply->data) || reply->data.size() != 6) return -1;
  return reply->data[4] << 8 | reply->data[5];
}

// The writes of a slot (25-byte chunks, handle h) or of factory data (26-byte chunks,
// slot s, the first marked) from sent[from] on, as long as there are such requests;
// their bytes in order.
Bytes written(const std::vector<Bytes>& sent, size_t from, size_t& next, bool factory, uint8_t id) {
  Bytes bytes;
  size_t i = from;
  for (; i < sent.size(); i++) {
    const Bytes& r = sent[i];
    if (factory) {
      if (r[0] != 0x5E || (r[1] & 0x10) == 0) break;
      check(r[1] == (id | 0x10 | (i == from ? 0x40 : 0)));
      check(r.size() >= 3 && r.size() <= 28);
      bytes.insert(bytes.end(), r.begin() + 2, r.end());
    } else {
      if (r[0] != 0x04 || r[1] != 7) break;
      check(r[2] == id && r.size() >= 4 && r.size() <= 28);
      bytes.insert(bytes.end(), r.begin() + 3, r.end());
    }
  }
  // Every chunk but the last is full: a whole packet of data.
  for (size_t k = from; k + 1 < i; k++) check(sent[k].size() == aPACKET_MAX_DATA);
  next = i;
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint8_t op = data[0] % 6;
  const uint8_t module = (data[1] & 0xFE) != 0 ? (data[1] & 0xFE) : 2;
  const uint8_t store = data[2];
  const uint8_t slot = data[3];
  const uint8_t factorySlot = data[2] & 0x0F;
  const uint64_t length = ((static_cast<uint64_t>(data[4]) << 8) | data[5]) % 1500;
  std::deque<Group> groups;
  for (size_t at = 6; at < size;) {
    Group g;
    const uint8_t head = data[at++];
    g.putFails = (head & 0x80) != 0;
    for (int n = head & 7; n > 0 && at + 2 <= size; n--) {
      Packet p;
      p.address = (data[at] & 1) != 0 ? module : data[at];
      const size_t count = data[at + 1] % 29;
      at += 2;
      const size_t take = count < size - at ? count : size - at;
      p.data.assign(data + at, data + at + take);
      at += take;
      g.packets.push_back(std::move(p));
    }
    groups.push_back(std::move(g));
  }

  Bytes payload(length);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i * 7 + 3);
  // The read buffer is exactly as long as asked, so that a byte past it is caught.
  uint8_t* buffer = new uint8_t[length > 0 ? length : 1];
  const uint64_t bufferLength = length;

  Scripted link(module, groups);
  uint64_t value = 0xDEADBEEF;
  aErr result = aErrNone;
  const std::vector<Bytes>& sent = link.sent;
  // Every reply taken answers the request it was taken for.
  auto repliesAnswer = [&] {
    for (const Taken& t : link.taken) check(answers(sent[t.request], t.reply, module));
  };

  switch (op) {
    case 0:
    case 1: {
      const uint8_t code = op == 0 ? 2 : 1;
      result = op == 0 ? slots::size(link, module, store, slot, &value) : slots::capacity(link, module, store, slot, &value);
      check(sent.size() <= 1);
      if (!sent.empty()) check(sent[0] == (Bytes{0x04, code, store, slot}));
      const long expected = sent.empty() ? -1 : valueOf(replyTo(link, 0));
      check((result == aErrNone) == (expected >= 0));
      check(result == aErrNone ? value == static_cast<uint64_t>(expected) : value == 0xDEADBEEF);
      break;
    }
    case 2: {
      result = slots::load(link, module, store, slot, payload.data(), payload.size());
      if (sent.empty()) {
        check(result != aErrNone);
        break;
      }
      check(sent[0] == (Bytes{0x04, 4, store, slot}));
      const int handle = handleOf(replyTo(link, 0));
      if (handle < 0) {
        check(result == aErrMedia && sent.size() == 1);
        break;
      }
      size_t next = 0;
      const Bytes bytes = written(sent, 1, next, false, static_cast<uint8_t>(handle));
      check(bytes.size() <= payload.size() && same(bytes.data(), payload.data(), bytes.size()));
      // The close comes last, whatever happened before it; it may fail to go out.
      check(next == sent.size() || (next + 1 == sent.size() && sent[next] == (Bytes{0x04, 8, static_cast<uint8_t>(handle)})));
      if (result == aErrNone) check(bytes.size() == payload.size() && next + 1 == sent.size());
      break;
    }
    case 3: {
      uint64_t unloaded = 0xDEADBEEF;
      result = slots::unload(link, module, store, slot, buffer, bufferLength, &unloaded);
      if (sent.empty()) {
        check(result != aErrNone && unloaded == 0xDEADBEEF);
        break;
      }
      check(sent[0] == (Bytes{0x04, 2, store, slot}));
      const long slotSize = valueOf(replyTo(link, 0));
      if (slotSize < 0) {
        check(result != aErrNone && sent.size() == 1 && unloaded == 0xDEADBEEF);
        break;
      }
      if (sent.size() < 2) {
        check(result != aErrNone);
        break;
      }
      check(sent[1] == (Bytes{0x04, 3, store, slot}));
      const int handle = handleOf(replyTo(link, 1));
      if (handle < 0) {
        check(result == aErrMedia && sent.size() == 2 && unloaded == 0xDEADBEEF);
        break;
      }
      size_t i = 2;
      Bytes read;
      // A refusal's code is the module's own and is returned as it is, whatever it is
      // (aErrOverrun too, which then comes without a count).
      bool refused = false;
      for (; i < sent.size() && sent[i] == (Bytes{0x04, 6, static_cast<uint8_t>(handle)}); i++) {
        const Packet* reply = replyTo(link, i);
        if (reply != nullptr && isSlotError(reply->data)) refused = true;
        if (reply != nullptr && !isSlotError(reply->data)) read.insert(read.end(), reply->data.begin() + 3, reply->data.end());
      }
      check(i == sent.size() || (i + 1 == sent.size() && sent[i] == (Bytes{0x04, 8, static_cast<uint8_t>(handle)})));
      if (i < sent.size() && replyTo(link, i) != nullptr && isSlotError(replyTo(link, i)->data)) refused = true;
      const uint64_t count = static_cast<uint64_t>(slotSize) < bufferLength ? static_cast<uint64_t>(slotSize) : bufferLength;
      if (result == aErrNone || (result == aErrOverrun && !refused)) {
        check(unloaded == count && read.size() >= count && same(buffer, read.data(), count));
        check((result == aErrOverrun) == (bufferLength < static_cast<uint64_t>(slotSize)));
      } else {
        check(unloaded == 0xDEADBEEF);
      }
      break;
    }
    case 4: {
      uint64_t received = 0xDEADBEEF;
      result = slots::getFactory(link, module, factorySlot, buffer, bufferLength, &received);
      Bytes read;
      size_t i = 0;
      for (; i < sent.size() && sent[i][0] == 0x5E && sent[i][1] != 0x20; i++) {
        check(sent[i] == (Bytes{0x5E, static_cast<uint8_t>(factorySlot | (i == 0 ? 0x40 : 0))}));
        const Packet* reply = replyTo(link, i);
        if (reply != nullptr && (reply->data[1] & 0x80) == 0) read.insert(read.end(), reply->data.begin() + 2, reply->data.end());
      }
      if (result == aErrNone) {
        check(i + 1 == sent.size() && received == read.size() && received < bufferLength);
        check(sent[i] == (Bytes{0x5E, 0x20, static_cast<uint8_t>(received >> 8), static_cast<uint8_t>(received)}));
        check(same(buffer, read.data(), read.size()));
      } else {
        check(received == 0xDEADBEEF && sent.size() <= i + 1);
      }
      break;
    }
    case 5: {
      result = slots::setFactory(link, module, factorySlot, payload.data(), payload.size());
      size_t next = 0;
      const Bytes bytes = written(sent, 0, next, true, factorySlot);
      check(bytes.size() <= payload.size() && same(bytes.data(), payload.data(), bytes.size()));
      if (result == aErrNone) {
        check(bytes.size() == payload.size() && next + 1 == sent.size());
        check(sent[next] == (Bytes{0x5E, 0x20, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}));
      }
      break;
    }
  }
  repliesAnswer();
  delete[] buffer;
  return 0;
}

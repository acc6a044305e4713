// Byte-sequence writes gathered per client, so that a write's chunks reach the device as
// one run with no other client's packet between them.
#include <cstring>

#include "common/aUEI.h"
#include "common/server/aServerClients.h"
#include "common/server/aServerRecord.h"

namespace aserver {

namespace {

constexpr uint8_t kPoolStartLength = 28;
constexpr uint8_t kSequenceMask = 0x7F;

uint8_t sSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

// The chunks of one write share their command, option and entity index.
bool sSameWrite(const aServerPool& pool, const aPacket* packet) {
  return packet->dataSize >= 3 && std::memcmp(pool.head, packet->data, sizeof pool.head) == 0;
}

}  // namespace

void aServerClients::breakPool(aServerPool& pool) {
  pool.broken = true;
  // What was gathered will never be sent: its memory goes at once.
  std::vector<aPacket>().swap(pool.packets);
}

void aServerClients::agePools(uint64_t keep) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    aServerPool* p = it->second.pool.get();
    if (p != nullptr && p->timeToLive > 0) {
      p->timeToLive--;
    } else if (p != nullptr) {
      it->second.pool.reset();
      account(it->first, it->second);
      if (it->first != keep) {
        it = settle(it);
        continue;
      }
    }
    ++it;
  }
}

aServerClients::PoolStep aServerClients::pool(uint64_t id, const aPacket* packet, std::vector<aPacket>* run) {
  if (!aUEI_isUEIPayload(packet)) return PoolStep::notTaken;
  agePools(id);
  Client& c = clients_[id];
  const bool starts = packet->dataSize == kPoolStartLength && _doesPacketContinue(packet) && sSequence(packet) == 0;
  if (c.pool && (starts || !sSameWrite(*c.pool, packet))) {
    // The client has moved on: the unfinished write is given up, and this packet is
    // taken as if there had been none (a pool must not swallow later requests).
    c.pool.reset();
  }
  if (c.pool) {
    aServerPool& p = *c.pool;
    const bool last = !_doesPacketContinue(packet);
    // A write longer than any reply the server takes is no write a module holds.
    if (sSequence(packet) != ((p.sequence + 1) & kSequenceMask) || p.packets.size() >= aSERVER_MAX_CONTINUED)
      breakPool(p);
    if (p.broken) {
      // Nothing of this write reaches the device, up to its last chunk.
      if (last) c.pool.reset();
      return PoolStep::held;
    }
    p.packets.push_back(*packet);
    if (!last) {
      p.sequence = sSequence(packet);
      return PoolStep::held;
    }
    *run = std::move(p.packets);
    c.pool.reset();
    return PoolStep::run;
  }
  if (!starts) return PoolStep::notTaken;
  c.pool.reset(new aServerPool());
  std::memcpy(c.pool->head, packet->data, sizeof c.pool->head);
  c.pool->packets.push_back(*packet);
  return PoolStep::held;
}

}  // namespace aserver

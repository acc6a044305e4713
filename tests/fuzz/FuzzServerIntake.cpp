// libFuzzer target: the link server broker's intake of client frames, as its clients
// record takes them (common/server/aServerClients.h), with connections coming and going,
// the worker serving one request at a time, and flushes. What must hold whatever the
// clients send:
// - only whole packets reach the worker (size = length byte + 2, at most 30 bytes),
//   never a client's route control, and several packets only as one byte-sequence write
//   (full continued chunks in sequence from 0, then a last chunk, one command);
// - a client's requests are served in the order it sent them, never after its
//   connection ended, and never more than aSERVER_MAX_WAITING of them wait;
// - while a client waits, no other client is served twice, and a client that was being
//   served when it began to wait is not served again before it (the turn goes round);
// - an answer is wanted only while its connection lives and no flush came after it;
// - at most aSERVER_MAX_SUBSCRIBERS clients receive batches.
//
// Input: a list of operations, each a byte (its low 3 bits the operation) and its
// arguments: accept/end a connection on descriptor d (0..7), a frame of n bytes from
// (descriptor, identity 0..3), the worker takes the next request (the one it had is done
// first), the worker is done, flush.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/server/aServer.h"
#include "common/server/aServerClients.h"

namespace {

using aserver::aServerClients;
using aserver::aServerRequest;
using aserver::aServerTaken;
using Client = std::pair<uint64_t, std::string>;   // connection, identity

void check(bool ok) {
  if (!ok) std::abort();
}

// From the link byte protocol and the UEI framing, not from the server's helpers.
bool isUeiPayload(const aPacket& p) {
  static const std::set<uint8_t> notUei = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  return p.dataSize > 0 && notUei.count(p.data[0]) == 0;
}
bool continues(const aPacket& p) {
  return isUeiPayload(p) && (p.dataSize == 27 || p.dataSize == 28) && (p.data[p.dataSize - 1] & 0x80) != 0;
}

void checkRequest(const aServerRequest& r) {
  check(!r.packets.empty());
  for (const aPacket& p : r.packets) check(p.dataSize <= 28);
  if (r.packets.size() == 1) {
    const aPacket& p = r.packets[0];
    check(!(p.address == 0xAF && p.dataSize == 1));
    return;
  }
  check(r.packets.size() <= aSERVER_MAX_CONTINUED + 1);
  for (size_t i = 0; i < r.packets.size(); i++) {
    const aPacket& p = r.packets[i];
    check(p.dataSize >= 3 && std::memcmp(p.data, r.packets[0].data, 3) == 0);
    check((p.data[p.dataSize - 1] & 0x7F) == (i & 0x7F));
    check(continues(p) == (i + 1 < r.packets.size()));
  }
  check(r.packets[0].dataSize == 28);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aServerClients clients;
  std::map<int, uint64_t> live;                   // descriptor -> connection, as reported
  std::map<Client, uint64_t> lastServed;          // a client's last ticket served
  std::map<Client, std::set<Client>> passedBy;    // clients served while this one waits
  std::vector<aserver::aServerTicket> served;
  uint64_t queued = 0;                             // requests queued so far: the last ticket's number
  uint64_t answeredFrom = 0;                       // answers to earlier tickets are dropped (flush)
  std::set<uint64_t> ended;
  bool serving = false;
  Client served1;                                  // whose request the worker has
  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  while (at < size) {
    const uint8_t op = next();
    const int fd = (op >> 3) & 7;
    switch (op & 7) {
      case 0:
        if (live.count(fd)) ended.insert(live[fd]);
        clients.accepted(fd);
        live[fd] = clients.connectionOn(fd);
        break;
      case 1:
        if (live.count(fd)) ended.insert(live[fd]);
        live.erase(fd);
        clients.ended(fd);
        break;
      case 2:
      case 3:
      case 4: {
        const std::string identity(1, static_cast<char>('a' + (op >> 6)));
        const size_t n = next() % 41;
        uint8_t frame[40];
        for (size_t i = 0; i < n; i++) frame[i] = next();
        const uint64_t connection = clients.connectionOn(fd);
        if (live.count(fd) && live[fd] != connection) ended.insert(live[fd]);
        live[fd] = connection;
        const aServerTaken taken = clients.take(connection, identity, frame, n);
        check((taken == aServerTaken::malformed) == (n < 2 || n > 30 || frame[1] + 2u != n));
        if (taken == aServerTaken::queued) queued++;
        check(clients.waiting(connection, identity) <= aSERVER_MAX_WAITING);
        check(clients.subscriberCount() <= aSERVER_MAX_SUBSCRIBERS);
        break;
      }
      case 5: {
        if (serving) clients.done();
        serving = false;
        aServerRequest r;
        if (!clients.next(&r)) break;
        checkRequest(r);
        check(ended.count(r.ticket.connection) == 0);
        const Client who{r.ticket.connection, r.identity};
        auto last = lastServed.find(who);
        check(last == lastServed.end() || last->second < r.ticket.number);
        lastServed[who] = r.ticket.number;
        // Everybody still waiting has now been passed over by this client once more.
        for (auto& [waiter, by] : passedBy) {
          if (waiter == who || clients.waiting(waiter.first, waiter.second) == 0) continue;
          check(by.insert(who).second);
        }
        passedBy.erase(who);
        for (auto it = passedBy.begin(); it != passedBy.end();)
          it = clients.waiting(it->first.first, it->first.second) == 0 ? passedBy.erase(it) : std::next(it);
        serving = true;
        served1 = who;
        check(r.ticket.number >= 1 && r.ticket.number <= queued);
        check(clients.wanted(r.ticket) == (r.ticket.number >= answeredFrom));
        served.push_back(r.ticket);
        break;
      }
      case 6:
        clients.flush();
        answeredFrom = queued + 1;
        for (const auto& t : served) check(!clients.wanted(t));
        break;
      default:
        if (serving) clients.done();
        serving = false;
        for (const auto& t : served)
          if (ended.count(t.connection)) check(!clients.wanted(t));
        break;
    }
    // A client waiting enters the round of those that must not be passed twice.
    for (const auto& [fdLive, connection] : live)
      for (char c = 'a'; c <= 'd'; c++) {
        const Client k{connection, std::string(1, c)};
        if (clients.waiting(k.first, k.second) == 0 || passedBy.count(k)) continue;
        // Begins to wait now: the client being served has had its turn before it.
        passedBy[k];
        if (serving && !(served1 == k)) passedBy[k].insert(served1);
      }
  }
  return 0;
}

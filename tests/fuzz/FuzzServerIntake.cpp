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
// - the clients that enabled streaming first receive batches, up to the limit; a
//   further client's enable comes back in its turn as the module's refusal of a
//   stream it cannot serve ([5D][C1][0x80 | index][aErrResource]), never to the worker;
// - what is held for the clients stays within the budget, up to one request of each
//   client (a client's first request always gets in), and a request is dropped for the
//   budget only when its client would hold the most.
//
// Input: a first byte that chooses the limits (even: the server's own; odd: a budget of
// 256 bytes per step of its upper bits, 128 bytes per connection, 1 to 4 subscribers),
// then a list of operations, each a byte (its low 3 bits the operation) and its
// arguments: accept/end a connection on descriptor d (0..7), a frame of n bytes from
// (descriptor, identity 0..3), the worker takes the next request (the one it had is done
// first), the worker is done, flush.
#include <algorithm>
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
bool isUeiCommand(uint8_t command) {
  static const std::set<uint8_t> notUei = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  return notUei.count(command) == 0;
}
bool isUeiPayload(const aPacket& p) { return p.dataSize > 0 && isUeiCommand(p.data[0]); }
bool continues(const aPacket& p) {
  return isUeiPayload(p) && (p.dataSize == 27 || p.dataSize == 28) && (p.data[p.dataSize - 1] & 0x80) != 0;
}

bool isStreamEnable(const uint8_t* frame, size_t n) {
  return n == 9 && frame[1] == 7 && frame[2] == 0x5D && frame[3] == 0x81;
}

// The module's refusal of a stream it cannot serve, from the enable request.
std::vector<uint8_t> refusalOf(const aPacket& enable) {
  return {enable.address, 4, 0x5D, 0xC1, static_cast<uint8_t>(0x80 | (enable.data[2] & 0x1F)), 30};
}

std::vector<uint8_t> wire(const aPacket& p) {
  std::vector<uint8_t> out = {p.address, p.dataSize};
  out.insert(out.end(), p.data, p.data + p.dataSize);
  return out;
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
  aserver::aServerLimits limits;
  if (size > 0 && (data[0] & 1) != 0) {
    limits.budget = 256u * (data[0] >> 1);
    limits.perConnection = 128;
    limits.subscribers = 1 + ((data[0] >> 1) & 3);
  }
  aServerClients clients(limits);
  // The most one request of one packet (with an answer) or one write's first chunk is
  // counted at: the slack the budget allows each client.
  aServerRequest one;
  one.identity = "a";
  one.packets.resize(1);
  one.answer.resize(1);
  aserver::aServerPool firstChunk;
  firstChunk.packets.resize(1);
  const size_t single = std::max(aServerClients::requestCost(one), aServerClients::poolCost(firstChunk));
  aServerRequest longest = one;
  longest.packets.resize(aSERVER_MAX_CONTINUED + 1);
  const size_t largest = aServerClients::requestCost(longest);
  std::set<Client> subscribed;                     // as the clients record must have them
  std::set<uint64_t> refusedTickets;               // stream enables it must refuse
  std::map<int, uint64_t> live;                   // descriptor -> connection, as reported
  std::map<Client, uint64_t> lastServed;          // a client's last ticket served
  std::map<Client, std::set<Client>> passedBy;    // clients served while this one waits
  std::vector<aserver::aServerTicket> served;
  uint64_t queued = 0;                             // requests queued so far: the last ticket's number
  uint64_t answeredFrom = 0;                       // answers to earlier tickets are dropped (flush)
  std::set<uint64_t> ended;
  bool serving = false;
  Client served1;                                  // whose request the worker has
  size_t at = size > 0 ? 1 : 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  auto forgetEnded = [&]() {
    for (auto it = subscribed.begin(); it != subscribed.end();)
      it = ended.count(it->first) ? subscribed.erase(it) : std::next(it);
  };
  while (at < size) {
    const uint8_t op = next();
    const int fd = (op >> 3) & 7;
    switch (op & 7) {
      case 0:
        if (live.count(fd)) ended.insert(live[fd]);
        clients.accepted(fd);
        live[fd] = clients.connectionOn(fd);
        forgetEnded();
        break;
      case 1:
        if (live.count(fd)) ended.insert(live[fd]);
        live.erase(fd);
        clients.ended(fd);
        forgetEnded();
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
        forgetEnded();
        const Client who{connection, identity};
        const size_t heldBefore = clients.holding(connection, identity);
        std::map<Client, std::pair<size_t, size_t>> before;   // waiting, holding
        for (const auto& [fdLive, other] : live)
          for (char k = 'a'; k <= 'd'; k++) {
            const std::string id(1, k);
            before[{other, id}] = {clients.waiting(other, id), clients.holding(other, id)};
          }
        bool refuse = false;
        if (isStreamEnable(frame, n) && subscribed.count(who) == 0) {
          refuse = subscribed.size() >= limits.subscribers;
          if (!refuse) subscribed.insert(who);
        }
        const aServerTaken taken = clients.take(connection, identity, frame, n);
        check((taken == aServerTaken::malformed) == (n < 2 || n > 30 || frame[1] + 2u != n));
        if (taken == aServerTaken::queued) queued++;
        if (taken == aServerTaken::queued && refuse) refusedTickets.insert(queued);
        check(clients.waiting(connection, identity) <= aSERVER_MAX_WAITING);
        check(clients.subscriberCount() <= limits.subscribers);
        check(clients.subscriberCount() == subscribed.size());
        // Within the budget, up to one request of each client.
        const size_t connections = live.size() * limits.perConnection;
        check(clients.held() <= std::max(limits.budget, connections) + clients.clientCount() * single);
        // A request of another client is dropped only when that client held more.
        for (const auto& [other, was] : before)
          if (!(other == who) && clients.waiting(other.first, other.second) < was.first) check(was.second > heldBefore);
        if (taken == aServerTaken::overBudget) {
          // Dropped for the budget only when its client would hold the most.
          const bool uei = n > 2 && isUeiCommand(frame[2]);
          check(heldBefore > 0 || uei);
          const size_t mine = heldBefore + (uei ? largest : single);
          for (const auto& [fdLive, other] : live)
            for (char k = 'a'; k <= 'd'; k++)
              if (!(Client{other, std::string(1, k)} == who)) check(clients.holding(other, std::string(1, k)) <= mine);
        }
        break;
      }
      case 5: {
        if (serving) clients.done();
        serving = false;
        aServerRequest r;
        if (!clients.next(&r)) break;
        checkRequest(r);
        // The server's own answer: only the refusal of a stream it cannot serve.
        if (!r.answer.empty()) {
          check(refusedTickets.count(r.ticket.number) == 1);
          check(r.packets.size() == 1 && r.answer.size() == 1);
          check(wire(r.answer[0]) == refusalOf(r.packets[0]));
        } else {
          // A refused enable that went out was a chunk of a byte-sequence write.
          check(refusedTickets.count(r.ticket.number) == 0 || r.packets.size() > 1);
        }
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
    // A wait ends when nothing of the client waits any more (served, dropped for the
    // budget, or gone with its connection); a client waiting enters the round of those
    // that must not be passed twice.
    for (auto it = passedBy.begin(); it != passedBy.end();)
      it = clients.waiting(it->first.first, it->first.second) == 0 ? passedBy.erase(it) : std::next(it);
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

// The broker's clients: connections, queues in turn, subscribers (aServerClients.h).
#include "common/server/aServerClients.h"

#include <cstring>

#include "common/aUEI.h"
#include "common/server/aServerRecord.h"

namespace aserver {

namespace {

// [cmdSTREAM][enable][specifier][module, command, option, index: the 32-bit value]
constexpr uint8_t kStreamEnableLength = 7;

bool sStreamEnable(const aPacket* packet) {
  return packet->dataSize == kStreamEnableLength && packet->data[0] == cmdSTREAM &&
         packet->data[1] == aUEI_STREAM_ENABLE_SET;
}

// UEI framing: the option byte's code and its acknowledgement bits (GET and SET), the
// specifier's entity index and its error-reply bit.
constexpr uint8_t kOptionCode = 0x3F;
constexpr uint8_t kOptionAck = 0xC0;
constexpr uint8_t kEntityIndex = 0x1F;
constexpr uint8_t kErrorReply = 0x80;

// The refusal a module gives a stream it cannot serve: the error reply to the enable,
// [cmdSTREAM][its option code with the acknowledgement bits][0x80 | index][code].
aPacket sStreamRefusal(const aPacket* enable) {
  const uint8_t data[4] = {cmdSTREAM, static_cast<uint8_t>((enable->data[1] & kOptionCode) | kOptionAck),
                           static_cast<uint8_t>(kErrorReply | (enable->data[2] & kEntityIndex)), aErrResource};
  aPacket refusal;
  aPacket_Fill(&refusal, enable->address, sizeof data, data);
  return refusal;
}

// What the allocator adds to every block it hands out.
constexpr size_t kAllocation = 16;
// A frame's record in the frontend's queue; a frame too long to fit in it takes a block
// of its own, with a header.
constexpr size_t kFrameRecord = 64;
constexpr size_t kFrameHeader = 48;

}  // namespace

size_t aServerClients::requestCost(const aServerRequest& request) {
  size_t bytes = sizeof(aServerRequest) + kAllocation;   // its place in the queue
  if (!request.packets.empty()) bytes += request.packets.size() * sizeof(aPacket) + kAllocation;
  if (!request.answer.empty()) bytes += request.answer.size() * sizeof(aPacket) + kAllocation;
  // An identity longer than the string keeps in itself has a block of its own.
  if (request.identity.size() >= sizeof(std::string)) bytes += request.identity.size() + 1 + kAllocation;
  return bytes;
}

size_t aServerClients::poolCost(const aServerPool& pool) {
  if (pool.packets.empty()) return 0;
  return sizeof(aServerPool) + pool.packets.capacity() * sizeof(aPacket) + 2 * kAllocation;
}

size_t aServerClients::frontendAllowance() {
  return aSERVER_FRONTEND_QUEUE * (kFrameRecord + aSERVER_FRONTEND_FRAME + kFrameHeader + kAllocation);
}

aServerLimits::aServerLimits() : perConnection(aServerClients::frontendAllowance()) {}

size_t aServerClients::queueBudget() const {
  const size_t connections = live_.size() * limits_.perConnection;
  return limits_.budget > connections ? limits_.budget - connections : 0;
}

void aServerClients::account(uint64_t id, Client& c) {
  const size_t now = c.queued + (c.pool ? poolCost(*c.pool) : 0);
  if (now == c.held) return;
  if (c.held != 0) byHeld_.erase({c.held, id});
  held_ = held_ - c.held + now;
  c.held = now;
  if (now != 0) byHeld_.insert({now, id});
}

void aServerClients::forget(Clients::iterator it) {
  Client& c = it->second;
  if (c.held != 0) {
    byHeld_.erase({c.held, it->first});
    held_ -= c.held;
  }
  if (c.subscribed) subscribers_--;
  clients_.erase(it);
}

void aServerClients::shed(uint64_t id, Client& c) {
  if (!c.waiting.empty()) {
    c.queued -= requestCost(c.waiting.back());
    c.waiting.pop_back();
  } else if (c.pool) {
    breakPool(*c.pool);
  }
  account(id, c);
}

bool aServerClients::makeRoom(uint64_t asking, size_t adding) {
  const size_t limit = queueBudget();
  while (held_ + adding > limit) {
    const size_t mine = clients_[asking].held + adding;
    auto biggest = byHeld_.rbegin();
    if (biggest != byHeld_.rend() && biggest->second == asking) ++biggest;
    // The client that asks would hold the most: its own addition is what goes.
    if (biggest == byHeld_.rend() || biggest->first <= mine) return false;
    const uint64_t other = biggest->second;
    shed(other, clients_[other]);
  }
  return true;
}

size_t aServerClients::holding(uint64_t connection, const std::string& identity) const {
  auto found = byKey_.find(Key{connection, identity});
  if (found == byKey_.end()) return 0;
  auto it = clients_.find(found->second);
  return it == clients_.end() ? 0 : it->second.held;
}

void _encodeTicket(const aServerTicket& ticket, uint8_t out[kServerTicketSize]) {
  std::memcpy(out, &ticket.connection, sizeof ticket.connection);
  std::memcpy(out + sizeof ticket.connection, &ticket.number, sizeof ticket.number);
}

bool _decodeTicket(const void* frame, size_t size, aServerTicket* ticket) {
  if (frame == nullptr || size != kServerTicketSize) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(frame);
  std::memcpy(&ticket->connection, bytes, sizeof ticket->connection);
  std::memcpy(&ticket->number, bytes + sizeof ticket->connection, sizeof ticket->number);
  return true;
}

void aServerClients::accepted(int fd) {
  if (fd < 0) return;
  // A descriptor is reused once its connection has ended; an end not reported ends here.
  auto it = byDescriptor_.find(fd);
  if (it != byDescriptor_.end()) endConnection(it->second);
  byDescriptor_[fd] = nextConnection_;
  live_.insert(nextConnection_);
  nextConnection_++;
  // The new connection's allowance comes out of what the others hold, the biggest first.
  while (held_ > queueBudget() && !byHeld_.empty()) {
    const uint64_t biggest = byHeld_.rbegin()->second;
    shed(biggest, clients_[biggest]);
  }
}

void aServerClients::ended(int fd) {
  auto it = byDescriptor_.find(fd);
  if (it == byDescriptor_.end()) return;
  const uint64_t connection = it->second;
  byDescriptor_.erase(it);
  endConnection(connection);
}

uint64_t aServerClients::connectionOn(int fd) {
  if (fd < 0) return 0;
  auto it = byDescriptor_.find(fd);
  if (it != byDescriptor_.end()) return it->second;
  accepted(fd);
  return byDescriptor_[fd];
}

bool aServerClients::isLive(uint64_t connection) const { return connection == 0 || live_.count(connection) != 0; }

void aServerClients::endConnection(uint64_t connection) {
  live_.erase(connection);
  for (auto it = byKey_.lower_bound(Key{connection, std::string()}); it != byKey_.end() && it->first.connection == connection;) {
    auto client = clients_.find(it->second);
    if (client != clients_.end()) forget(client);
    it = byKey_.erase(it);
  }
}

aServerClients::Client& aServerClients::clientFor(uint64_t connection, const std::string& identity) {
  Key key{connection, identity};
  auto found = byKey_.find(key);
  if (found != byKey_.end()) return clients_[found->second];
  const uint64_t id = nextClient_++;
  byKey_.emplace(key, id);
  Client& c = clients_[id];
  c.key = std::move(key);
  return c;
}

aServerClients::Clients::iterator aServerClients::settle(Clients::iterator it) {
  const Client& c = it->second;
  // The client being served stays: what it asks meanwhile waits for its next turn.
  if (!c.waiting.empty() || c.pool || c.subscribed || it->first == serving_) return std::next(it);
  byKey_.erase(c.key);
  auto after = std::next(it);
  forget(it);
  return after;
}

aServerTaken aServerClients::take(uint64_t connection, const std::string& identity, const uint8_t* frame, size_t size) {
  aPacket* parsed = _zFrame_To_aPacket(frame, size);
  if (parsed == nullptr) return aServerTaken::malformed;
  const aPacket packet = *parsed;
  aPacket_Destroy(&parsed);

  Client& c = clientFor(connection, identity);
  auto self = byKey_.find(c.key);
  const uint64_t id = self->second;
  // A stream the server can keep goes on to the device; one it cannot is refused in
  // its turn, as the module would refuse it, and never reaches the device.
  bool refuseStream = false;
  if (sStreamEnable(&packet) && !c.subscribed) {
    refuseStream = subscribers_ >= limits_.subscribers;
    if (!refuseStream) {
      c.subscribed = true;
      subscribers_++;
    }
  }
  aServerRequest request;
  const size_t heldBefore = c.held;
  const PoolStep step = pool(id, &packet, &request.packets);
  account(id, c);
  aServerTaken taken = aServerTaken::queued;
  if (step == PoolStep::held) {
    taken = aServerTaken::pooled;
    // A write's chunks count as much as requests: past the budget it is given up.
    if (!makeRoom(id, 0) && heldBefore != 0 && c.pool) {
      breakPool(*c.pool);
      account(id, c);
    }
  } else if (step == PoolStep::notTaken && _isBlacklistedPacket(&packet)) {
    taken = aServerTaken::refused;
  } else if (c.waiting.size() >= aSERVER_MAX_WAITING) {
    taken = aServerTaken::excess;
  } else {
    if (step == PoolStep::notTaken) {
      request.packets.push_back(packet);
      if (refuseStream) request.answer.push_back(sStreamRefusal(&packet));
    }
    request.identity = identity;
    const size_t cost = requestCost(request);
    // A client's first waiting request always gets in (a whole write only within the
    // budget: its chunks were held within it).
    const bool first = c.held == 0 && request.packets.size() == 1;
    if (!makeRoom(id, cost) && !first) {
      settle(clients_.find(id));
      return aServerTaken::overBudget;
    }
    request.ticket = aServerTicket{connection, nextRequest_++};
    c.waiting.push_back(std::move(request));
    c.queued += cost;
    account(id, c);
    // The client being served takes its place again once it has been (done()).
    if (!c.inTurn && id != serving_) {
      c.inTurn = true;
      round_.push_back(id);
    }
  }
  settle(clients_.find(id));
  return taken;
}

bool aServerClients::next(aServerRequest* out) {
  while (!round_.empty()) {
    const uint64_t id = round_.front();
    round_.pop_front();
    auto it = clients_.find(id);
    if (it == clients_.end()) continue;   // gone with its connection
    Client& c = it->second;
    c.inTurn = false;
    if (c.waiting.empty()) {
      settle(it);
      continue;
    }
    *out = std::move(c.waiting.front());
    c.waiting.pop_front();
    c.queued -= requestCost(*out);
    account(id, c);
    serving_ = id;
    return true;
  }
  return false;
}

void aServerClients::done() {
  auto it = clients_.find(serving_);
  serving_ = 0;
  if (it == clients_.end()) return;
  if (!it->second.waiting.empty() && !it->second.inTurn) {
    // Behind every client that asked while its request was being served.
    it->second.inTurn = true;
    round_.push_back(it->first);
  }
  settle(it);
}

bool aServerClients::wanted(const aServerTicket& ticket) const {
  return ticket.number >= answeredFrom_ && isLive(ticket.connection);
}

void aServerClients::flush() { answeredFrom_ = nextRequest_; }

void aServerClients::eachSubscriber(const std::function<bool(const std::string& identity)>& send) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (!it->second.subscribed || send(it->second.key.identity)) {
      ++it;
      continue;
    }
    it->second.subscribed = false;
    subscribers_--;
    it = settle(it);
  }
}

size_t aServerClients::waiting(uint64_t connection, const std::string& identity) const {
  auto found = byKey_.find(Key{connection, identity});
  if (found == byKey_.end()) return 0;
  auto it = clients_.find(found->second);
  return it == clients_.end() ? 0 : it->second.waiting.size();
}

}  // namespace aserver

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

}  // namespace

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
    if (client != clients_.end()) {
      if (client->second.subscribed) subscribers_--;
      clients_.erase(client);
    }
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
  return clients_.erase(it);
}

aServerTaken aServerClients::take(uint64_t connection, const std::string& identity, const uint8_t* frame, size_t size) {
  aPacket* parsed = _zFrame_To_aPacket(frame, size);
  if (parsed == nullptr) return aServerTaken::malformed;
  const aPacket packet = *parsed;
  aPacket_Destroy(&parsed);

  Client& c = clientFor(connection, identity);
  auto self = byKey_.find(c.key);
  const uint64_t id = self->second;
  // The packet goes on to the device in any case.
  if (sStreamEnable(&packet) && !c.subscribed && subscribers_ < aSERVER_MAX_SUBSCRIBERS) {
    c.subscribed = true;
    subscribers_++;
  }
  aServerRequest request;
  const PoolStep step = pool(id, &packet, &request.packets);
  aServerTaken taken = aServerTaken::queued;
  if (step == PoolStep::held) {
    taken = aServerTaken::pooled;
  } else if (step == PoolStep::notTaken && _isBlacklistedPacket(&packet)) {
    taken = aServerTaken::refused;
  } else if (c.waiting.size() >= aSERVER_MAX_WAITING) {
    taken = aServerTaken::excess;
  } else {
    if (step == PoolStep::notTaken) request.packets.push_back(packet);
    request.identity = identity;
    request.ticket = aServerTicket{connection, nextRequest_++};
    c.waiting.push_back(std::move(request));
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

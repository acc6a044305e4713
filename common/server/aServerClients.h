#pragma once
// The broker's clients: which connections the frontend has, what each client has
// waiting, whose turn it is at the worker, the byte-sequence writes being gathered and
// who receives stream batches. Plain state of the broker's thread, with no socket in it:
// the broker (aServerBroker.cpp) moves the frames and tells this record what came.
//
// A client is one connection (as the frontend's monitor reports it, by descriptor) with
// the identity its frames carry. Its state dies with the connection: a request it left
// is not served, an answer that comes for it is dropped even when a new connection has
// taken the same identity, and it leaves the subscribers at once.
//
// Fair share: every client has a queue of its own, at most aSERVER_MAX_WAITING long
// (more is dropped), and the worker takes one request at a time from the clients in
// turn (round robin), so that one client's slow or unanswered requests cost that
// client, not the others.
//
// Memory: everything held for the clients together stays within one budget
// (aSERVER_MEMORY_BUDGET): the bytes of the waiting requests and the writes being
// gathered, counted here, and an allowance for each live connection (what the frontend
// may hold for it). Past it, the newest request of the client that holds the most is
// dropped to make room, or the new request itself when its client would hold the most;
// a client's first waiting request always gets in.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/aPacket.h"
#include "common/server/aServer.h"

namespace aserver {

// Which request an answer belongs to. It travels with the request through the worker
// and back, beside the client's identity.
struct aServerTicket {
  uint64_t connection = 0;   // 0: a connection whose descriptor is unknown
  uint64_t number = 0;       // the request's number, in the order requests were taken
};
constexpr size_t kServerTicketSize = 16;
void _encodeTicket(const aServerTicket& ticket, uint8_t out[kServerTicketSize]);
// False when the frame is no ticket.
bool _decodeTicket(const void* frame, size_t size, aServerTicket* ticket);

// A request waiting for its turn at the worker.
struct aServerRequest {
  std::string identity;
  aServerTicket ticket;
  std::vector<aPacket> packets;   // one, or the chunks of one byte-sequence write
  // The server's own answer, sent in the request's turn instead of asking the device
  // (a stream enable it cannot serve); empty for a request for the device.
  std::vector<aPacket> answer;
};

// What became of a frame from a client.
enum class aServerTaken {
  malformed,   // no packet (size and length byte disagree, or out of bounds): dropped
  refused,     // route control from a client: dropped
  queued,      // waits for its turn
  pooled,      // a chunk of a byte-sequence write, kept until its last chunk (or dropped with its write)
  excess,      // the client had aSERVER_MAX_WAITING requests waiting already: dropped
  overBudget,  // the budget was spent and this client would hold the most: dropped
};

// One client's byte-sequence write being gathered, so that its chunks reach the device
// as one run with no other client's packet between them.
struct aServerPool {
  uint8_t head[3] = {};           // command, option, specifier: what every chunk carries
  std::vector<aPacket> packets;   // copies, in arrival order (none once broken)
  uint8_t sequence = 0;           // of the last chunk taken
  uint32_t timeToLive = 2000;     // lowered by every UEI payload from any client
  bool broken = false;            // out of sequence or too long: the write is dropped whole
};

// What the clients may hold together.
struct aServerLimits {
  size_t budget = aSERVER_MEMORY_BUDGET;   // bytes, for everything held for the clients
  size_t perConnection;                    // of it, set aside for each live connection
  size_t subscribers = aSERVER_MAX_SUBSCRIBERS;
  aServerLimits();
};

class aServerClients {
 public:
  // Bytes the clients' state is counted at: a waiting request and a gathered write (with
  // what the allocator adds), and what the frontend may hold for a connection: its
  // queue of aSERVER_FRONTEND_QUEUE frames of up to aSERVER_FRONTEND_FRAME bytes.
  static size_t requestCost(const aServerRequest& request);
  static size_t poolCost(const aServerPool& pool);
  static size_t frontendAllowance();

  explicit aServerClients(const aServerLimits& limits = aServerLimits()) : limits_(limits) {}
  // The frontend's connections as its monitor reports them.
  void accepted(int fd);
  void ended(int fd);
  // The connection a frame came on (its ZMQ_SRCFD; 0 for a negative one). A descriptor
  // the monitor has not reported yet gets a connection of its own.
  uint64_t connectionOn(int fd);
  bool isLive(uint64_t connection) const;

  aServerTaken take(uint64_t connection, const std::string& identity, const uint8_t* frame, size_t size);
  // The next request, one client after the other; false when nobody waits. done() says
  // that it has been served: its client's next turn comes after every client that asked
  // meanwhile.
  bool next(aServerRequest* out);
  void done();
  // Whether the answer to a ticket still goes to its client: not once its connection
  // ended, nor when it was taken before a flush.
  bool wanted(const aServerTicket& ticket) const;
  // Answers to every request taken so far are dropped (the requests still reach the
  // device, and the worker still waits for their answers, which would otherwise be
  // taken for the answers to the requests after them).
  void flush();

  // Calls send for every subscriber's identity; send returns false for a client that
  // is gone, which then leaves the subscribers.
  void eachSubscriber(const std::function<bool(const std::string& identity)>& send);
  size_t subscriberCount() const { return subscribers_; }
  // Requests waiting, of one client or of all (for tests).
  size_t waiting(uint64_t connection, const std::string& identity) const;
  size_t clientCount() const { return clients_.size(); }
  // Bytes held for the clients, the connections' allowance included; of one client (its
  // waiting requests and its write).
  size_t held() const { return held_ + live_.size() * limits_.perConnection; }
  size_t holding(uint64_t connection, const std::string& identity) const;

 private:
  struct Key {
    uint64_t connection;
    std::string identity;
    bool operator<(const Key& o) const {
      return connection != o.connection ? connection < o.connection : identity < o.identity;
    }
  };
  struct Client {
    Key key;
    std::deque<aServerRequest> waiting;
    std::unique_ptr<aServerPool> pool;
    bool subscribed = false;
    bool inTurn = false;   // in the round
    size_t queued = 0;     // bytes of the waiting requests
    size_t held = 0;       // queued and the write's bytes, as counted in held_
  };
  enum class PoolStep { notTaken, held, run };

  using Clients = std::unordered_map<uint64_t, Client>;
  Client& clientFor(uint64_t connection, const std::string& identity);
  // A client with nothing left (nothing waiting, no write, no subscription) goes.
  Clients::iterator settle(Clients::iterator it);
  void endConnection(uint64_t connection);
  // aServerPool.cpp: gathers a byte-sequence write; on run the whole write is in *run.
  PoolStep pool(uint64_t id, const aPacket* packet, std::vector<aPacket>* run);
  void agePools(uint64_t keep);
  // The write is dropped whole, up to its last chunk.
  static void breakPool(aServerPool& pool);
  // After a client's queue or write changed: its holding is counted again.
  void account(uint64_t id, Client& c);
  // Room for adding bytes that client asking wants to hold: other clients that hold
  // more than it would lose their newest requests (or their writes); false when it
  // would itself hold the most, and its own addition is to be dropped.
  bool makeRoom(uint64_t asking, size_t adding);
  // The newest thing client id holds is dropped.
  void shed(uint64_t id, Client& c);
  size_t queueBudget() const;
  void forget(Clients::iterator it);

  std::unordered_map<int, uint64_t> byDescriptor_;
  std::unordered_set<uint64_t> live_;
  uint64_t nextConnection_ = 1;

  Clients clients_;                  // by client number
  std::map<Key, uint64_t> byKey_;
  uint64_t nextClient_ = 1;
  std::deque<uint64_t> round_;       // client numbers in turn; a gone client is skipped
  uint64_t serving_ = 0;             // the client whose request is at the worker
  size_t subscribers_ = 0;

  uint64_t nextRequest_ = 1;
  uint64_t answeredFrom_ = 0;        // answers to earlier requests are dropped (flush)

  aServerLimits limits_;
  size_t held_ = 0;                  // bytes held in queues and writes
  std::set<std::pair<size_t, uint64_t>> byHeld_;   // (bytes, client) of every client that holds any
};

}  // namespace aserver

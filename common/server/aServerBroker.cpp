// The link server's broker actor: takes the clients' requests from the frontend, hands
// them one request at a time to the sync-command actor, routes each answer back to the
// client that asked, gathers a client's byte-sequence write into one run, fans stream
// batches out to the clients that enabled streaming, and answers discovery beacons.
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/aUEI.h"
#include "common/server/aServerRecord.h"
#include "common/transport/zSysInterruptHandler.h"

namespace aserver {

namespace {

constexpr int kIdleWaitMs = 1000;
// While clients stream, the broker looks at the batch's age this often.
constexpr int kStreamingWaitMs = aSERVER_BATCH_AGE_MS / 2;
// Requests taken from the frontend per pass, so that answers and batches are not kept
// waiting behind a flood of requests.
constexpr int kIntakePerPass = 64;
constexpr uint8_t cmdSTREAM = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamEnableLength = 7;
constexpr uint8_t kPoolStartLength = 28;
constexpr uint8_t kSequenceMask = 0x7F;

// A client waiting for an answer. A flush forgets it: the answer that still comes for
// it is dropped, and the queue stays paired with the worker's answers.
struct Requester {
  std::string identity;
  bool forgotten = false;
};

struct BrokerState {
  std::deque<Requester> queue;            // oldest first
  std::vector<std::string> subscribers;   // clients that enabled streaming
};

std::string sIdentity(zmq_msg_t* frame) {
  return std::string(static_cast<const char*>(zmq_msg_data(frame)), zmq_msg_size(frame));
}

// One message to a client through the frontend, never waiting. False when it did not
// go; *gone when the client is no longer connected.
bool sSendToClient(aServer* s, const std::string& identity, const void* data, size_t size, bool* gone) {
  void* frontend = zsock_resolve(s->frontend);
  *gone = false;
  if (zmq_send(frontend, identity.data(), identity.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) {
    *gone = errno == EHOSTUNREACH;
    return false;
  }
  // The rest of a message whose first frame went cannot fail on a full queue.
  return zmq_send(frontend, data, size, ZMQ_DONTWAIT) >= 0;
}

// Packets to the worker as one message, so that they reach the device in one run and
// either all are handed over or none is. Never waits.
bool sHandOver(aServer* s, const aPacket* packets, size_t count) {
  void* worker = zsock_resolve(s->syncBroker);
  for (size_t i = 0; i < count; i++) {
    uint8_t frame[aPACKET_MAX_WIRE];
    const size_t size = _aPacket_To_zFrame(&packets[i], frame);
    const int flags = ZMQ_DONTWAIT | (i + 1 < count ? ZMQ_SNDMORE : 0);
    if (zmq_send(worker, frame, size, flags) < 0) return false;
  }
  return true;
}

// A stream enable adds the client to the subscribers; the packet goes on in any case.
void _handleStreamEnable(BrokerState& b, const std::string& identity, const aPacket* packet) {
  if (packet->dataSize != kStreamEnableLength || packet->data[0] != cmdSTREAM || packet->data[1] != kStreamEnable)
    return;
  for (const std::string& s : b.subscribers)
    if (s == identity) return;
  if (b.subscribers.size() < aSERVER_MAX_SUBSCRIBERS) b.subscribers.push_back(identity);
}

uint8_t sSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

bool sSameWrite(const aServerPool& pool, const aPacket* packet) {
  const aPacket& first = pool.packets.front();
  return packet->dataSize >= 3 && std::memcmp(first.data, packet->data, 3) == 0;
}

// Gathers a client's byte-sequence write so that its chunks reach the device as one run.
// True when the packet was taken here.
bool _handleSetUEIBytes(aServer* s, BrokerState& b, const std::string& identity, const aPacket* packet) {
  if (!aUEI_isUEIPayload(packet)) return false;
  std::list<aServerPool>& pools = *s->pools;
  for (auto it = pools.begin(); it != pools.end();) {
    if (it->timeToLive == 0) {
      it = pools.erase(it);
    } else {
      it->timeToLive--;
      ++it;
    }
  }
  const bool starts = packet->dataSize == kPoolStartLength && _doesPacketContinue(packet) && sSequence(packet) == 0;
  auto pool = pools.begin();
  while (pool != pools.end() && pool->identity != identity) ++pool;
  if (pool != pools.end()) {
    if (starts || !sSameWrite(*pool, packet)) {
      // The client has moved on: the unfinished write is given up, and this packet is
      // taken as if there had been none (a pool must not swallow later requests).
      pools.erase(pool);
    } else {
      const bool last = !_doesPacketContinue(packet);
      if (pool->broken || sSequence(packet) != ((pool->sequence + 1) & kSequenceMask)) {
        // Out of sequence: nothing of this write reaches the device, up to its last chunk.
        pool->broken = true;
        if (last) pools.erase(pool);
        return true;
      }
      pool->packets.push_back(*packet);
      if (!last) {
        pool->sequence = sSequence(packet);
        return true;
      }
      b.queue.push_back(Requester{identity, false});
      if (!sHandOver(s, pool->packets.data(), pool->packets.size())) b.queue.pop_back();
      pools.erase(pool);
      return true;
    }
  }
  if (!starts) return false;
  aServerPool fresh;
  fresh.identity = identity;
  fresh.packets.push_back(*packet);
  pools.push_back(std::move(fresh));
  return true;
}

// One request from the frontend; false when there was none.
bool _serverWorker_broker_frontend(aServer* s, BrokerState& b) {
  void* frontend = zsock_resolve(s->frontend);
  zmq_msg_t identity, body;
  zmq_msg_init(&identity);
  if (zmq_msg_recv(&identity, frontend, ZMQ_DONTWAIT) < 0) {
    zmq_msg_close(&identity);
    return false;
  }
  bool whole = zmq_msg_more(&identity) != 0;
  zmq_msg_init(&body);
  if (whole) {
    whole = zmq_msg_recv(&body, frontend, 0) >= 0 && !zmq_msg_more(&body);
    // Anything more than one packet frame makes the message malformed: dropped whole.
    int more = zmq_msg_more(&body);
    while (more) {
      zmq_msg_t extra;
      zmq_msg_init(&extra);
      more = zmq_msg_recv(&extra, frontend, 0) >= 0 && zmq_msg_more(&extra);
      zmq_msg_close(&extra);
    }
  }
  aPacket* packet = whole ? _zFrame_To_aPacket(static_cast<const uint8_t*>(zmq_msg_data(&body)), zmq_msg_size(&body))
                          : nullptr;
  if (packet != nullptr) {
    const std::string client = sIdentity(&identity);
    _handleStreamEnable(b, client, packet);
    if (!_handleSetUEIBytes(s, b, client, packet)) {
      // The same test the worker makes: a requester is queued exactly when an answer
      // will come for it.
      const bool answered = _isResponseRequired(packet, true);
      if (answered) b.queue.push_back(Requester{client, false});
      if (!_isBlacklistedPacket(packet) && !sHandOver(s, packet, 1) && answered) b.queue.pop_back();
    }
    aPacket_Destroy(&packet);
  }
  zmq_msg_close(&body);
  zmq_msg_close(&identity);
  return true;
}

// Answers of the worker, each to the requester it belongs to.
void _serverWorker_broker_sync(aServer* s, BrokerState& b) {
  void* worker = zsock_resolve(s->syncBroker);
  for (;;) {
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    if (zmq_msg_recv(&frame, worker, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&frame);
      return;
    }
    const uint8_t* data = static_cast<const uint8_t*>(zmq_msg_data(&frame));
    const size_t size = zmq_msg_size(&frame);
    if (!b.queue.empty()) {
      Requester requester = std::move(b.queue.front());
      b.queue.pop_front();
      if (s->expectedReplies == 0 && size == 3) {
        if (data[0] == SERVER_CMD_INCOMING_PACKETS) {
          const uint16_t n = static_cast<uint16_t>(data[1] << 8 | data[2]);
          for (uint16_t i = 0; i < n; i++) b.queue.push_front(requester);
          s->expectedReplies = n;
        }
        // SERVER_CMD_DROPPED_PACKET: the requester gets nothing.
      } else {
        bool gone = false;
        if (!requester.forgotten) sSendToClient(s, requester.identity, data, size, &gone);
        if (s->expectedReplies > 0) s->expectedReplies--;
      }
    }
    zmq_msg_close(&frame);
  }
}

// Stream batches, each to every subscriber; a subscriber that is gone is forgotten.
void _serverWorker_broker_streaming(aServer* s, BrokerState& b) {
  void* stream = zsock_resolve(s->streamBroker);
  for (;;) {
    zmq_msg_t batch;
    zmq_msg_init(&batch);
    if (zmq_msg_recv(&batch, stream, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&batch);
      return;
    }
    for (auto it = b.subscribers.begin(); it != b.subscribers.end();) {
      bool gone = false;
      sSendToClient(s, *it, zmq_msg_data(&batch), zmq_msg_size(&batch), &gone);
      it = gone ? b.subscribers.erase(it) : it + 1;
    }
    zmq_msg_close(&batch);
  }
}

}  // namespace

void _serverWorker_broker(zsock_t* pipe, void* args) {
  aServer* s = static_cast<aServer*>(args);
  zsock_signal(pipe, kServerReady);   // started
  if (s->frontend == nullptr || s->syncBroker == nullptr || s->streamBroker == nullptr) {
    zsock_signal(pipe, kServerFailed);
    return;
  }
  s->beaconStart = 0;
  s->publishing = false;
  BrokerState b;
  enum { kPipe, kSync, kFrontend, kStream, kBeacon };
  zmq_pollitem_t items[5] = {};
  items[kPipe].socket = zsock_resolve(pipe);
  items[kSync].socket = zsock_resolve(s->syncBroker);
  items[kFrontend].socket = zsock_resolve(s->frontend);
  items[kStream].socket = zsock_resolve(s->streamBroker);
  const bool beacon = s->discoveryIsBeacon && s->discovery != nullptr;
  if (beacon) items[kBeacon].socket = zsock_resolve(s->discovery);
  for (zmq_pollitem_t& item : items) item.events = ZMQ_POLLIN;
  const int count = beacon ? 5 : 4;
  zsock_signal(pipe, kServerReady);
  for (;;) {
    const int ready = zmq_poll(items, count, b.subscribers.empty() ? kIdleWaitMs : kStreamingWaitMs);
    zSysInterruptHandler_process();
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || zsys_interrupted) break;
    if (items[kPipe].revents & ZMQ_POLLIN) {
      zmsg_t* message = zmsg_recv(pipe);
      const int signal = message != nullptr ? zmsg_signal(message) : -1;
      zmsg_destroy(&message);
      if (signal != kServerFlushSignal) break;
      for (Requester& r : b.queue) r.forgotten = true;
    }
    // Answers first: they free the worker's side of the channel.
    if (items[kSync].revents & ZMQ_POLLIN) _serverWorker_broker_sync(s, b);
    if (items[kFrontend].revents & ZMQ_POLLIN) {
      int taken = 0;
      while (taken < kIntakePerPass && _serverWorker_broker_frontend(s, b)) taken++;
    }
    if (items[kStream].revents & ZMQ_POLLIN) _serverWorker_broker_streaming(s, b);
    if (beacon && (items[kBeacon].revents & ZMQ_POLLIN)) _serverWorker_broker_beacon(s);
    _serverBeaconSilencing(s);
    _serverSendAgedBatch(s);
  }
  zsock_signal(pipe, kServerReady);   // final
}

}  // namespace aserver

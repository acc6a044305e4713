// The link server's sync-command actor: puts each request the broker hands over into
// the device link and collects the device's reply, one request at a time, and answers
// the broker with the reply packets or with "dropped".
#include <cerrno>
#include <vector>

#include "common/aUEI.h"
#include "common/server/aServerRecord.h"
#include "common/transport/zSysInterruptHandler.h"

namespace aserver {

namespace {

constexpr int kIdleWaitMs = 1000;
// A reply wait is taken in slices, so that a tear-down ends it at once.
constexpr uint64_t kAwaitSliceMs = 200;
// A UEI payload's option code and entity index, as a reply carries them back.
constexpr uint8_t kOptionCode = 0x3F;
constexpr uint8_t kEntityIndex = 0x1F;

uint8_t drainAll(const aPacket*, void*) { return 1; }

// What a reply to the request looks like: it comes from the module the request went
// to (a sync request is answered by a packet without data, from whichever address),
// with the request's command, and for UEI requests its option code and entity index.
struct ReplyMatch {
  uint8_t address = 0;
  uint8_t size = 0;
  uint8_t command = 0;
  uint8_t option = 0;
  uint8_t index = 0;
  bool uei = false;
};

ReplyMatch sMatchFor(const aPacket* request) {
  ReplyMatch m;
  m.address = request->address;
  m.size = request->dataSize;
  if (m.size > 0) m.command = request->data[0];
  m.uei = m.size >= 3 && aUEI_isUEIPayload(request);
  if (m.uei) {
    m.option = request->data[1] & kOptionCode;
    m.index = request->data[2] & kEntityIndex;
  }
  return m;
}

uint8_t sMatchReply(const aPacket* packet, void* reference) {
  const ReplyMatch* m = static_cast<const ReplyMatch*>(reference);
  if (packet == nullptr || m == nullptr) return 0;
  if (m->address == cmdSYNC) return packet->dataSize == 0 ? 1 : 0;
  if (packet->address != m->address) return 0;
  if (m->size == 0) return 1;
  if (packet->dataSize == 0 || packet->data[0] != m->command) return 0;
  if (m->uei && packet->dataSize >= 3 &&
      ((packet->data[1] & kOptionCode) != m->option || (packet->data[2] & kEntityIndex) != m->index))
    return 0;
  return 1;
}

// The next reply packet, or null after timeoutMs, at tear-down, or when the device link
// is not in step (a wait could only end empty).
aPacket* sAwaitReply(aServer* s, ReplyMatch& match, uint64_t timeoutMs) {
  const aTime deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  for (;;) {
    if (s->stopping.load()) return nullptr;
    const aTime now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return nullptr;
    const uint64_t left = deadline - now;
    aPacket* packet = aLink_AwaitFirst(s->deviceId, sMatchReply, &match, left < kAwaitSliceMs ? left : kAwaitSliceMs);
    if (packet != nullptr) return packet;
    if (aLink_GetStatus(s->deviceId) != kLinkStatusRunning) return nullptr;
  }
}

// Sends one message to the broker: the command frame, then the reply frames. The broker
// always reads this channel first, so the wait is short; it is given up only at
// tear-down, when the broker's queue no longer matters.
void sAnswer(aServer* s, const std::vector<aPacket>& replies) {
  void* broker = zsock_resolve(s->syncWorker);
  const size_t n = replies.size();
  uint8_t command[3] = {SERVER_CMD_DROPPED_PACKET, 0, 0};
  if (n > 0) {
    command[0] = SERVER_CMD_INCOMING_PACKETS;
    command[1] = static_cast<uint8_t>(n >> 8);
    command[2] = static_cast<uint8_t>(n & 0xFF);
  }
  while (zmq_send(broker, command, sizeof command, n > 0 ? ZMQ_SNDMORE : 0) < 0) {
    if (s->stopping.load() || (errno != EAGAIN && errno != EINTR)) return;
  }
  for (size_t i = 0; i < n; i++) {
    uint8_t frame[aPACKET_MAX_WIRE];
    const size_t size = _aPacket_To_zFrame(&replies[i], frame);
    zmq_send(broker, frame, size, i + 1 < n ? ZMQ_SNDMORE : 0);
  }
}

// The device's reply to request: the first matching packet and, while a packet
// announces more, the next ones. Empty when none came, or when the reply ran past the
// bounds (then what came is dropped with whatever else waits).
std::vector<aPacket> sCollect(aServer* s, const aPacket* request) {
  std::vector<aPacket> replies;
  ReplyMatch match = sMatchFor(request);
  const aTime start = aTime_GetMonotonicMSTicks();
  aPacket* packet = sAwaitReply(s, match, aSERVER_REPLY_WAIT_MS);
  while (packet != nullptr) {
    replies.push_back(*packet);
    aPacket_Destroy(&packet);
    if (!_doesPacketContinue(&replies.back())) break;
    const aTime spent = aTime_GetMonotonicMSTicks() - start;
    if (replies.size() >= aSERVER_MAX_CONTINUED || spent >= aSERVER_REPLY_LIMIT_MS) {
      replies.clear();
      aLink_DrainPackets(s->deviceId, drainAll, nullptr);
      break;
    }
    const uint64_t left = aSERVER_REPLY_LIMIT_MS - spent;
    packet = sAwaitReply(s, match, left < aSERVER_REPLY_WAIT_MS ? left : aSERVER_REPLY_WAIT_MS);
  }
  return replies;
}

// One message from the broker: one request, or the chunks of one byte-sequence write.
void _serverWorker_syncCommands_syncBackend(aServer* s) {
  void* broker = zsock_resolve(s->syncWorker);
  std::vector<aPacket> requests;
  bool more = true;
  while (more) {
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    if (zmq_msg_recv(&frame, broker, requests.empty() ? ZMQ_DONTWAIT : 0) < 0) {
      zmq_msg_close(&frame);
      break;
    }
    more = zmq_msg_more(&frame) != 0;
    aPacket* packet = _zFrame_To_aPacket(static_cast<const uint8_t*>(zmq_msg_data(&frame)), zmq_msg_size(&frame));
    if (packet != nullptr) {
      requests.push_back(*packet);
      aPacket_Destroy(&packet);
    }
    zmq_msg_close(&frame);
  }
  bool failed = false;
  for (const aPacket& request : requests) {
    if (!failed) {
      // Whatever the device sent before this request (a reply that came late, an
      // unasked packet) is no answer to it.
      aLink_DrainPackets(s->deviceId, drainAll, nullptr);
      // Once a chunk of a write is refused the rest of the write is not sent.
      failed = aLink_PutPacket(s->deviceId, &request) != aErrNone;
    }
    if (!_isResponseRequired(&request, true)) continue;
    sAnswer(s, failed ? std::vector<aPacket>() : sCollect(s, &request));
  }
}

}  // namespace

void _serverWorker_syncCommands(zsock_t* pipe, void* args) {
  aServer* s = static_cast<aServer*>(args);
  zsock_signal(pipe, kServerReady);   // started
  if (s->syncWorker == nullptr) {
    zsock_signal(pipe, kServerFailed);
    return;
  }
  zmq_pollitem_t items[2] = {};
  items[0].socket = zsock_resolve(pipe);
  items[0].events = ZMQ_POLLIN;
  items[1].socket = zsock_resolve(s->syncWorker);
  items[1].events = ZMQ_POLLIN;
  zsock_signal(pipe, kServerReady);
  for (;;) {
    const int ready = zmq_poll(items, 2, kIdleWaitMs);
    zSysInterruptHandler_process();
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || zsys_interrupted) break;
    if (items[0].revents & ZMQ_POLLIN) {
      zmsg_t* message = zmsg_recv(pipe);
      zmsg_destroy(&message);
      break;
    }
    if (items[1].revents & ZMQ_POLLIN) _serverWorker_syncCommands_syncBackend(s);
  }
  zsock_signal(pipe, kServerReady);   // final
}

}  // namespace aserver

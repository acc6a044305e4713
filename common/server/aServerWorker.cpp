// The link server's sync-command actor (the worker): puts each request the broker hands
// over into the device link and collects the device's answer, one request at a time,
// and sends the answer back in the request's envelope. Its own state is its socket,
// made and destroyed on its thread.
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/server/aServerRecord.h"
#include "common/server/aServerReply.h"
#include "common/transport/aZActor.h"
#include "common/transport/zSysInterruptHandler.h"

namespace aserver {

namespace {

constexpr int kIdleWaitMs = 1000;
// The answers wait this long at most for room on the internal channel, and again until
// the tear-down: the broker always reads them first.
constexpr int kSendWaitMs = 1000;
// A reply wait is taken in slices, so that a tear-down ends it at once.
constexpr uint64_t kAwaitSliceMs = 200;

uint8_t drainAll(const aPacket*, void*) { return 1; }

// The next packet the match accepts, or null after timeoutMs, at tear-down, or when the
// device link is not in step (a wait could only end empty).
aPacket* sAwait(aServer* s, aPacketFilterProc match, void* reference, uint64_t timeoutMs) {
  const aTime deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  for (;;) {
    if (s->stopping.load()) return nullptr;
    const aTime now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return nullptr;
    const uint64_t left = deadline - now;
    aPacket* packet = aLink_AwaitFirst(s->deviceId, match, reference, left < kAwaitSliceMs ? left : kAwaitSliceMs);
    if (packet != nullptr) return packet;
    if (aLink_GetStatus(s->deviceId) != kLinkStatusRunning) return nullptr;
  }
}

// Sends one frame, waiting (in kSendWaitMs turns) until it went or the server stops.
bool sSend(aServer* s, void* socket, zmq_msg_t* frame, int more) {
  while (zmq_msg_send(frame, socket, more) < 0) {
    if (s->stopping.load() || (errno != EAGAIN && errno != EINTR)) {
      zmq_msg_close(frame);
      return false;
    }
  }
  return true;
}

// The answer in the request's envelope: [identity][ticket][reply frames]; no reply frame
// when the device gave none (or was asked for none).
void sAnswer(aServer* s, void* broker, zmq_msg_t envelope[kServerEnvelopeFrames], const std::vector<aPacket>& replies) {
  bool sent = true;
  for (int i = 0; i < kServerEnvelopeFrames; i++) {
    const bool last = i + 1 == kServerEnvelopeFrames && replies.empty();
    if (sent) {
      sent = sSend(s, broker, &envelope[i], last ? 0 : ZMQ_SNDMORE);
    } else {
      zmq_msg_close(&envelope[i]);
    }
  }
  for (size_t i = 0; sent && i < replies.size(); i++) {
    uint8_t bytes[aPACKET_MAX_WIRE];
    zmq_msg_t frame;
    zmq_msg_init_size(&frame, _aPacket_To_zFrame(&replies[i], bytes));
    std::memcpy(zmq_msg_data(&frame), bytes, zmq_msg_size(&frame));
    sent = sSend(s, broker, &frame, i + 1 < replies.size() ? ZMQ_SNDMORE : 0);
  }
}

// Receives one message from the broker: its envelope and its packets. False when there
// was none, or when it carried no envelope (nobody to answer).
bool sReceive(void* broker, zmq_msg_t envelope[kServerEnvelopeFrames], std::vector<aPacket>* requests) {
  int frames = 0;
  bool more = true;
  while (more) {
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    if (zmq_msg_recv(&frame, broker, frames == 0 ? ZMQ_DONTWAIT : 0) < 0) {
      zmq_msg_close(&frame);
      break;
    }
    more = zmq_msg_more(&frame) != 0;
    if (frames < kServerEnvelopeFrames) {
      zmq_msg_init(&envelope[frames]);
      zmq_msg_move(&envelope[frames++], &frame);
      zmq_msg_close(&frame);
      continue;
    }
    frames++;
    aPacket* packet = _zFrame_To_aPacket(static_cast<const uint8_t*>(zmq_msg_data(&frame)), zmq_msg_size(&frame));
    if (packet != nullptr) {
      requests->push_back(*packet);
      aPacket_Destroy(&packet);
    }
    zmq_msg_close(&frame);
  }
  if (frames >= kServerEnvelopeFrames) return true;
  for (int i = 0; i < frames; i++) zmq_msg_close(&envelope[i]);
  return false;
}

// One request (or the chunks of one byte-sequence write): to the device, and its answer
// back in its envelope.
void _serverWorker_syncCommands_syncBackend(aServer* s, void* broker) {
  zmq_msg_t envelope[kServerEnvelopeFrames];
  std::vector<aPacket> requests;
  if (!sReceive(broker, envelope, &requests)) return;
  std::vector<aPacket> replies;
  const aServerAwait await = [s](aPacketFilterProc match, void* reference, uint64_t timeoutMs) {
    return sAwait(s, match, reference, timeoutMs);
  };
  bool failed = false;
  for (const aPacket& request : requests) {
    if (failed) break;
    // Whatever the device sent before this request (a reply that came late, an unasked
    // packet) is no answer to it.
    aLink_DrainPackets(s->deviceId, drainAll, nullptr);
    // Once a chunk of a write is refused the rest of the write is not sent.
    failed = aLink_PutPacket(s->deviceId, &request) != aErrNone;
    if (failed || !_isResponseRequired(&request, true)) continue;
    bool overran = false;
    std::vector<aPacket> answer = _collectReply(&request, await, &overran);
    if (overran) aLink_DrainPackets(s->deviceId, drainAll, nullptr);
    replies.insert(replies.end(), answer.begin(), answer.end());
  }
  sAnswer(s, broker, envelope, replies);
}

}  // namespace

void _serverWorker_syncCommands(zsock_t* pipe, void* args) {
  aServer* s = static_cast<aServer*>(args);
  zsock_signal(pipe, kServerReady);   // started
  zsock_t* broker = zsock_new(ZMQ_DEALER);
  if (broker != nullptr) {
    zsock_set_linger(broker, 0);
    zsock_set_sndtimeo(broker, kSendWaitMs);
  }
  if (broker == nullptr || zsock_connect(broker, "%s", s->syncEndpoint.c_str()) != 0) {
    zsock_destroy(&broker);
    aZActor_Ends();
    zsock_signal(pipe, kServerFailed);
    return;
  }
  zmq_pollitem_t items[2] = {};
  items[0].socket = zsock_resolve(pipe);
  items[0].events = ZMQ_POLLIN;
  items[1].socket = zsock_resolve(broker);
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
    if (items[1].revents & ZMQ_POLLIN) _serverWorker_syncCommands_syncBackend(s, zsock_resolve(broker));
  }
  zsock_destroy(&broker);
  aZActor_Ends();
  zsock_signal(pipe, kServerReady);   // final
}

}  // namespace aserver

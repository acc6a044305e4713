// The link server's broker actor: takes the clients' frames from the frontend, gives the
// worker one request at a time from the clients in turn, sends each answer to the
// connection whose request it answers, fans stream batches out to the clients that
// enabled streaming, and answers discovery beacons.
//
// Its own record (Broker below) is made and destroyed on its thread: the frontend and
// its monitor, the broker ends of the worker and stream pairs, the clients
// (aServerClients.h) and the beacon state. Commands come on its pipe: the flush signal,
// and anything else ends it.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/server/aServerClients.h"
#include "common/server/aServerMemory.h"
#include "common/server/aServerRecord.h"
#include "common/transport/aZActor.h"
#include "common/transport/zSysInterruptHandler.h"

namespace aserver {

namespace {

constexpr int kIdleWaitMs = 1000;
// While clients stream, the broker looks at the batch's age this often.
constexpr int kStreamingWaitMs = aSERVER_BATCH_AGE_MS / 2;
// Frames taken from the frontend per pass, so that answers and batches are not kept
// waiting behind a flood.
constexpr int kIntakePerPass = 64;
// A monitor event's first frame: the event (16 bits) and its value (32 bits).
constexpr size_t kEventSize = 6;

std::atomic<uint64_t> sMonitors{0};

zsock_t* sSocket(int type) {
  zsock_t* socket = zsock_new(type);
  // Closing never waits for peers that are gone.
  if (socket != nullptr) zsock_set_linger(socket, 0);
  return socket;
}

std::string sText(zmq_msg_t* frame) {
  return std::string(static_cast<const char*>(zmq_msg_data(frame)), zmq_msg_size(frame));
}

// The next frame of socket into *frame (initialised here), with zmq_msg_recv's flags;
// false, with nothing left to close, when there was none.
bool sFrame(void* socket, zmq_msg_t* frame, int flags) {
  zmq_msg_init(frame);
  if (zmq_msg_recv(frame, socket, flags) >= 0) return true;
  zmq_msg_close(frame);
  return false;
}

// Reads and drops the rest of a message.
void sSkipRest(void* socket, bool more) {
  zmq_msg_t extra;
  while (more && sFrame(socket, &extra, 0)) {
    more = zmq_msg_more(&extra) != 0;
    zmq_msg_close(&extra);
  }
}

class Broker {
 public:
  explicit Broker(aServer* s);
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;
  bool ready() const { return ready_; }
  void run(zsock_t* pipe);

 private:
  aServer* s_;
  zsock_t* frontend_ = nullptr;   // ROUTER: the clients
  zsock_t* monitor_ = nullptr;    // PAIR: the frontend's connections coming and going
  zsock_t* worker_ = nullptr;     // DEALER, bound: requests out, answers back
  zsock_t* stream_ = nullptr;     // DEALER, bound: batches from the stream filter
  bool monitoring_ = false;
  bool ready_ = false;
  aServerClients clients_;
  aServerBeacon beacon_;
  aServerGiveBack giveBack_;
  bool workerBusy_ = false;       // a request is at the worker: its answer comes first

  void readMonitor();
  void catchUp();
  bool intakeOne();
  void dispatch();
  void answers();
  void batches();
  bool sendToClient(const std::string& identity, const void* data, size_t size, bool* gone);
};

Broker::Broker(aServer* s) : s_(s) {
  frontend_ = sSocket(ZMQ_ROUTER);
  worker_ = sSocket(ZMQ_DEALER);
  stream_ = sSocket(ZMQ_DEALER);
  monitor_ = sSocket(ZMQ_PAIR);
  if (frontend_ == nullptr || worker_ == nullptr || stream_ == nullptr || monitor_ == nullptr) return;
  // A send to a client that is gone fails at once instead of vanishing, so that the
  // broker can drop it as a subscriber.
  zsock_set_router_mandatory(frontend_, 1);
  // What the frontend holds for one connection ahead of the broker is bounded, and
  // counted in the clients' budget (aServerClients::frontendAllowance).
  zsock_set_rcvhwm(frontend_, aSERVER_FRONTEND_QUEUE);
  zsock_set_maxmsgsize(frontend_, aSERVER_FRONTEND_FRAME);
  char endpoint[64];
  std::snprintf(endpoint, sizeof endpoint, "inproc://tallowick-server-monitor-%llu",
                static_cast<unsigned long long>(sMonitors.fetch_add(1)));
  // Watched before it is bound, so that no connection goes unseen. Events are never
  // held back at the monitor's queue (its receiving end has no bound).
  monitoring_ = zmq_socket_monitor(zsock_resolve(frontend_), endpoint, ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED) == 0;
  zsock_set_rcvhwm(monitor_, 0);
  if (!monitoring_ || zsock_connect(monitor_, "%s", endpoint) != 0) return;
  const int port = zsock_bind(frontend_, "%s", s->frontendEndpoint.c_str());
  if (port <= 0 || port > 0xFFFF) return;
  if (zsock_bind(worker_, "%s", s->syncEndpoint.c_str()) != 0) return;
  if (zsock_bind(stream_, "%s", s->streamEndpoint.c_str()) != 0) return;
  s->frontendPort = static_cast<uint16_t>(port);
  ready_ = true;
}

Broker::~Broker() {
  if (monitoring_) zmq_socket_monitor(zsock_resolve(frontend_), nullptr, 0);
  zsock_destroy(&monitor_);
  zsock_destroy(&stream_);
  zsock_destroy(&worker_);
  zsock_destroy(&frontend_);
}

// The frontend's connections that came and went since the last look.
void Broker::readMonitor() {
  void* monitor = zsock_resolve(monitor_);
  for (;;) {
    zmq_msg_t event;
    if (!sFrame(monitor, &event, ZMQ_DONTWAIT)) return;
    if (zmq_msg_size(&event) == kEventSize) {
      uint16_t what = 0;
      uint32_t fd = 0;
      std::memcpy(&what, zmq_msg_data(&event), sizeof what);
      std::memcpy(&fd, static_cast<const uint8_t*>(zmq_msg_data(&event)) + sizeof what, sizeof fd);
      if (what == ZMQ_EVENT_ACCEPTED) clients_.accepted(static_cast<int>(fd));
      if (what == ZMQ_EVENT_DISCONNECTED) clients_.ended(static_cast<int>(fd));
    }
    const bool more = zmq_msg_more(&event) != 0;
    zmq_msg_close(&event);
    sSkipRest(monitor, more);   // the endpoint
  }
}

// Before anything goes to a client: the frontend takes in what happened to its
// connections, and the monitor's account of it is read. A connection that ended before
// this has been reported, and its answers are dropped.
void Broker::catchUp() {
  int events = 0;
  size_t size = sizeof events;
  zmq_getsockopt(zsock_resolve(frontend_), ZMQ_EVENTS, &events, &size);
  readMonitor();
}

// One message to a client through the frontend, never waiting. False when it did not
// go; *gone when the client is no longer connected.
bool Broker::sendToClient(const std::string& identity, const void* data, size_t size, bool* gone) {
  void* frontend = zsock_resolve(frontend_);
  *gone = false;
  if (zmq_send(frontend, identity.data(), identity.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) {
    *gone = errno == EHOSTUNREACH;
    return false;
  }
  // The rest of a message whose first frame went cannot fail on a full queue.
  return zmq_send(frontend, data, size, ZMQ_DONTWAIT) >= 0;
}

// One frame from the frontend; false when there was none.
bool Broker::intakeOne() {
  void* frontend = zsock_resolve(frontend_);
  zmq_msg_t identity, body;
  if (!sFrame(frontend, &identity, ZMQ_DONTWAIT)) return false;
  bool whole = zmq_msg_more(&identity) != 0 && sFrame(frontend, &body, 0);
  if (!whole) zmq_msg_init(&body);   // closed below either way
  if (whole) {
    const bool more = zmq_msg_more(&body) != 0;
    // Anything more than one packet frame makes the message malformed: dropped whole.
    sSkipRest(frontend, more);
    whole = !more;
  }
  if (whole) {
    // The connection it came on, by its descriptor. The monitor's reports are read
    // first: a descriptor is reused as soon as its connection has ended, and the report
    // of that end and of the new connection leave before the new connection's first
    // frame does.
    const int fd = zmq_msg_get(&body, ZMQ_SRCFD);
    readMonitor();
    clients_.take(clients_.connectionOn(fd), sText(&identity), static_cast<const uint8_t*>(zmq_msg_data(&body)),
                  zmq_msg_size(&body));
  }
  zmq_msg_close(&body);
  zmq_msg_close(&identity);
  return true;
}

// The worker takes the next request in turn, when it has none. A request the server
// answers itself is answered in its turn, and the next one follows.
void Broker::dispatch() {
  void* worker = zsock_resolve(worker_);
  aServerRequest request;
  while (!workerBusy_ && clients_.next(&request)) {
    if (!request.answer.empty()) {
      catchUp();
      bool gone = false;
      for (size_t i = 0; !gone && clients_.wanted(request.ticket) && i < request.answer.size(); i++) {
        uint8_t frame[aPACKET_MAX_WIRE];
        sendToClient(request.identity, frame, _aPacket_To_zFrame(&request.answer[i], frame), &gone);
      }
      clients_.done();
      continue;
    }
    uint8_t ticket[kServerTicketSize];
    _encodeTicket(request.ticket, ticket);
    // The worker has nothing else queued, so its end takes the message whole.
    bool sent = zmq_send(worker, request.identity.data(), request.identity.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0;
    sent = sent && zmq_send(worker, ticket, sizeof ticket, request.packets.empty() ? 0 : ZMQ_SNDMORE) >= 0;
    for (size_t i = 0; sent && i < request.packets.size(); i++) {
      uint8_t frame[aPACKET_MAX_WIRE];
      const size_t size = _aPacket_To_zFrame(&request.packets[i], frame);
      sent = zmq_send(worker, frame, size, i + 1 < request.packets.size() ? ZMQ_SNDMORE : 0) >= 0;
    }
    workerBusy_ = sent;
    // A request the worker's end would not take is dropped; the next client's turn.
    if (!sent) clients_.done();
  }
}

// The worker's answers, each to the connection its envelope names.
void Broker::answers() {
  void* worker = zsock_resolve(worker_);
  for (;;) {
    zmq_msg_t identity;
    if (!sFrame(worker, &identity, ZMQ_DONTWAIT)) break;
    workerBusy_ = false;
    clients_.done();
    const std::string client = sText(&identity);
    bool more = zmq_msg_more(&identity) != 0;
    zmq_msg_close(&identity);
    aServerTicket ticket;
    bool wanted = false;
    zmq_msg_t frame;
    if (more && sFrame(worker, &frame, 0)) {
      more = zmq_msg_more(&frame) != 0;
      if (_decodeTicket(zmq_msg_data(&frame), zmq_msg_size(&frame), &ticket)) {
        catchUp();
        wanted = clients_.wanted(ticket);
      }
      zmq_msg_close(&frame);
    }
    while (more && sFrame(worker, &frame, 0)) {
      more = zmq_msg_more(&frame) != 0;
      bool gone = false;
      if (wanted) sendToClient(client, zmq_msg_data(&frame), zmq_msg_size(&frame), &gone);
      wanted = wanted && !gone;
      zmq_msg_close(&frame);
    }
  }
  dispatch();
}

// Stream batches, each to every subscriber; a subscriber that is gone leaves.
void Broker::batches() {
  void* stream = zsock_resolve(stream_);
  for (;;) {
    zmq_msg_t batch;
    if (!sFrame(stream, &batch, ZMQ_DONTWAIT)) return;
    catchUp();
    clients_.eachSubscriber([&](const std::string& identity) {
      bool gone = false;
      sendToClient(identity, zmq_msg_data(&batch), zmq_msg_size(&batch), &gone);
      return !gone;
    });
    zmq_msg_close(&batch);
  }
}

void Broker::run(zsock_t* pipe) {
  enum { kPipe, kMonitor, kWorker, kFrontend, kStream, kBeacon };
  zmq_pollitem_t items[6] = {};
  items[kPipe].socket = zsock_resolve(pipe);
  items[kMonitor].socket = zsock_resolve(monitor_);
  items[kWorker].socket = zsock_resolve(worker_);
  items[kFrontend].socket = zsock_resolve(frontend_);
  items[kStream].socket = zsock_resolve(stream_);
  const bool beacon = s_->discoveryIsBeacon && s_->discovery != nullptr;
  if (beacon) items[kBeacon].socket = zsock_resolve(s_->discovery);
  for (zmq_pollitem_t& item : items) item.events = ZMQ_POLLIN;
  const int count = beacon ? 6 : 5;
  for (;;) {
    const int wait = giveBack_.waitMs(clients_.subscriberCount() == 0 ? kIdleWaitMs : kStreamingWaitMs,
                                      aTime_GetMonotonicMSTicks());
    const int ready = zmq_poll(items, count, wait);
    zSysInterruptHandler_process();
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || zsys_interrupted) break;
    if (items[kPipe].revents & ZMQ_POLLIN) {
      zmsg_t* message = zmsg_recv(pipe);
      const int signal = message != nullptr ? zmsg_signal(message) : -1;
      zmsg_destroy(&message);
      if (signal != kServerFlushSignal) break;
      clients_.flush();
    }
    if (items[kMonitor].revents & ZMQ_POLLIN) readMonitor();
    // Answers first: each frees the worker for the next client in turn.
    if (items[kWorker].revents & ZMQ_POLLIN) answers();
    if (items[kFrontend].revents & ZMQ_POLLIN) {
      int taken = 0;
      while (taken < kIntakePerPass && intakeOne()) taken++;
      dispatch();
    }
    if (items[kStream].revents & ZMQ_POLLIN) batches();
    if (beacon && (items[kBeacon].revents & ZMQ_POLLIN)) _serverWorker_broker_beacon(s_, beacon_);
    _serverBeaconSilencing(s_, beacon_);
    _serverSendAgedBatch(s_);
    giveBack_.pass(clients_.held(), aTime_GetMonotonicMSTicks());
  }
}

}  // namespace

void _serverWorker_broker(zsock_t* pipe, void* args) {
  aServer* s = static_cast<aServer*>(args);
  zsock_signal(pipe, kServerReady);   // started
  std::unique_ptr<Broker> self(new (std::nothrow) Broker(s));
  if (!self || !self->ready()) {
    self.reset();
    aZActor_Ends();
    zsock_signal(pipe, kServerFailed);
    return;
  }
  zsock_signal(pipe, kServerReady);
  self->run(pipe);
  self.reset();
  aZActor_Ends();
  zsock_signal(pipe, kServerReady);   // final
}

}  // namespace aserver

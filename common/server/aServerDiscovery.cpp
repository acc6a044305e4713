// How a link server answers discovery: with a UDP beacon on a real interface (answered
// on the broker's thread), or with the loopback multicast responder, an actor of its own.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "common/discovery/aDiscoveryQuivel.h"
#include "common/discovery/aMulticast.h"
#include "common/server/aServerRecord.h"
#include "common/discovery/zBeaconInterface.h"
#include "common/transport/aZActor.h"
#include "common/transport/zSysInterruptHandler.h"

namespace aserver {

namespace {

constexpr int kPollMs = 1000;
// The beacon answers its configuration at once; the wait only bounds a beacon that
// never does.
constexpr int kConfigureWaitMs = 2000;
constexpr int kBeaconReceiveMs = 100;
constexpr aTime kPublishMs = 2000;

// CZMQ's beacon on the server's interface: it reports the interface's address, which
// the answers carry, and delivers every discovery beacon heard to the broker.
bool _createBeacon(aServer* s) {
  char text[INET_ADDRSTRLEN + 1];
  if (aDiscovery_ConvertIPv4Interface(s->interfaceAddress, text, sizeof text) == 0) return false;
  // The beacon reads CZMQ's interface setting when it is configured: the setting stays
  // ours until then, and every road out of here gives it back.
  zBeaconInterfaceHold hold(text, zBeaconInterfaceHold::plain);
  if (!hold.locked()) return false;
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return false;
  zsock_set_rcvtimeo(beacon, kConfigureWaitMs);
  zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
  char* host = zstr_recv(beacon);
  s->beaconHost = aDiscovery_ParseIPv4(host);
  zstr_free(&host);
  zsock_send(beacon, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER, static_cast<size_t>(aDISCOVERY_BEACON_FILTER_SIZE));
  zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
  hold.release();
  s->discovery = beacon;
  s->discoveryIsBeacon = true;
  return true;
}

}  // namespace

bool _configureInterface(aServer* s) {
  const uint32_t loopback = aDiscovery_Loopback();
  if (!s->localOnly) {
    uint32_t listed[aDISCOVERY_MAX_INTERFACES];
    const int32_t n = aDiscovery_GetIPv4Interfaces(listed, aDISCOVERY_MAX_INTERFACES);
    if (n > 0) {
      if (aDiscovery_IsEveryInterface(s->interfaceAddress)) {
        s->interfaceAddress = listed[0];
      } else {
        bool onHost = false;
        for (int32_t i = 0; i < n; i++) onHost = onHost || listed[i] == s->interfaceAddress;
        // No frontend can listen there, and a beacon on it would only complain.
        if (!onHost) return false;
      }
      return _createBeacon(s);
    }
  }
  s->beaconHost = loopback;
  s->discoveryIsBeacon = false;
  s->discovery = zactor_new(_serverWorker_multicastDiscovery, s);
  // Waited for (unlike the other actors' readiness, it costs nothing): once the start
  // returns, the server's request port is held.
  return s->discovery != nullptr && zsock_wait(s->discovery) == kServerReady;
}

void _serverWorker_broker_beacon(aServer* s, aServerBeacon& beacon) {
  char* sender = zstr_recv(s->discovery);
  if (sender == nullptr) return;
  zframe_t* content = zsock_rcvmore(s->discovery) ? zframe_recv(s->discovery) : nullptr;
  while (zsock_rcvmore(s->discovery)) {   // nothing more is expected: dropped
    zframe_t* extra = zframe_recv(s->discovery);
    if (extra == nullptr) break;
    zframe_destroy(&extra);
  }
  const bool discovery = content != nullptr && zframe_size(content) >= aDISCOVERY_BEACON_FILTER_SIZE &&
                         std::memcmp(zframe_data(content), DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_SIZE) == 0;
  if (discovery && s->model.load() != 0 && !beacon.publishing) {
    uint8_t spec[aLINKSPEC_SIZE];
    _createNetworkSpec(s, spec);
    zsock_send(s->discovery, "sbi", "PUBLISH", spec, static_cast<size_t>(aLINKSPEC_SIZE),
               aDISCOVERY_BEACON_INTERVAL_MS);
    // Monotonic: a step of the wall clock neither ends nor stretches the publishing.
    beacon.start = aTime_GetMonotonicMSTicks();
    beacon.publishing = true;
  }
  zframe_destroy(&content);
  zstr_free(&sender);
}

void _serverBeaconSilencing(aServer* s, aServerBeacon& beacon) {
  if (!s->discoveryIsBeacon || !beacon.publishing) return;
  if (aTime_GetMonotonicMSTicks() - beacon.start <= kPublishMs) return;
  zstr_sendx(s->discovery, "SILENCE", nullptr);
  beacon.publishing = false;
}

void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args) {
  aServer* s = static_cast<aServer*>(args);
  zsock_signal(pipe, kServerReady);   // started
  const uint32_t loopback = aDiscovery_Loopback(), group = aDiscovery_ParseIPv4(aDISCOVERY_MULTICAST_GROUP);
  aMulticast* requests = nullptr;
  aMulticast* replies = nullptr;
  for (uint16_t j = 0; j < aDISCOVERY_MULTICAST_OFFSETS && replies == nullptr; j++) {
    requests = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_MULTICAST_REQUEST_PORT + j), 0);
    if (requests == nullptr) continue;
    replies = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_MULTICAST_REPLY_PORT + j), 1);
    if (replies == nullptr) aMulticast_Destroy(&requests);
  }
  zsock_signal(pipe, kServerReady);
  // The pipe and the request socket are waited on together: a request is answered the
  // moment it arrives, and a stop is seen as soon as it is sent.
  zmq_pollitem_t items[2] = {};
  items[0].socket = zsock_resolve(pipe);
  items[0].events = ZMQ_POLLIN;
  items[1].fd = aMulticast_Descriptor(requests);
  items[1].events = ZMQ_POLLIN;
  const int count = requests != nullptr ? 2 : 1;
  for (;;) {
    const int ready = zmq_poll(items, count, kPollMs);
    zSysInterruptHandler_process();
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || zsys_interrupted) break;
    if (items[0].revents & ZMQ_POLLIN) {
      zmsg_t* message = zmsg_recv(pipe);
      zmsg_destroy(&message);
      break;
    }
    if (count == 2 && (items[1].revents & ZMQ_POLLIN)) {
      uint8_t request[4];
      const uint32_t word = aDISCOVERY_MULTICAST_REQUEST;
      if (aMulticast_Receive(requests, request, sizeof request) == static_cast<int64_t>(sizeof request) &&
          std::memcmp(request, &word, sizeof word) == 0 && s->model.load() != 0) {
        uint8_t spec[aLINKSPEC_SIZE];
        _createNetworkSpec(s, spec);
        aMulticast_Send(replies, spec, sizeof spec);
      }
    }
  }
  aMulticast_Destroy(&requests);
  aMulticast_Destroy(&replies);
  aZActor_Ends();
  zsock_signal(pipe, kServerReady);   // final
}

}  // namespace aserver

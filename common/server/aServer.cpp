// The link server's record: creation, start, tear-down and accessors, the packet frame
// helpers its actors share, and its discovery answer.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/discovery/aDiscoveryQuivel.h"
#include "common/aUEI.h"
#include "common/transport/aZSys.h"
#include "common/internal/aLinkTable.h"
#include "common/server/aServerRecord.h"

using namespace aserver;

namespace {

constexpr int kStopWaitMs = 250;
// The worker's answers wait this long at most for room on the internal channel.
constexpr int kWorkerSendWaitMs = 1000;

uint8_t drainAll(const aPacket*, void*) { return 1; }

std::atomic<uint64_t> sEndpoints{0};

}  // namespace

// The server's ZeroMQ side as the exit handler sees it. Its lock serialises the
// tear-down of that side between aServer_Destroy and the exit handler, whichever comes
// first; the record itself is freed only by aServer_Destroy.
class aServerExitStop : public aZSysUser {
 public:
  explicit aServerExitStop(aServer* server) : server_(server) {}
  void stopForExit() override;
  // Tears the ZeroMQ side down (once) and forgets the record.
  void detach();
  void flush();

 private:
  std::mutex lock_;
  aServer* server_;
  bool closed_ = false;
  void closeLocked();
};

namespace aserver {

void _signalWaitDestroyActor(zactor_t** actor) {
  if (actor == nullptr || *actor == nullptr) return;
  zsock_t* pipe = zactor_sock(*actor);
  zsock_set_sndtimeo(pipe, kStopWaitMs);
  zsock_set_rcvtimeo(pipe, kStopWaitMs);
  zsock_signal(pipe, 0);
  zsock_wait(pipe);
  zsock_set_sndtimeo(pipe, -1);
  zsock_set_rcvtimeo(pipe, -1);
  zactor_destroy(actor);
}

aPacket* _zFrame_To_aPacket(const uint8_t* frame, size_t size) {
  if (frame == nullptr || size < 2 || size > aPACKET_MAX_WIRE) return nullptr;
  if (frame[1] > size - 2) return nullptr;
  return aPacket_CreateWithData(frame[0], frame[1], frame + 2);
}

size_t _aPacket_To_zFrame(const aPacket* packet, uint8_t out[aPACKET_MAX_WIRE]) {
  out[0] = packet->address;
  out[1] = packet->dataSize;
  std::memcpy(out + 2, packet->data, packet->dataSize);
  return static_cast<size_t>(packet->dataSize) + 2;
}

bool _doesPacketContinue(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet) != 0;
}

bool _isResponseRequired(const aPacket* packet, bool innerChunk) {
  if (packet == nullptr || packet->address == cmdFORCEROUTE) return false;
  return !(innerChunk && _doesPacketContinue(packet));
}

bool _isBlacklistedPacket(const aPacket* packet) {
  return packet != nullptr && packet->address == cmdFORCEROUTE && packet->dataSize == 1;
}

void _createNetworkSpec(const aServer* server, uint8_t out[aLINKSPEC_SIZE]) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = static_cast<linkType>(server->specType);
  spec.serialNumber = server->serial;
  spec.module = server->moduleAddress.load();
  spec.router = 0;
  spec.routerSerialNumber = 0;
  spec.model = server->model.load();
  spec.t.ip.address = server->beaconHost;
  spec.t.ip.port = server->frontendPort.load();
  aLinkSpec_Serialize(&spec, out);
}

}  // namespace aserver

namespace {

// Tears down the ZeroMQ side: actors first (each ends its current step at once, as
// stopping is set), then the sockets the actors used.
void sShutDown(aServer* s) {
  s->stopping = true;
  _signalWaitDestroyActor(&s->sync);
  _signalWaitDestroyActor(&s->broker);
  if (s->discoveryIsBeacon) {
    zactor_destroy(&s->discovery);
  } else {
    _signalWaitDestroyActor(&s->discovery);
  }
  _serverCloseBatch(s);
  zsock_destroy(&s->syncBroker);
  zsock_destroy(&s->syncWorker);
  zsock_destroy(&s->streamBroker);
  zsock_destroy(&s->frontend);
  if (s->pools) s->pools->clear();
}

// A DEALER pair on a private in-process endpoint that no other process can join.
bool sMakePair(const char* purpose, zsock_t* bound, zsock_t* connected) {
  if (bound == nullptr || connected == nullptr) return false;
  char endpoint[64];
  std::snprintf(endpoint, sizeof endpoint, "inproc://tallowick-server-%llu-%s",
                static_cast<unsigned long long>(sEndpoints.fetch_add(1)), purpose);
  if (zsock_bind(bound, "%s", endpoint) != 0) return false;
  return zsock_connect(connected, "%s", endpoint) == 0;
}

zsock_t* sSocket(int type) {
  zsock_t* socket = zsock_new(type);
  // Closing never waits for peers that are gone.
  if (socket != nullptr) zsock_set_linger(socket, 0);
  return socket;
}

// Starts an actor and waits for its ready signal; false when it failed. A failed actor
// has ended already: it is destroyed at once (its thread's last signal is still to
// come, so the destroy has something to wait for).
bool sStartActor(zactor_t** actor, zactor_fn* body, aServer* s) {
  *actor = zactor_new(body, s);
  if (*actor == nullptr) return false;
  if (zsock_wait(*actor) == kServerReady) return true;
  zactor_destroy(actor);
  return false;
}

}  // namespace

void aServerExitStop::closeLocked() {
  if (closed_ || server_ == nullptr) return;
  closed_ = true;
  sShutDown(server_);
}

void aServerExitStop::stopForExit() {
  std::lock_guard<std::mutex> hold(lock_);
  closeLocked();
}

void aServerExitStop::detach() {
  std::lock_guard<std::mutex> hold(lock_);
  closeLocked();
  server_ = nullptr;
}

void aServerExitStop::flush() {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_ || server_ == nullptr || server_->broker == nullptr) return;
  zsock_signal(zactor_sock(server_->broker), kServerFlushSignal);
}

aServer* aServer_Create(aLinkRef link, uint32_t interfaceAddress, uint8_t localOnly) {
  aLinkEntryPtr entry = sLookupEntryByID(link);
  if (!entry) return nullptr;
  uint32_t specType;
  switch (entry->type) {
    case kLinkTypeUSB: specType = kLinkTypeQuivelUSB; break;
    case kLinkTypeTCPIP: specType = kLinkTypeQuivelTCPIP; break;
    case kLinkTypeSerial: specType = kLinkTypeQuivelSerial; break;
    default: return nullptr;
  }
  aServer* s = new (std::nothrow) aServer();
  if (s == nullptr) return nullptr;
  s->deviceId = link;
  s->serial = entry->ident0;
  s->specType = specType;
  s->localOnly = localOnly ? 1 : 0;
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  // Local only serves on 127.0.0.1 whatever interface was named, and says so: a caller
  // that connected to the named interface would find nobody there.
  s->interfaceAddress = interfaceAddress == 0 || s->localOnly ? loopback : interfaceAddress;
  return s;
}

aErr aServer_Start(aServer* s) {
  if (s == nullptr) return aErrParam;
  if (s->started || aZSys_Exiting()) return aErrResource;
  s->started = true;
  aZSys_Init();
  s->exitStop = std::make_shared<aServerExitStop>(s);
  s->exitToken = aZSys_AddUser(s->exitStop);

  s->expectedReplies = 0;
  s->pools.reset(new (std::nothrow) std::list<aServerPool>());

  s->frontend = sSocket(ZMQ_ROUTER);
  s->streamFilter = sSocket(ZMQ_DEALER);
  s->streamBroker = sSocket(ZMQ_DEALER);
  s->syncWorker = sSocket(ZMQ_DEALER);
  s->syncBroker = sSocket(ZMQ_DEALER);
  if (s->frontend == nullptr || s->streamFilter == nullptr || s->streamBroker == nullptr ||
      s->syncWorker == nullptr || s->syncBroker == nullptr)
    return aErrResource;
  // A reply for a client that is gone fails at once instead of vanishing, so that the
  // broker can forget it as a subscriber.
  zsock_set_router_mandatory(s->frontend, 1);
  zsock_set_sndtimeo(s->syncWorker, kWorkerSendWaitMs);

  if (!_configureInterface(s)) return aErrResource;

  char text[INET_ADDRSTRLEN + 1] = "127.0.0.1";
  if (!s->localOnly && aDiscovery_ConvertIPv4Interface(s->interfaceAddress, text, sizeof text) == 0)
    return aErrResource;
  const int port = zsock_bind(s->frontend, "tcp://%s:*", text);
  s->frontendPort = port > 0 && port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;

  s->streamConnected = sMakePair("stream", s->streamBroker, s->streamFilter);
  s->syncConnected = sMakePair("sync", s->syncBroker, s->syncWorker);
  if (s->frontendPort.load() == 0 || !s->streamConnected || !s->syncConnected) return aErrResource;

  if (!sStartActor(&s->broker, _serverWorker_broker, s)) return aErrResource;
  if (!sStartActor(&s->sync, _serverWorker_syncCommands, s)) return aErrResource;
  if (s->discovery == nullptr || !s->pools) return aErrResource;

  if (aLink_InstallUserPacketFilter(s->deviceId, _streamingPacketFilter, s) != aErrNone) return aErrResource;
  aLink_DrainPackets(s->deviceId, drainAll, nullptr);
  return aErrNone;
}

aErr aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) return aErrParam;
  aServer* s = *server;
  if (s->started) {
    // Waits for a filter call in progress. (When the device link is being destroyed its
    // entry is gone already, and the link has cleared its filter itself.)
    aLink_InstallUserPacketFilter(s->deviceId, nullptr, nullptr);
    s->exitStop->detach();
    aZSys_RemoveUser(s->exitToken);
  }
  delete s;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port) {
  if (server == nullptr || port == nullptr) return aErrParam;
  *port = server->frontendPort.load();
  return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress) {
  if (server == nullptr || interfaceAddress == nullptr) return aErrParam;
  *interfaceAddress = server->interfaceAddress;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (server == nullptr) return aErrParam;
  server->moduleAddress = address;
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (server == nullptr) return aErrParam;
  server->model = model;
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (server == nullptr) return aErrParam;
  if (server->exitStop) server->exitStop->flush();
  return aErrNone;
}

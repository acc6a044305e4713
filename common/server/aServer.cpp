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
#include "common/transport/aZActor.h"
#include "common/transport/aZSys.h"
#include "common/internal/aLinkTable.h"
#include "common/server/aServerRecord.h"

using namespace aserver;

namespace {

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

aPacket* _zFrame_To_aPacket(const uint8_t* frame, size_t size) {
  if (frame == nullptr || size < 2 || size > aPACKET_MAX_WIRE) return nullptr;
  // A frame longer than its length byte says is no packet either: its tail would be
  // cut off unseen.
  if (static_cast<size_t>(frame[1]) + 2 != size) return nullptr;
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
// stopping is set, and closes its own sockets), then the filter end.
void sShutDown(aServer* s) {
  s->stopping = true;
  aZActor_Stop(&s->sync);
  aZActor_Stop(&s->broker);
  if (s->discoveryIsBeacon) {
    zactor_destroy(&s->discovery);
  } else {
    aZActor_Stop(&s->discovery);
  }
  _serverCloseBatch(s);
}

// A private in-process endpoint that no other process can join.
std::string sEndpoint(uint64_t server, const char* purpose) {
  char endpoint[64];
  std::snprintf(endpoint, sizeof endpoint, "inproc://tallowick-server-%llu-%s", static_cast<unsigned long long>(server),
                purpose);
  return endpoint;
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
  aZActor_Joined();
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
  // Local only serves on 127.0.0.1 whatever interface was named, and says so: a caller
  // that connected to the named interface would find nobody there. Without it, the
  // interface is chosen at the start when none was named.
  s->interfaceAddress =
      aDiscovery_IsEveryInterface(interfaceAddress) || s->localOnly ? aDiscovery_Loopback() : interfaceAddress;
  return s;
}

aErr aServer_Start(aServer* s) {
  if (s == nullptr) return aErrParam;
  if (s->started || aZSys_Exiting()) return aErrResource;
  s->started = true;
  aZSys_Init();
  s->exitStop = std::make_shared<aServerExitStop>(s);
  s->exitToken = aZSys_AddUser(s->exitStop);

  if (!_configureInterface(s)) return aErrResource;

  char text[INET_ADDRSTRLEN + 1] = "127.0.0.1";
  if (!s->localOnly && aDiscovery_ConvertIPv4Interface(s->interfaceAddress, text, sizeof text) == 0)
    return aErrResource;
  s->frontendEndpoint = std::string("tcp://") + text + ":*";
  const uint64_t number = sEndpoints.fetch_add(1);
  s->syncEndpoint = sEndpoint(number, "sync");
  s->streamEndpoint = sEndpoint(number, "stream");

  // The broker binds its sockets (the frontend among them) before it is ready; the
  // worker and the filter end connect to them afterwards.
  if (!sStartActor(&s->broker, _serverWorker_broker, s) || s->frontendPort.load() == 0) return aErrResource;
  {
    std::lock_guard<std::mutex> hold(s->batchMutex);
    s->streamFilter = sSocket(ZMQ_DEALER);
    if (s->streamFilter == nullptr || zsock_connect(s->streamFilter, "%s", s->streamEndpoint.c_str()) != 0)
      return aErrResource;
  }
  if (!sStartActor(&s->sync, _serverWorker_syncCommands, s)) return aErrResource;
  if (s->discovery == nullptr) return aErrResource;

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

// Link creation for a device, reuse by identity, release and reset.
#include <chrono>
#include <mutex>
#include <new>

#include "common/internal/aLinkRecord.h"
#include "common/server/aServer.h"
#include "common/transport/aSocket.h"
#include "common/transport/aZMQStream.h"
#include "common/unix/aSerial.h"

namespace {

// A link over a caller's own stream has no transport kind.
constexpr uint32_t kLinkTypeStream = kLinkTypeNone;
constexpr uint32_t kLinkTypeClient = kLinkTypeQuivel;
constexpr int kResetStreamTries = 20;
constexpr uint32_t kResetRetryPauseMs = 100;
constexpr uint32_t kResetClosePauseMs = 10;

// Creations are serialised so that two threads asking for the same device cannot both
// miss the look-up and open the device twice.
std::mutex& sCreationMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

struct SerialContext {
  const char* portName;
  int32_t baudIndex;
};

aErr sRemakeSocketStream(const aLinkManagedEntry& entry, aStream** stream) {
  return aStream_CreateSocket(entry.ident1, entry.ident2, stream);
}

aErr sMakeSocketStream(const aLinkManagedEntry& entry, void*, aStream** stream) {
  return sRemakeSocketStream(entry, stream);
}

const aLinkTransport kSocketTransport = {sMakeSocketStream, sRemakeSocketStream};

// A client link's identity is (server address, port, client number).
aErr sRemakeClientStream(const aLinkManagedEntry& entry, aStream** stream) {
  return aStream_CreateClient(entry.ident0, static_cast<uint16_t>(entry.ident1), stream);
}

aErr sMakeClientStream(const aLinkManagedEntry& entry, void*, aStream** stream) {
  return sRemakeClientStream(entry, stream);
}

const aLinkTransport kClientTransport = {sMakeClientStream, sRemakeClientStream};

// Every new client link takes the next number, so that no two share an identity. Taken
// under the creation lock.
uint32_t _clientCount = 0;

aErr sMakeSerialStream(const aLinkManagedEntry&, void* context, aStream** stream) {
  const SerialContext* c = static_cast<const SerialContext*>(context);
  if (c == nullptr) return aErrParam;
  return aStream_CreateSerial_Packetized(c->portName, c->baudIndex, false, 0, 0, stream);
}

// The identity does not hold the port, so a reset cannot make the stream again.
const aLinkTransport kSerialTransport = {sMakeSerialStream, nullptr};

aLinkRef sNewEntry(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
  aLink* record = new (std::nothrow) aLink();
  if (record == nullptr) return 0;
  return sCreate2(ident0, ident1, ident2, type, record, aLink_ReleaseRecord);
}

// Initialises the new entry's record over stream (owned from here on), counts the
// first use and starts the link; on failure everything is released and 0 returned.
aLinkRef sInitAndStart(aLinkRef id, aStream* stream, aLinkStreamRemaker remake, bool synchronise) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link) {
    aStream_Destroy(&stream);
    aLinkRef doomed = id;
    aLink_Destroy(&doomed);
    return 0;
  }
  link->remake = remake;
  const bool initialised = aLink_Init(id, stream) == id;
  if (link->stream != stream) aStream_Destroy(&stream);   // not taken: still ours
  aLinkRef made = id;
  if (!initialised) {
    aLink_Destroy(&made);
    return 0;
  }
  sChangeUseCount(sLookupEntryByID(id), 1);
  if (aLink_Start(id) != aErrNone || (synchronise && aLink_Sync(id) != aErrNone)) {
    aLink_Destroy(&made);
    return 0;
  }
  return id;
}

}  // namespace

aLinkRef aLink_CreateForDevice(const aLinkDeviceRequest& request) {
  if (request.transport == nullptr || request.transport->make == nullptr) return 0;
  std::lock_guard<std::mutex> creating(sCreationMutex());
  aLinkEntryPtr existing = sRetainEntryByIdentifier(request.ident0, request.type, request.refuseServed);
  if (existing) {
    // Served by a link server: a second program reaches the device as a client.
    if (request.refuseServed && existing->server.load() != nullptr) return 0;
    return existing->id;
  }
  const aLinkRef id = sNewEntry(request.ident0, request.ident1, request.ident2, request.type);
  if (id == 0) return 0;
  aLinkEntryPtr entry = sLookupEntryByID(id);
  aStream* stream = nullptr;
  if (!entry || request.transport->make(*entry, request.context, &stream) != aErrNone || stream == nullptr) {
    aLinkRef doomed = id;
    aLink_Destroy(&doomed);
    return 0;
  }
  return sInitAndStart(id, stream, request.transport->remake, request.synchronise);
}

aLinkRef aLink_CreateTCPIP(uint32_t serial, uint32_t address, uint16_t port) {
  aLinkDeviceRequest r{};
  r.type = aLINK_TYPE_TCPIP;
  r.ident0 = serial;
  r.ident1 = address;
  r.ident2 = port;
  r.refuseServed = true;
  r.synchronise = false;
  r.transport = &kSocketTransport;
  return aLink_CreateForDevice(r);
}

aLinkRef aLink_CreateSerial(uint32_t serial, const char* portName, uint32_t baud) {
  const int32_t index = aSerial_BaudIndex(baud);
  if (portName == nullptr || index < 0) return 0;
  SerialContext context{portName, index};
  aLinkDeviceRequest r{};
  r.type = aLINK_TYPE_SERIAL;
  r.ident0 = serial;
  r.refuseServed = false;
  r.synchronise = false;
  r.transport = &kSerialTransport;
  r.context = &context;
  return aLink_CreateForDevice(r);
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef ref) {
  std::lock_guard<std::mutex> creating(sCreationMutex());
  if (ref != 0) {
    // One more use of an existing link, whatever its kind (a router's link shared).
    aLinkEntryPtr existing = sRetainEntryByID(ref);
    return existing ? ref : 0;
  }
  const aLinkRef id = sNewEntry(address, port, _clientCount, kLinkTypeClient);
  if (id == 0) return 0;
  _clientCount++;
  aLinkEntryPtr entry = sLookupEntryByID(id);
  aStream* stream = nullptr;
  if (!entry || kClientTransport.make(*entry, nullptr, &stream) != aErrNone || stream == nullptr) {
    aLinkRef doomed = id;
    aLink_Destroy(&doomed);
    return 0;
  }
  // No handshake: the server's device link is in step already.
  return sInitAndStart(id, stream, kClientTransport.remake, false);
}

aLinkRef aLink_Create(aStream* stream) {
  if (!aVALIDSTREAM(stream)) return 0;
  std::lock_guard<std::mutex> creating(sCreationMutex());
  const aLinkRef id = sNewEntry(aLINK_IDENT_STREAM, 0, 0, kLinkTypeStream);
  if (id == 0) {
    aStream_Destroy(&stream);
    return 0;
  }
  return sInitAndStart(id, stream, nullptr, false);
}

aLinkRef aLink_CreateDetached() {
  std::lock_guard<std::mutex> creating(sCreationMutex());
  const aLinkRef id = sNewEntry(aLINK_IDENT_STREAM, 0, 0, kLinkTypeStream);
  if (id == 0) return 0;
  std::shared_ptr<aLink> link = sGetLink(id);
  aLinkRef made = id;
  if (!link || aLink_Init(id, nullptr) != id) {
    aLink_Destroy(&made);
    return 0;
  }
  {
    std::lock_guard<std::mutex> role(link->readLock);
    link->syncAddress = 1;
    link->syncState = kSyncStateSynced;
    link->syncMark = aTime_GetMonotonicMSTicks();
  }
  aLink_SetControlStatus(link.get(), kLinkStatusRunning);
  sChangeUseCount(sLookupEntryByID(id), 1);
  return id;
}

namespace {
// Takes the stream away from the record, with both roles held so that no caller is
// reading or writing it.
void sDropStream(aLink* link) {
  std::lock_guard<std::mutex> reading(link->readLock);
  std::lock_guard<std::mutex> writing(link->writeLock);
  link->callersRead = false;
  if (link->stream != nullptr) aStream_Destroy(&link->stream);
}

void sDropQueues(aLink* link) {
  // Waiters on the incoming FIFO return null at once; later puts are refused.
  aPacketFifoId in = link->incoming.exchange(0);
  if (in != 0) aPacketFifo_Destroy(&in);
  link->outgoing.close();
}
}  // namespace

aErr aLink_Destroy(aLinkRef* id) {
  if (id == nullptr) return aErrParam;
  aLinkEntryPtr extracted;
  const aErr e = sReleaseUse(*id, &extracted);
  *id = 0;
  if (e != aErrNone) return aErrParam;
  if (!extracted) return aErrNone;
  aLink* link = extracted->link;
  if (link == nullptr) return aErrUnknown;
  aLink_ClearFilter(link);
  {
    std::lock_guard<std::mutex> lock(link->control);
    link->destroyed = true;
    aLink_NotifyState(link);   // a reset waiting between attempts gives up
    aLink_StopLocked(link);
    aLink_PacketDebugRelease(link);
    aLinkRef linked = extracted->linkedId.exchange(0);
    if (linked != 0) aLink_Destroy(&linked);
    // Later calls see unknown ids. The record itself lives on until the last holder
    // lets go.
    sDropQueues(link);
    sDropStream(link);
  }
  // The server in front of this device link goes with it. Its actors find the link
  // stopped and its queues gone, so they end their current step at once.
  aServer* server = extracted->server.exchange(nullptr);
  if (server != nullptr) aServer_Destroy(&server);
  return aErrNone;
}

aErr aLink_Reset(aLinkRef id) {
  aLinkEntryPtr entry = sLookupEntryByID(id);
  if (!entry || entry->link == nullptr) return aErrParam;
  aLink* link = entry->link;
  std::unique_lock<std::mutex> lock(link->control);
  if (link->destroyed.load()) return aErrParam;
  // A stream its transport cannot make again from the identity alone (caller's streams,
  // serial lines) is refused before the working link is taken apart.
  if (link->remake == nullptr) return aErrParam;
  if (link->resetting) return aErrBusy;
  aLink_StopLocked(link);
  // Packet logging is off after a reset: the log goes, its mutex stays.
  aLink_PacketDebugRelease(link);
  sDropQueues(link);
  sDropStream(link);
  // Left stopped with neither stream nor queues until a new stream is made: nothing
  // runs, puts are refused. The control lock is not held through the attempts, so a
  // destroy meanwhile goes ahead at once (and this reset then gives up).
  link->resetting = true;
  lock.unlock();
  // Pauses are cut short by a destroy.
  auto pause = [link](uint32_t ms) {
    std::unique_lock<std::mutex> hold(link->stateMutex);
    link->stateChanged.wait_for(hold, std::chrono::milliseconds(ms), [link] { return link->destroyed.load(); });
  };
  // The device is given a moment to see the old connection end before the new one
  // comes: a module that serves one connection at a time, finding both at once, may
  // take the new one first and drop what the old one still held (route-off).
  pause(kResetClosePauseMs);
  aStream* stream = nullptr;
  aErr made = aErrParam;
  for (int attempt = 0; attempt < kResetStreamTries && !link->destroyed.load(); attempt++) {
    made = link->remake(*entry, &stream);
    if (made == aErrNone && stream != nullptr) break;
    stream = nullptr;
    if (made == aErrParam) break;   // will never succeed
    pause(kResetRetryPauseMs);   // between attempts at the device
  }
  lock.lock();
  link->resetting = false;
  if (link->destroyed.load()) {
    if (stream != nullptr) aStream_Destroy(&stream);
    return aErrParam;
  }
  if (stream == nullptr) {
    aLink_SetControlStatus(link, kLinkStatusNoStream);
    return made != aErrNone ? made : aErrResource;
  }
  const bool initialised = aLink_Init(id, stream) == id;
  if (link->stream != stream) aStream_Destroy(&stream);
  lock.unlock();
  if (!initialised) return aErrResource;
  return aLink_Start(id);
}

#include "common/transport/aZMQStream.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "common/transport/aZActor.h"
#include "common/transport/aZSys.h"
#include "common/unix/aTime.h"
#include "common/transport/zSysInterruptHandler.h"

namespace {

constexpr int kHandOverTries = 100;   // 1 ms apart
constexpr uint8_t kReady = 0, kFailed = 1;

// The stream's state. Shared by the aStream (through its reference) and the exit
// registry: whichever comes last frees it. readLock and writeLock keep the reader's and
// the writer's socket use apart from closing; each thread still uses only its own socket.
struct ClientStream : public aZSysUser {
  zsock_t* server = nullptr;          // DEALER to the server's frontend: broker only
  zsock_t* outgoingBound = nullptr;   // writer thread
  zsock_t* outgoingConnected = nullptr;   // broker
  zsock_t* incomingBound = nullptr;   // reader thread
  zsock_t* incomingConnected = nullptr;   // broker
  zactor_t* broker = nullptr;
  zpoller_t* poller = nullptr;        // over incomingBound: reader thread
  zframe_t* current = nullptr;
  uint64_t cursor = 0;
  uint64_t frameSize = 0;

  std::mutex readLock;
  std::mutex writeLock;
  bool closed = false;                // guarded by both locks
  uint64_t token = 0;

  ~ClientStream() override { close(); }
  void stopForExit() override { close(); }
  void close();
};

// What the aStream holds as its reference.
struct Handle {
  std::shared_ptr<ClientStream> stream;
};

void ClientStream::close() {
  std::lock_guard<std::mutex> reading(readLock);
  std::lock_guard<std::mutex> writing(writeLock);
  if (closed) return;
  closed = true;
  aZActor_Stop(&broker);
  zpoller_destroy(&poller);
  zsock_destroy(&server);
  zsock_destroy(&incomingBound);
  zsock_destroy(&outgoingBound);
  zsock_destroy(&incomingConnected);
  zsock_destroy(&outgoingConnected);
  zframe_destroy(&current);
}

// A handle exists only for a stream that was made whole; closed is checked under the
// locks.
ClientStream* sRecord(const void* reference) {
  const Handle* handle = static_cast<const Handle*>(reference);
  return handle != nullptr && handle->stream ? handle->stream.get() : nullptr;
}

// Sends without blocking, retrying a full queue every millisecond up to the bound.
bool sSendBounded(zframe_t** frame, zsock_t* to) {
  for (int attempt = 0; attempt < kHandOverTries; attempt++) {
    if (zframe_send(frame, to, ZFRAME_DONTWAIT) == 0) return true;
    aTime_MSSleep(1);
  }
  zframe_destroy(frame);
  return false;
}

// A wait that a signal the program handles cut short (CZMQ reports it as "terminated",
// as it does an interrupt of the process, which the library leaves to the program).
// Called at once after zpoller_wait, with its errno.
bool sSignalled(zpoller_t* poller, int error) {
  return zpoller_terminated(poller) && error == EINTR && !zsys_interrupted;
}

void _broker_task(zsock_t* pipe, void* args) {
  ClientStream* s = static_cast<ClientStream*>(args);
  zsock_signal(pipe, 0);   // started
  zpoller_t* poller = zpoller_new(pipe, s->server, s->outgoingConnected, nullptr);
  if (poller == nullptr) {
    // The creator must not mistake this for the ready signal.
    aZActor_Ends();
    zsock_signal(pipe, kFailed);
    return;
  }
  zsock_signal(pipe, kReady);
  for (;;) {
    void* which = zpoller_wait(poller, aZMQSTREAM_READ_WAIT_MS);
    const bool signalled = which == nullptr && sSignalled(poller, errno);
    zSysInterruptHandler_process();
    if (which == pipe) break;
    if (which == s->server) {
      zframe_t* frame = zframe_recv(s->server);
      if (frame != nullptr) sSendBounded(&frame, s->incomingConnected);
    } else if (which == s->outgoingConnected) {
      zframe_t* frame = zframe_recv(s->outgoingConnected);
      // Once: a full queue toward the server means it has not been there for a while,
      // and what a later server on that address would be sent stays bounded.
      if (frame != nullptr && zframe_send(&frame, s->server, ZFRAME_DONTWAIT) != 0) zframe_destroy(&frame);
    } else if (zpoller_terminated(poller) && !signalled) {
      break;
    }
  }
  zpoller_destroy(&poller);
  aZActor_Ends();
  zsock_signal(pipe, 0);   // final
}

aErr _sZeroMQStreamGet(uint8_t* byte, void* reference) {
  ClientStream* s = sRecord(reference);
  if (s == nullptr || byte == nullptr) return aErrParam;
  std::lock_guard<std::mutex> reading(s->readLock);
  if (s->closed) return aErrIO;
  while (s->current == nullptr) {
    void* which = zpoller_wait(s->poller, aZMQSTREAM_READ_WAIT_MS);
    const bool signalled = which == nullptr && sSignalled(s->poller, errno);
    zSysInterruptHandler_process();
    if (which == nullptr) return zpoller_expired(s->poller) || signalled ? aErrNotReady : aErrUnknown;
    if (which != s->incomingBound) return aErrUnknown;
    zframe_t* frame = zframe_recv(s->incomingBound);
    if (frame == nullptr) return aErrIO;
    if (zframe_size(frame) == 0) {
      // An empty frame carries nothing; kept as the current frame it would stall the
      // stream for good.
      zframe_destroy(&frame);
      return aErrNotReady;
    }
    s->current = frame;
    s->cursor = 0;
    s->frameSize = zframe_size(frame);
  }
  *byte = zframe_data(s->current)[s->cursor++];
  if (s->cursor >= s->frameSize) {
    zframe_destroy(&s->current);
    s->cursor = 0;
    s->frameSize = 0;
  }
  return aErrNone;
}

// A frame partly handed out is input the reader must take before it waits.
bool _sZeroMQStreamPending(const void* reference) {
  ClientStream* s = sRecord(reference);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> reading(s->readLock);
  return s->current != nullptr;
}

aErr _sZeroMQStreamPut(const uint8_t*, void*) { return aErrUnimplemented; }

// One frame per device packet ([address][length][data]): a link server reads one packet
// per frame, so a pooled write of many packets must not go out as one frame. Bytes that
// do not make a whole packet go out as they are, in one frame.
aErr _sZeroMQStreamWrite(const uint8_t* data, uint64_t length, void* reference) {
  ClientStream* s = sRecord(reference);
  if (s == nullptr || (data == nullptr && length > 0)) return aErrParam;
  std::lock_guard<std::mutex> writing(s->writeLock);
  if (s->closed) return aErrIO;
  uint64_t at = 0;
  while (at < length) {
    uint64_t size = length - at;
    if (size >= 2 && 2u + data[at + 1] <= size) size = 2u + data[at + 1];
    zframe_t* frame = zframe_new(data + at, size);
    // Whether or not the broker took it, the write is done: a lost request shows as an
    // unanswered one.
    if (frame != nullptr) sSendBounded(&frame, s->outgoingBound);
    at += size;
  }
  return aErrNone;
}

aErr _sZeroMQStreamDelete(void* reference) {
  Handle* handle = static_cast<Handle*>(reference);
  if (sRecord(handle) == nullptr) return aErrIO;
  handle->stream->close();
  aZSys_RemoveUser(handle->stream->token);
  delete handle;
  return aErrNone;
}

std::atomic<uint64_t> sEndpoints{0};

// A DEALER pair on a private in-process endpoint: bound end, connected end.
aErr sMakePair(const char* direction, zsock_t** bound, zsock_t** connected) {
  *bound = zsock_new(ZMQ_DEALER);
  *connected = zsock_new(ZMQ_DEALER);
  if (*bound == nullptr || *connected == nullptr) return aErrMemory;
  char endpoint[64];
  std::snprintf(endpoint, sizeof endpoint, "inproc://tallowick-client-%llu-%s",
                static_cast<unsigned long long>(sEndpoints.fetch_add(1)), direction);
  if (zsock_bind(*bound, "%s", endpoint) != 0) return aErrConnection;
  if (zsock_connect(*connected, "%s", endpoint) != 0) return aErrConnection;
  return aErrNone;
}

// A read waits by itself (up to a second): there is no descriptor to wait on. Writes
// never wait beyond their bounded hand-over, so a caller may write in the writer's place.
const aStreamOps kClientOps = {_sZeroMQStreamGet,    _sZeroMQStreamPut,     _sZeroMQStreamWrite,
                               _sZeroMQStreamDelete, _sZeroMQStreamPending, /*waitDescriptor*/ nullptr,
                               /*promptWrites*/ true, /*connection*/ nullptr};

aErr sCreate(ClientStream& s, uint32_t address, uint16_t port) {
  // ZeroMQ would accept either and wait for ever: no server can be there.
  if (address == 0 || port == 0) return aErrConnection;
  aErr e = sMakePair("out", &s.outgoingBound, &s.outgoingConnected);
  if (e == aErrNone) e = sMakePair("in", &s.incomingBound, &s.incomingConnected);
  if (e != aErrNone) return e;
  s.server = zsock_new(ZMQ_DEALER);
  if (s.server == nullptr) return aErrMemory;
  zsock_set_sndhwm(s.server, aZMQSTREAM_SERVER_QUEUE);
  zsock_set_linger(s.server, 0);
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) return aErrConnection;
  if (zsock_connect(s.server, "tcp://%s:%u", text, static_cast<unsigned>(port)) != 0) return aErrConnection;
  s.poller = zpoller_new(s.incomingBound, nullptr);
  if (s.poller == nullptr) return aErrMemory;
  s.broker = zactor_new(_broker_task, &s);
  if (s.broker == nullptr) return aErrMemory;
  if (zsock_wait(s.broker) != kReady) {
    zactor_destroy(&s.broker);   // it has ended already
    return aErrMemory;
  }
  return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  if (aZSys_Exiting()) return aErrResource;
  aZSys_Init();
  auto record = std::make_shared<ClientStream>();
  const aErr e = sCreate(*record, address, port);
  if (e != aErrNone) return e;   // the record's destructor releases what was made
  Handle* handle = new (std::nothrow) Handle{record};
  if (handle == nullptr) return aErrMemory;
  *stream = aStream_CreateWith(kClientOps, handle);
  if (*stream == nullptr) {
    delete handle;
    return aErrResource;
  }
  // From now on the exit handler can close it if the program ends with it alive.
  record->token = aZSys_AddUser(record);
  return aErrNone;
}

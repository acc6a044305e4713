// Streaming: a module sends samples of UEI values unasked once the host switches them
// on. The Link's filter takes them off its core link's reader thread, caches the values
// and queues jobs for the registered callbacks; a worker thread of the Link runs them.
//
// Locks: the core's filter mutex is held while the filter runs and takes streamsLock
// inside, so no caller holds streamsLock while installing or withdrawing the filter,
// and no thread is joined under it (a callback may read the cache).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <system_error>

#include "api/Link.h"
#include "api/LinkImpl.h"
#include "common/aUEI.h"

namespace Quenlark {
namespace Tallowick {

namespace {

constexpr uint8_t kStreamStateGet = 0x41;     // GET of option 1
constexpr uint8_t kStreamStateReply = 0x01;
constexpr uint8_t kAnyElement = 0xFF;
constexpr uint8_t kGenericMasks = 15;
// An idle worker sleeps this long at most between checks of its stop flag (a stop
// wakes it at once).
constexpr int kWorkerIdleMs = 1000;

bool _checkStreamSampleLength(uint64_t length, Link::STREAM_PACKET type) {
  switch (type) {
    case Link::STREAM_PACKET_U8: return length == 14;
    case Link::STREAM_PACKET_U16: return length == 15;
    case Link::STREAM_PACKET_U32: return length == 17;
    case Link::STREAM_PACKET_SUBINDEX_U8: return length == 15;
    case Link::STREAM_PACKET_SUBINDEX_U16: return length == 16;
    case Link::STREAM_PACKET_SUBINDEX_U32: return length == 18;
    default: return false;
  }
}

// The 15 ways of setting some of index, option, command and subindex to 0xFF; the
// module address is never a wildcard.
uint64_t _getGenericStreamKeyMask(uint8_t i) {
  if (i >= kGenericMasks) return 0;
  const unsigned j = i + 1u;
  uint64_t mask = 0;
  if (j & 1u) mask |= 0xFFull;
  if (j & 2u) mask |= 0xFF00ull;
  if (j & 4u) mask |= 0xFF0000ull;
  if (j & 8u) mask |= 0xFF00000000ull;
  return mask;
}

bool elementMatches(uint8_t wanted, uint8_t element) { return wanted == kAnyElement || wanted == element; }

// The module's code of an error reply, which without a code (or with 0) is no success.
aErr deviceCode(const uei& reply) { return reply.v.byteVal != 0 ? static_cast<aErr>(reply.v.byteVal) : aErrUnknown; }

}  // namespace

// --- keys and samples --------------------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
  return (static_cast<uint64_t>(subindex) << 32) | (static_cast<uint64_t>(module) << 24) |
         (static_cast<uint64_t>(command) << 16) | (static_cast<uint64_t>(option) << 8) | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
  switch (element) {
    case STREAM_KEY_MODULE_ADDRESS: return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_COMMAND: return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION: return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX: return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX: return static_cast<uint8_t>(key >> 32);
  }
  return 0;
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  STREAM_PACKET found = STREAM_PACKET_INVALID;
  bool known = false;
  if (isStreamPacket(packet)) {
    const uint8_t kind = packet->data[3];
    if (packet->data[packet->dataSize - 1] != 0) {
      found = STREAM_PACKET_BYTES;
      known = true;
    } else if (kind >= STREAM_PACKET_U8 && kind <= STREAM_PACKET_SUBINDEX_U32) {
      found = static_cast<STREAM_PACKET>(kind);
      known = true;
    }
  }
  if (type != nullptr) *type = found;
  return known;
}

bool Link::isSubindexType(STREAM_PACKET type) {
  return type == STREAM_PACKET_SUBINDEX_U8 || type == STREAM_PACKET_SUBINDEX_U16 ||
         type == STREAM_PACKET_SUBINDEX_U32;
}

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET type;
  if (!getStreamPacketType(packet, &type)) return false;
  return packet->data[packet->dataSize - 1] == 0 && _checkStreamSampleLength(packet->dataSize, type);
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  if (!isStreamPacket(packet)) return aErrPacket;
  STREAM_PACKET type;
  getStreamPacketType(packet, &type);
  if (type == STREAM_PACKET_BYTES) return aErrSize;
  if (!isStreamSample(packet)) return aErrPacket;
  const uint8_t* d = packet->data;
  const bool sub = isSubindexType(type);
  const uint8_t at = sub ? 5 : 4;
  const uint64_t ts = (static_cast<uint64_t>(aUEI_RetrieveInt(&d[at])) << 32) | aUEI_RetrieveInt(&d[at + 4]);
  uint32_t v = 0;
  switch (type) {
    case STREAM_PACKET_U8:
    case STREAM_PACKET_SUBINDEX_U8: v = d[at + 8]; break;
    case STREAM_PACKET_U16:
    case STREAM_PACKET_SUBINDEX_U16: v = aUEI_RetrieveShort(&d[at + 8]); break;
    default: v = aUEI_RetrieveInt(&d[at + 8]); break;
  }
  if (timestamp != nullptr) *timestamp = ts;
  if (value != nullptr) *value = v;
  if (subindex != nullptr) *subindex = sub ? d[4] : 0;
  return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high != nullptr) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low != nullptr) *low = static_cast<uint32_t>(timestamp);
}

// --- the reader thread's side ------------------------------------------------------------

uint8_t Link::linkStreamFilter(const aPacket* packet, void* ref) {
  STREAM_PACKET type;
  if (!getStreamPacketType(packet, &type)) return 0;
  impl* self = static_cast<impl*>(ref);
  const uint8_t* d = packet->data;
  const uint8_t subindex = isSubindexType(type) ? d[4] : 0;
  const uint64_t key = createStreamKey(packet->address, d[0], d[1] & 0x3F, d[2] & 0x1F, subindex);
  uint32_t value = 0;
  const bool decoded = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;
  std::lock_guard<std::mutex> lock(self->streamsLock);
  auto exact = self->streams.find(key);
  if (exact != self->streams.end()) {
    self->queueAsyncCallback(exact, packet);
    if (decoded) {
      exact->second.value = value;
      exact->second.fresh = 1;
    }
  }
  bool wildcardHit = false;
  for (uint8_t i = 0; i < kGenericMasks; i++) {
    auto generic = self->streams.find(key | _getGenericStreamKeyMask(i));
    if (generic == self->streams.end() || generic == exact) continue;
    self->queueAsyncCallback(generic, packet);
    wildcardHit = true;
  }
  if (exact == self->streams.end() && wildcardHit && decoded) {
    StreamEntry entry;
    entry.key = key;
    entry.fresh = 1;
    entry.value = value;
    self->streams.emplace(key, std::move(entry));
  }
  return 1;
}

void Link::impl::queueAsyncCallback(StreamMap::iterator entry, const aPacket* packet) {
  if (!entry->second.callback || !worker) return;
  asyncPacket job;
  job.packet = aPacket_Copy(packet);
  if (job.packet == nullptr) return;
  job.callback = entry->second.callback;
  job.ref = entry->second.ref;
  // A full queue drops the job: the reader never waits for the worker.
  if (!worker->queue.push(std::move(job))) {
    aPacket_Destroy(&job.packet);
    return;
  }
  if (worker->sleeping.load()) worker->wake();
}

// --- the worker --------------------------------------------------------------------------

StreamWorker::StreamWorker() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

StreamWorker::~StreamWorker() {
  if (wakeFd >= 0) close(wakeFd);
}

void StreamWorker::wake() {
  const uint64_t one = 1;
  if (write(wakeFd, &one, sizeof one) < 0) {
    // The counter is full: the worker has plenty of wake-ups waiting already.
  }
}

void Link::impl::asyncWork(std::shared_ptr<StreamWorker> worker) {
  asyncPacket job;
  while (!worker->stop.load()) {
    while (!worker->stop.load() && worker->queue.pop(&job)) {
      try {
        job.callback(job.packet, job.ref);
      } catch (...) {
        // A callback's failure is its own; the worker and the other callbacks go on.
      }
      aPacket_Destroy(&job.packet);
      job = asyncPacket();
    }
    if (worker->stop.load()) break;
    // The reader wakes a sleeping worker after a push. Announcing the sleep before the
    // last look at the queue means a push either is seen here or sees the announcement.
    worker->sleeping.store(true);
    if (worker->queue.empty()) {
      pollfd p{worker->wakeFd, POLLIN, 0};
      poll(&p, 1, kWorkerIdleMs);
      uint64_t count;
      if (read(worker->wakeFd, &count, sizeof count) < 0) {
        // Woken by the time-out alone.
      }
    }
    worker->sleeping.store(false);
  }
  // Jobs left when streaming stopped are not run; their copies are freed here, by the
  // queue's one consumer.
  while (worker->queue.pop(&job)) aPacket_Destroy(&job.packet);
}

void Link::impl::stopWorker() {
  std::shared_ptr<StreamWorker> w;
  {
    std::lock_guard<std::mutex> lock(streamsLock);
    w = std::move(worker);
  }
  if (!w) return;
  w->stop.store(true);
  w->wake();
  if (w->thread.get_id() == std::this_thread::get_id()) {
    // Stopped from one of its own callbacks: it ends by itself once the callback
    // returns, and keeps the shared state alive until then.
    w->thread.detach();
  } else if (w->thread.joinable()) {
    w->thread.join();
  }
}

void Link::impl::stopStreaming() {
  {
    std::lock_guard<std::mutex> lock(streamsLock);
    streams.clear();
  }
  stopWorker();
}

void Link::impl::withdrawStreamFilter() {
  if (coreLink != 0) aLink_WithdrawUserPacketFilter(coreLink, Link::linkStreamFilter, this);
}

aErr Link::impl::installStreamFilter(bool on) {
  if (!on) {
    withdrawStreamFilter();
    stopStreaming();
    return coreLink != 0 ? aErrNone : aErrConnection;
  }
  if (coreLink == 0) return aErrConnection;
  bool running;
  {
    std::lock_guard<std::mutex> lock(streamsLock);
    running = worker != nullptr;
  }
  bool started = false;
  if (!running) {
    // The worker runs before the filter can queue anything for it, and is complete
    // (its thread object too) before any callback can look at it.
    auto fresh = std::make_shared<StreamWorker>();
    if (fresh->wakeFd < 0) return aErrResource;
    try {
      fresh->thread = std::thread(asyncWork, fresh);
    } catch (const std::system_error&) {
      return aErrResource;
    }
    std::lock_guard<std::mutex> lock(streamsLock);
    worker = std::move(fresh);
    started = true;
  }
  const aErr e = aLink_InstallUserPacketFilter(coreLink, Link::linkStreamFilter, this);
  if (e != aErrNone && started) stopWorker();
  return e;
}

// --- the caller's side -------------------------------------------------------------------

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  std::unique_lock<std::mutex> guard(m_impl->streamsLock, std::defer_lock);
  if (lock) guard.lock();
  std::vector<uint64_t> keys;
  for (const auto& entry : m_impl->streams) {
    const uint64_t k = entry.first;
    if (elementMatches(module, getStreamKeyElement(k, STREAM_KEY_MODULE_ADDRESS)) &&
        elementMatches(command, getStreamKeyElement(k, STREAM_KEY_COMMAND)) &&
        elementMatches(option, getStreamKeyElement(k, STREAM_KEY_OPTION)) &&
        elementMatches(index, getStreamKeyElement(k, STREAM_KEY_INDEX)) &&
        elementMatches(subindex, getStreamKeyElement(k, STREAM_KEY_SUBINDEX)))
      keys.push_back(k);
  }
  return keys;
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* ref) {
  const uint64_t key = createStreamKey(module, command, option, index, kAnyElement);
  if ((module & 1) != 0 || module == kAnyElement) return aErrParam;
  bool any;
  {
    std::lock_guard<std::mutex> lock(m_impl->streamsLock);
    if (enable) {
      StreamEntry& entry = m_impl->streams[key];
      entry.key = key;
      entry.callback = std::move(callback);
      entry.ref = ref;
    } else {
      for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kAnyElement, false))
        m_impl->streams.erase(k);
    }
    any = !m_impl->streams.empty();
  }
  aErr e = m_impl->installStreamFilter(any);
  if (e == aErrNone) {
    uei request{};
    request.module = module;
    request.command = cmdSTREAM;
    request.option = enable ? aUEI_STREAM_ENABLE_SET : aUEI_STREAM_DISABLE_SET;
    request.specifier = UEI_SPECIFIER_REQUEST;
    request.v.intVal = static_cast<uint32_t>(key);
    request.type = ueiTypeInt;
    e = sendUEI(request);
    if (e == aErrNone) {
      uei reply{};
      reply.module = module;
      reply.command = cmdSTREAM;
      reply.option = static_cast<uint8_t>(request.option | UEI_OPTION_ACK);
      reply.specifier = 0;
      e = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
      if (e == aErrNone && (reply.specifier & UEI_SPECIFIER_ERROR) != 0) e = deviceCode(reply);
    }
  }
  if (e != aErrNone) {
    {
      std::lock_guard<std::mutex> lock(m_impl->streamsLock);
      for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kAnyElement, false))
        m_impl->streams.erase(k);
      any = !m_impl->streams.empty();
    }
    // Nothing left to stream for: no filter, no worker.
    if (!any) m_impl->installStreamFilter(false);
  }
  return e;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (state == nullptr) return aErrParam;
  uei request{};
  request.module = module;
  request.command = cmdSTREAM;
  request.option = kStreamStateGet;
  request.specifier = UEI_SPECIFIER_REQUEST;
  request.type = ueiTypeNone;
  aErr e = sendUEI(request);
  if (e != aErrNone) return e;
  uei reply{};
  reply.module = module;
  reply.command = cmdSTREAM;
  reply.option = kStreamStateReply;
  reply.specifier = 0;
  reply.type = ueiTypeUnknown;
  e = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
  if (e != aErrNone) return e;
  if ((reply.specifier & UEI_SPECIFIER_ERROR) != 0) return deviceCode(reply);
  if (reply.type != ueiTypeByte) return aErrUnknown;
  *state = reply.v.byteVal;
  return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
  if (value == nullptr) return aErrParam;
  std::lock_guard<std::mutex> lock(m_impl->streamsLock);
  auto it = m_impl->streams.find(createStreamKey(module, command, option, index, subindex));
  if (it == m_impl->streams.end()) return aErrNotFound;
  *value = it->second.value;
  const bool fresh = it->second.fresh != 0;
  it->second.fresh = 0;
  return fresh ? aErrNone : aErrStreamStale;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, uint64_t max, uint64_t* count) {
  if (!isConnected()) return aErrConnection;
  if (entries == nullptr || count == nullptr || max == 0) return aErrParam;
  const std::vector<uint64_t> keys = filterActiveStreamKeys(module, command, option, index, subindex, true);
  std::lock_guard<std::mutex> lock(m_impl->streamsLock);
  *count = 0;
  for (uint64_t k : keys) {
    auto it = m_impl->streams.find(k);
    if (it == m_impl->streams.end()) continue;
    const bool registration = getStreamKeyElement(k, STREAM_KEY_COMMAND) == kAnyElement ||
                              getStreamKeyElement(k, STREAM_KEY_OPTION) == kAnyElement ||
                              getStreamKeyElement(k, STREAM_KEY_INDEX) == kAnyElement ||
                              getStreamKeyElement(k, STREAM_KEY_SUBINDEX) == kAnyElement ||
                              getStreamKeyElement(k, STREAM_KEY_MODULE_ADDRESS) == kAnyElement;
    if (registration) continue;
    if (*count >= max) return aErrSize;
    entries[*count] = {k, it->second.value};
    (*count)++;
  }
  return aErrNone;
}

}  // namespace Tallowick
}  // namespace Quenlark

// The streaming surface of a Link as far as this build carries it: stream keys and the
// sample cache read that UEI reads consult. Registering streams, the reader-thread
// filter and the callback worker are not built yet; those operations refuse.
#include "api/Link.h"
#include "api/LinkImpl.h"

namespace Quenlark {
namespace Tallowick {

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

aErr Link::registerStreamCallback(uint8_t, uint8_t, uint8_t, uint8_t, bool, StreamCallback, void*) {
  return aErrUnimplemented;
}

aErr Link::enableStream(uint8_t, uint8_t, uint8_t, uint8_t, bool) { return aErrUnimplemented; }

aErr Link::isLinkStreaming(uint8_t, uint8_t*) { return aErrUnimplemented; }

aErr Link::getStreamStatus(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, StreamStatusEntry*, uint64_t,
                           uint64_t*) {
  return aErrUnimplemented;
}

}  // namespace Tallowick
}  // namespace Quenlark

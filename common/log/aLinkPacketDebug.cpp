// Packet logging of a core link: the per-link operations and the threads' recording.
#include "common/log/aLinkPacketDebug.h"

#include <cstdio>

#include "common/internal/aLinkRecord.h"

namespace {

// Locks the link's log mutex for a scope; without a mutex there is no log either.
class LogLock {
 public:
  explicit LogLock(aLink* link) : sema_(link->packetDebug.sema.load()) {
    if (sema_ != nullptr) aMutex_Lock(sema_);
  }
  ~LogLock() {
    if (sema_ != nullptr) aMutex_Unlock(sema_);
  }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;
  bool held() const { return sema_ != nullptr; }

 private:
  aMutex* sema_;
};

}  // namespace

aLinkPacketDebug::~aLinkPacketDebug() {
  aPacketLog_Destroy(&log);
  aMutex* m = sema.exchange(nullptr);
  if (m != nullptr) aMutex_Destroy(&m);
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link || size > aLINK_PACKETLOG_MAX_SIZE) return aErrParam;
  std::lock_guard<std::mutex> control(link->control);
  if (link->packetDebug.hasLog.load()) return aErrBusy;
  link->packetDebug.size = size < 0 ? 0 : static_cast<uint32_t>(size);
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link) return aErrParam;
  aLinkPacketDebug& debug = link->packetDebug;
  // Two enables at once must not both make a log: one would be lost with its records.
  std::lock_guard<std::mutex> control(link->control);
  if (debug.size == 0) debug.size = aLINK_PACKETLOG_DEFAULT_SIZE;
  if (debug.sema.load() == nullptr) {
    char name[aMUTEX_NAME_SIZE];
    std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link.get()));
    aMutex* made = aMutex_Create(name);
    if (made == nullptr) return aErrResource;
    debug.sema.store(made);
  }
  LogLock lock(link.get());
  if (debug.log == nullptr) {
    debug.log = aPacketLog_Create(debug.size);
    if (debug.log == nullptr) return aErrResource;
    debug.hasLog.store(true);
  }
  debug.log->enabled.store(1);
  return aErrNone;
}

aErr aLink_PacketDebug_Disable(aLinkRef id) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  if (!lock.held() || link->packetDebug.log == nullptr) return aErrNotReady;
  link->packetDebug.log->enabled.store(0);
  return aErrNone;
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint32_t* tag, uint32_t* length, uint8_t* buffer) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  if (!lock.held() || link->packetDebug.log == nullptr) return aErrNotReady;
  return aPacketLog_Get(link->packetDebug.log, tag, length, buffer);
}

aErr aLink_PacketDebug_Write(aLinkRef id, int tag, uint32_t length, const uint8_t* bytes) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  if (!lock.held() || link->packetDebug.log == nullptr) return aErrNotReady;
  return aPacketLog_Put(link->packetDebug.log, static_cast<uint8_t>(tag & 0xFF), length, bytes);
}

void aLink_PacketDebugRecordWire(aLink* link, uint8_t tag, const uint8_t* wire, size_t length) {
  if (!link->packetDebug.hasLog.load()) return;
  LogLock lock(link);
  aPacketLog* log = link->packetDebug.log;
  if (log == nullptr || log->enabled.load() != 1) return;
  for (size_t at = 0; at + 2 <= length;) {
    const size_t packet = 2u + wire[at + 1];
    if (at + packet > length) break;
    aPacketLog_Put(log, tag, static_cast<uint32_t>(packet), wire + at);
    at += packet;
  }
}

void aLink_PacketDebugRecord(aLink* link, uint8_t tag, const aPacket* packet) {
  if (!link->packetDebug.hasLog.load()) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  uint64_t length = 0;
  if (aPacket_GetBytes(packet, wire, sizeof wire, &length) != aErrNone) return;
  aLink_PacketDebugRecordWire(link, tag, wire, static_cast<size_t>(length));
}

void aLink_PacketDebugRelease(aLink* link) {
  LogLock lock(link);
  link->packetDebug.hasLog.store(false);
  aPacketLog_Destroy(&link->packetDebug.log);
}

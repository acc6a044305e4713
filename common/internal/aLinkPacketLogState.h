#pragma once
// The packet-log state of a link record and what the link engine's threads and its
// reset call. Internal to the core.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"
#include "common/log/aPacketLog.h"
#include "common/unix/aMutex.h"

struct aLink;

// The log mutex is made at the first enable and lives as long as the record: a logger
// thread or a caller may be waiting for it while the link is reset, so only the log
// is freed then, under the mutex.
struct aLinkPacketDebug {
  aLinkPacketDebug() = default;
  ~aLinkPacketDebug();
  aLinkPacketDebug(const aLinkPacketDebug&) = delete;
  aLinkPacketDebug& operator=(const aLinkPacketDebug&) = delete;

  std::atomic<aMutex*> sema{nullptr};   // "LOG_SEMA_%p" with the record's address
  aPacketLog* log = nullptr;            // under sema
  std::atomic<bool> hasLog{false};      // lets the threads skip the mutex while there is none
  uint32_t size = 0;                    // requested size, 0 = default; under the record's control
};

// The link's recording: the packet's wire form under tag, while logging is enabled.
void aLink_PacketDebugRecord(aLink* link, uint8_t tag, const aPacket* packet);
// The same for packets already in wire form, back to back ([address][length][data]...,
// length bytes in all), each its own record, all under one hold of the log mutex.
void aLink_PacketDebugRecordWire(aLink* link, uint8_t tag, const uint8_t* wire, size_t length);
// Frees the log (packet logging is off afterwards); the mutex stays.
void aLink_PacketDebugRelease(aLink* link);

#pragma once
// The private state of a Link, shared by the units that implement its operations.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "api/Link.h"
#include "api/LocklessQueue.h"
#include "common/log/aLogger.h"
#include "common/aLinkSpecifier.h"

namespace Quenlark {
namespace Tallowick {

// A link specifier made by the core (aLinkSpec_Create, _Copy, aDiscovery_FindModule) is
// handed back to the core to be freed.
struct LinkSpecRelease {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using LinkSpecPtr = std::unique_ptr<linkSpec, LinkSpecRelease>;

struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0;
  Link::StreamCallback callback;
  void* ref = nullptr;
  uint32_t value = 0;
};

// One callback job: the callback, its reference and a copy of the sample, which the
// worker frees after the call.
struct asyncPacket {
  Link::StreamCallback callback;
  void* ref = nullptr;
  aPacket* packet = nullptr;
};

// The callback worker of a Link: its thread, the queue the reader thread feeds and the
// stop flag. The Link and the thread share it, so a worker stopped from one of its own
// callbacks (which cannot wait for itself) finishes on what it holds, after its Link
// has moved on or gone.
struct StreamWorker {
  static constexpr uint16_t kQueueCapacity = 500;
  StreamWorker();
  ~StreamWorker();
  StreamWorker(const StreamWorker&) = delete;
  StreamWorker& operator=(const StreamWorker&) = delete;
  // Wakes the thread if it sleeps; never blocks (the reader thread calls it).
  void wake();

  LocklessQueue_SPSC<asyncPacket> queue{kQueueCapacity};
  std::atomic<bool> stop{false};
  std::atomic<bool> sleeping{false};
  int wakeFd = -1;   // eventfd
  std::thread thread;
};

class Link::impl {
 public:
  impl(Link& owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  aErr setSpecifier(const linkSpec& spec);
  aErr getSpecifier(linkSpec* out) const;
  const char* getName() const;
  // Creates the core link for the stored specifier and waits until it runs. borrowed:
  // a core link of another Link whose use the creation shares (0 for none).
  aErr connectHelper(aLinkRef borrowed);
  aErr linkCreateHelper(const linkSpec& spec, aLinkRef borrowed);
  aErr waitForLink(uint16_t polls);
  aErr discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model, Link* link);

  // --- streaming (LinkStream.cpp) ---
  using StreamMap = std::map<uint64_t, StreamEntry>;
  // Installs this Link's filter (starting the worker) or takes streaming down: the
  // filter withdrawn, the map cleared, the worker stopped. aErrConnection without a
  // core link when switching on.
  aErr installStreamFilter(bool on);
  // Withdraws this Link's filter from its core link, if it is still the one installed.
  void withdrawStreamFilter();
  // Stops the worker; from one of the worker's own callbacks the worker is told to
  // stop and left to end by itself.
  void stopWorker();
  // Clears the map and stops the worker.
  void stopStreaming();
  // Reader thread, under streamsLock: queues a job for the entry's callback.
  void queueAsyncCallback(StreamMap::iterator entry, const aPacket* packet);
  static void asyncWork(std::shared_ptr<StreamWorker> worker);

  // --- packet log files (LinkPacketLog.cpp) ---
  // The logger's callback: moves at most one record of the core link's packet log into
  // the file as one line, and pauses when there is none to move.
  static void readDebugBuffer(void* file, uint32_t coreLinkId);
  // After a reset of the core link, which drops its log: recording again while the
  // logger runs.
  void resumePacketLog();

  Link& owner;
  aLinkRef coreLink = 0;
  aLogger* packetLogger = nullptr;   // owned
  std::string packetLogPath;         // the logger's file, kept for a new core link
  QuivelConfig config;
  StreamMap streams;
  std::shared_ptr<StreamWorker> worker;   // changed under streamsLock
  std::mutex streamsLock;
  bool hasName = false;
  std::string name;
  LinkSpecPtr spec;
};

}  // namespace Tallowick
}  // namespace Quenlark

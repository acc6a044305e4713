#pragma once
// The object layer's handle on one core link: the description of the device to reach,
// the network-link configuration, and at most one use of a core link.
//
// One Link is used by one thread at a time. It cannot be copied: it owns its core link
// use and its state.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "api/QuivelConfig.h"
#include "api/uei.h"
#include "common/discovery/aDiscovery.h"
#include "common/aErr.h"
#include "common/aLink.h"
#include "common/aPacket.h"

namespace Quenlark {
namespace Tallowick {

#define LINK_NAME_MAX 1024

class Link {
 public:
  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  const char* getName() const;

  aErr getConfig(QuivelConfig* out) const;
  // aErrMode while connected (nothing changes).
  aErr setConfig(QuivelConfig config);
  // aErrNotFound when no specifier is stored.
  aErr getLinkSpecifier(linkSpec* out) const;
  // aErrBusy while connected (nothing changes).
  aErr setLinkSpecifier(linkSpec spec);

  // Discovery (serial 0: the first device, of model when model is not 0), then connect.
  // With the fallback flag one other link kind is tried after not-found, initialisation
  // and connection failures.
  aErr discoverAndConnect(linkType type, uint32_t serial = 0, uint8_t model = 0);
  // Connects with the stored specifier; aErrConnection while a core link is held.
  aErr connect();
  // Takes one more use of the other Link's core link (a device behind a router).
  aErr connectThroughLinkModule(Link& other);
  bool isConnected() const;
  // Waits up to timeoutMs for the link to be connected no more (its core link leaves the
  // running status, or there is none); true when it is not connected.
  bool awaitDisconnect(uint32_t timeoutMs) const;
  // aLinkStatus of the held core link; 8 without one.
  int getStatus() const;
  // The number of the connection the core link is on (aLink_GetConnection): while it
  // stays the same, every exchange with the device ran in one session. aErrConnection
  // without a core link.
  aErr getConnection(uint64_t* number) const;
  aErr disconnect();
  aErr reset();
  // Asks the device for its module address (1000 ms); aErrNotReady and 0 without answer.
  aErr getModuleAddress(uint8_t* address);
  aErr enablePooledPackets(bool on);

  // --- UEI and raw packets: one send, one wait, no retries ---------------------------
  aErr sendUEI(uei request);
  aErr sendUEI(uei request, uint8_t subindex);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply,
                  aPacketFilterProc match);
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);
  // Queues [command, bytes]; at most 27 bytes.
  aErr sendPacket(uint8_t module, uint8_t command, uint8_t count, const uint8_t* bytes);
  // Waits for a packet whose first *count data bytes equal match; then *count is its
  // data length and out (28 bytes) its data.
  aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* count, uint8_t* out);

  // --- streaming ------------------------------------------------------------------
  enum STREAM_KEY {
    STREAM_KEY_MODULE_ADDRESS = 0,
    STREAM_KEY_COMMAND = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4,
  };
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };
  enum STREAM_PACKET {
    STREAM_PACKET_INVALID = 0,
    STREAM_PACKET_U8 = 1,
    STREAM_PACKET_U16 = 2,
    STREAM_PACKET_U32 = 3,
    STREAM_PACKET_BYTES = 4,   // a byte-sequence sample, or any stream packet not ending in 0
    STREAM_PACKET_SUBINDEX_U8 = 5,
    STREAM_PACKET_SUBINDEX_U16 = 6,
    STREAM_PACKET_SUBINDEX_U32 = 7,
  };
  // Runs on the Link's worker thread with a copy of the sample, freed when it returns;
  // its result is not used. An exception it throws is dropped.
  using StreamCallback = std::function<uint8_t(const aPacket*, void*)>;

  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);

  // Sample packets (no object needed).
  static bool isStreamPacket(const aPacket* packet);
  // False (and STREAM_PACKET_INVALID) for a packet that is no sample of a known type.
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
  static bool isSubindexType(STREAM_PACKET type);
  // A sample of a known value type with its exact length.
  static bool isStreamSample(const aPacket* packet);
  // Any output may be null. aErrPacket for no valid sample, aErrSize for a byte sequence.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  // The filter a streaming Link installs in its core link (impl: its Link::impl). It
  // runs on the reader thread, consumes every stream packet, caches the sampled values
  // and queues the callbacks' jobs.
  static uint8_t linkStreamFilter(const aPacket* packet, void* impl);

  // Registers (enable) or removes a callback for samples of (module, command, option,
  // index), 0xFF in the last three matching any value, and switches the module's
  // streaming of them on or off. A registration the module refuses leaves nothing.
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                              bool enable, StreamCallback callback, void* ref);
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // The module's streaming state (1 while it streams anything).
  aErr isLinkStreaming(uint8_t module, uint8_t* state);
  // Last sampled value of one exact key: aErrNotFound when there is none, aErrNone when
  // it is fresh, aErrStreamStale when it was read before.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, uint32_t* value);
  // Sampled keys (registrations are never listed) matching the pattern, with their
  // values; aErrSize when more than max match (max are filled).
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                       uint8_t subindex, StreamStatusEntry* entries, uint64_t max, uint64_t* count);
  // Keys in the map matching the pattern (0xFF matches any value), ascending.
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock);

  // --- store slots (command 4) and factory data (command 0x5E) ------------------------
  // Raw request and reply exchanges with one module, on the caller's thread. Module
  // addresses 0 and odd give aErrPacket; an error reply gives the module's code, or
  // aErrUnknown when it carries none (or 0).
  //
  // Writes length bytes into a slot in chunks of 25, each acknowledged with its sum.
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, uint64_t length);
  // Reads a slot into buffer; *unloaded is the count read. A slot larger than the
  // buffer fills it and gives aErrOverrun (with the count).
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                       uint64_t* unloaded);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint64_t* size);
  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint64_t* capacity);
  // Factory-data slots 0 to 15. A read needs one byte to spare in the buffer; a write
  // takes at most 65535 bytes.
  aErr getFactoryData(uint8_t module, uint8_t slot, uint8_t* buffer, uint64_t bufferLength, uint64_t* received);
  aErr setFactoryData(uint8_t module, uint8_t slot, const uint8_t* data, uint64_t length);

  // --- packet log files -------------------------------------------------------------
  // Writes the core link's traffic to the file at path (appended to), one line per
  // packet, from a logger thread: "<count> > 0x.. " for a packet sent, "<count> < ..."
  // for one received, each line ending in CR LF; every enable first adds a START line.
  // The file of the first enable is kept for the Link's life. aErrConfiguration
  // without a core link, aErrParam for a null path, aErrIO when the file cannot be
  // opened.
  aErr enablePacketLog(const char* path);
  // Stops recording and the logger thread; the file stays open. aErrParam when logging
  // was never enabled.
  aErr disablePacketLog();

  class impl;

 private:
  std::unique_ptr<impl> m_impl;
};

}  // namespace Tallowick
}  // namespace Quenlark

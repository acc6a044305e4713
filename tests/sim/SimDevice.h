#pragma once
// A simulated device module, independent of any transport: it takes the host's packets,
// answers them as a module of the family does, sends heartbeats, and records everything
// it receives. Front ends (SimFrontEnd.h) carry its bytes over TCP or a pty.
//
// Every public method is thread-safe: tests change knobs and read the record while a
// front end's thread drives the device.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tests/sim/SimWire.h"

namespace devsim {

// Milliseconds of the monotonic clock.
uint64_t nowMs();

// "Nothing scheduled", for the due times of timed sources.
constexpr uint64_t kNever = UINT64_MAX;

struct Config {
  uint8_t address = 0x04;      // even module address, answered to sync requests
  uint8_t model = 0x13;        // answered to the system entity's model query
  uint32_t serial = 0x1234ABCD;
  bool answerSync = true;
  int syncAddress = -1;        // >= 0: address used in sync replies instead (odd, 0, ...)
  uint32_t heartbeatMs = 0;    // 0: no heartbeats
  bool splitBytes = false;     // replies leave one byte per write
  uint32_t replyDelayMs = 0;   // every reply waits this long before it leaves
  int dropReplies = 0;         // replies to swallow; -1 swallows all
  bool answerModelQuery = true;   // false: the model query (system GET of option 8) goes unanswered
  // Sent unasked just before the reply to each of the next unsolicitedCount requests
  // (-1: every request); address 0 stands for the module's own address.
  WirePacket unsolicited;
  int unsolicitedCount = 0;
};

struct Received {
  uint64_t atMs;
  WirePacket packet;
};

// Bytes for the front end to send. Framed chunks carry one packet (the pty front end
// frames them); raw chunks go out as they are (garbage).
struct Chunk {
  std::vector<uint8_t> bytes;
  bool framed = true;
  bool split = false;
  uint64_t dueMs = 0;
};

struct HeartbeatStats {
  uint32_t sent = 0;
  uint32_t answered = 0;   // answers carrying h + 2
  uint32_t wrong = 0;      // heartbeat-shaped answers with another value
  uint32_t missed = 0;     // heartbeats overtaken by a later answer, or never answered
};

class Device {
 public:
  // Extension point for later protocols (UEI, system entity, upgrade): a handler sees
  // each packet addressed to the module before the built-in answers and returns true
  // when it answered it (through reply()).
  using Handler = std::function<bool(const WirePacket&, Device&)>;
  // A timed source of packets the module sends unasked (stream samples, long runs of
  // continued replies). Called on the front end's thread while a host is connected, it
  // appends the packets due by nowMs and returns when its next packet is due (kNever:
  // nothing scheduled). Its packets bypass the reply knobs.
  using Source = std::function<uint64_t(uint64_t nowMs, std::vector<WirePacket>& out)>;

  explicit Device(Config config = Config());

  Config config() const;
  void setConfig(const Config& config);
  void addHandler(Handler handler);
  void addSource(Source source);
  // A callable that makes the front end ask the sources again, for knobs that change
  // their timing from another thread. It stays safe to call once the device is gone.
  std::function<void()> waker() const;

  // Queues a reply, subject to the drop, delay and split knobs.
  void reply(const WirePacket& packet);
  // Queues a packet or raw bytes at once, bypassing the knobs.
  void send(const WirePacket& packet);
  void sendRaw(const std::vector<uint8_t>& bytes);

  std::vector<Received> received() const;
  size_t countReceived(const std::function<bool(const WirePacket&)>& match) const;
  // Waits (bounded) until match accepts at least count received packets.
  bool waitForCount(const std::function<bool(const WirePacket&)>& match, size_t count, uint64_t timeoutMs) const;
  void clearReceived();
  HeartbeatStats heartbeats() const;
  int routeState() const;   // last route-control value, -1 before any
  uint32_t connections() const;
  // When the first host connected (steady clock, milliseconds since its epoch); 0 before.
  uint64_t firstConnectedMs() const;
  uint32_t badFrames() const;

  // --- front end side ---
  void feedBytes(const uint8_t* bytes, size_t length);
  void feedPacket(const WirePacket& packet);
  void noteBadFrame();
  void connected();
  void disconnected();
  // Milliseconds until the next chunk or heartbeat is due (capped at limit).
  uint64_t msUntilNextEvent(uint64_t limit) const;
  std::vector<Chunk> takeDue();
  // Wakes the front end when something new is queued.
  void setWakeup(std::function<void()> wake);

 private:
  struct WakeSlot {
    std::mutex mutex;
    std::function<void()> wake;
  };

  void respond(const WirePacket& packet, const std::vector<Handler>& handlers, bool linkControl);
  void handleLocked(const WirePacket& packet, std::vector<WirePacket>& replies);
  void queueLocked(const WirePacket& packet, bool applyKnobs);
  void heartbeatLocked(uint64_t now);
  void wake();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Config config_;
  std::vector<Handler> handlers_;
  std::vector<Source> sources_;
  uint64_t sourcesDueMs_ = kNever;
  bool unsolicitedArmed_ = false;   // the next reply is the first to the request being handled
  PacketParser parser_;
  std::vector<Received> received_;
  std::vector<Chunk> outbox_;
  HeartbeatStats heartbeats_;
  bool linked_ = false;
  uint64_t nextHeartbeatMs_ = 0;
  std::deque<uint8_t> pendingHeartbeats_;   // answers expected, oldest first
  uint8_t nextHeartbeatValue_ = 0;
  int routeState_ = -1;
  uint32_t connections_ = 0;
  uint64_t firstConnectedMs_ = 0;
  uint32_t badFrames_ = 0;
  std::shared_ptr<WakeSlot> wakeSlot_ = std::make_shared<WakeSlot>();
};

}  // namespace devsim

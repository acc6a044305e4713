#pragma once
// The behaviour of one simulated module of the family above the link protocol: the
// UEI entities (system and store), the I2C bus, the module-information and echo
// commands, streaming, store slots and factory data. It parses the host's packets
// itself, from the wire form alone.
//
// What each option is (width, subindexed, read-only, byte sequence) lives in a table,
// so tests can reshape an option without touching the answering code; stream samples
// are drawn from the same table and values. Every public method is thread-safe: a front
// end's thread answers while a test turns the knobs.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "tests/sim/SimWire.h"
#include "tests/sim/model/ModelCodes.h"
#include "tests/sim/model/ModelContinued.h"
#include "tests/sim/model/ModelFactory.h"
#include "tests/sim/model/ModelFaults.h"
#include "tests/sim/model/ModelSlots.h"
#include "tests/sim/model/ModelStream.h"

namespace devsim {
namespace model {

enum class Kind { U8, U16, U32, Bytes, Call };

struct OptionSpec {
  uint8_t command = kCmdSystem;
  uint8_t option = 0;
  Kind kind = Kind::U8;
  uint8_t subindexes = 0;   // 0: plain form; n: requests carry a subindex 0..n-1
  bool readOnly = false;
  bool writeOnly = false;   // set or call only (route-to-me, store operations)
  size_t maxBytes = 0;      // byte sequences: the longest value a SET may store
};

// The system entity's options (and the store entity's) as the module knows them.
std::vector<OptionSpec> defaultOptionTable();

struct ModuleConfig {
  uint8_t address = 0x04;
  uint8_t model = 0x13;
  uint32_t serial = 0x1234ABCD;
  uint32_t version = 0x02120003;
  uint32_t build = 4711;
  uint8_t router = 0;
  uint32_t features = 0;
  std::vector<uint8_t> name = {'s', 'i', 'm'};
  uint32_t identifier[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
};

class Module {
 public:
  explicit Module(const ModuleConfig& config = ModuleConfig());

  uint8_t address() const;
  void setAddress(uint8_t address);

  // Answers one packet addressed to this module. False when the module does not speak
  // the packet's command (so the caller may answer it otherwise, or not at all).
  bool handle(const WirePacket& in, std::vector<WirePacket>& out);

  // --- knobs and observations ---
  void setOption(const OptionSpec& spec);
  void removeOption(uint8_t command, uint8_t option);
  void setValue(uint8_t command, uint8_t option, uint8_t subindex, uint32_t value);
  uint32_t value(uint8_t command, uint8_t option, uint8_t subindex = 0) const;
  void setBytes(uint8_t command, uint8_t option, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> bytes(uint8_t command, uint8_t option) const;
  // Every request of this option is refused with code (which may be 0 or out of range).
  void failOption(uint8_t command, uint8_t option, uint8_t code);
  // Requests of this option are swallowed.
  void muteOption(uint8_t command, uint8_t option);
  void clearFaults();
  // SETs and calls of this option that were acknowledged.
  unsigned acknowledged(uint8_t command, uint8_t option) const;
  // Module-information answers.
  void setClassQuantity(uint8_t entityClass, uint8_t count);
  void setSubClass(uint8_t entityClass, uint8_t subClass, uint8_t count, uint8_t group);
  // A UEI of another entity (for example the upgrade entity) the module claims to have.
  void addUEI(uint8_t command, uint8_t option);
  // I2C: devices answering on the bus (7-bit address << 1), and what the bus saw.
  void addI2CDevice(uint8_t address);
  void removeI2CDevice(uint8_t address);
  bool pullup() const;
  std::vector<std::vector<uint8_t>> i2cWrites() const;

  // Streaming (command 0x5D): the sample period (default 100 ms; 0 sends none), a fixed
  // timestamp for every sample (nullopt: microseconds since the module was made), the
  // active patterns (module << 24 | command << 16 | option << 8 | index) and the
  // samples sent. setValue changes what the next samples carry. Requests of the stream
  // entity obey failOption and muteOption with command 0x5D and option 1 or 2.
  void setSamplePeriodMs(uint32_t periodMs);
  void setStreamTimestamp(std::optional<uint64_t> timestamp);
  std::vector<uint32_t> streamPatterns() const;
  uint64_t samplesSent() const;
  // Long replies: GETs of (command, option), of any entity, are answered by count
  // continued packets and a final one (ModelContinued.h); Continued::kEndless keeps
  // sending continued packets, one per millisecond, until stopContinuedReplies(), which
  // also forgets every such choice.
  void continueReplies(uint8_t command, uint8_t option, int count);
  void stopContinuedReplies();
  // Store slots (command 0x04): stores 0 and 1 with slots 0 to 7 of 4096 bytes exist
  // from the start. failSlot puts a fault on one operation (kSlotOpenWrite, ...).
  void setSlot(uint8_t store, uint8_t slot, uint16_t capacity, const std::vector<uint8_t>& bytes = {});
  void removeSlot(uint8_t store, uint8_t slot);
  std::vector<uint8_t> slotBytes(uint8_t store, uint8_t slot) const;
  size_t openSlotHandles() const;
  void failSlot(uint8_t op, const ReplyFault& fault);
  // Factory data (command 0x5E): 16 slots, empty at the start, 1024 bytes at most.
  void setFactoryData(uint8_t slot, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> factoryData(uint8_t slot) const;
  void setFactoryCapacity(size_t capacity);
  void failFactory(FactoryPacket packet, const ReplyFault& fault);

  // Packets the module sends unasked (stream samples, endless runs) due by nowMs;
  // returns when its next one is due (kNever: none). Network::attach makes this a
  // source of the device.
  uint64_t takeDue(uint64_t nowMs, std::vector<WirePacket>& out);
  // Called after a knob changed when the next such packet is due.
  void setWaker(std::function<void()> waker);

 private:
  using Key = std::pair<uint8_t, uint8_t>;
  struct Incoming {   // a byte-sequence SET being assembled
    std::vector<uint8_t> bytes;
    uint8_t expected = 0;
    uint8_t failed = 0;   // code to answer once the last chunk arrives
    bool active = false;
  };

  struct UeiRequest {
    uint8_t command = 0;
    uint8_t flags = 0;         // GET or SET
    uint8_t option = 0;
    uint8_t index = 0;
    uint8_t replyOption = 0;   // the option byte of the answer
  };

  bool handleLocked(const WirePacket& in, std::vector<WirePacket>& out);
  // Checks the framing of a host's UEI request and applies the mute and failure knobs
  // and the index check; true when the request is still to be answered.
  bool ueiRequest(const std::vector<uint8_t>& d, UeiRequest& r, std::vector<WirePacket>& out) const;
  void uei(const WirePacket& in, std::vector<WirePacket>& out);
  void stream(const std::vector<uint8_t>& d, std::vector<WirePacket>& out);
  void sampleRoundLocked(std::vector<WirePacket>& out);
  void wake() const;
  void ueiGet(const OptionSpec& spec, uint8_t index, const std::vector<uint8_t>& d,
              std::vector<WirePacket>& out);
  void ueiSet(const OptionSpec& spec, uint8_t index, const std::vector<uint8_t>& d,
              std::vector<WirePacket>& out);
  void i2c(const std::vector<uint8_t>& d, std::vector<WirePacket>& out);
  void info(const std::vector<uint8_t>& d, std::vector<WirePacket>& out);
  WirePacket packet(std::vector<uint8_t> data) const;
  WirePacket error(uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code) const;
  uint32_t valueLocked(uint8_t command, uint8_t option, uint8_t subindex) const;

  mutable std::mutex mutex_;
  uint8_t address_;
  std::map<Key, OptionSpec> table_;
  std::map<std::pair<Key, uint8_t>, uint32_t> values_;
  std::map<Key, std::vector<uint8_t>> bytes_;
  std::map<Key, Incoming> incoming_;
  std::map<Key, uint8_t> failures_;
  std::set<Key> muted_;
  std::map<Key, unsigned> acks_;
  std::map<uint8_t, uint8_t> classes_;
  std::map<Key, std::pair<uint8_t, uint8_t>> subClasses_;
  std::set<Key> extraUEIs_;
  std::set<uint8_t> i2cDevices_;
  std::map<uint8_t, std::vector<uint8_t>> i2cMemory_;
  std::vector<std::vector<uint8_t>> i2cWrites_;
  bool pullup_ = false;
  Stream stream_;
  Continued continued_;
  Slots slots_;
  Factory factory_;
  std::function<void()> waker_;
};

}  // namespace model
}  // namespace devsim

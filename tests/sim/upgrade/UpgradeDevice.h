#pragma once
// The upgrade entity of a simulated module (command 0x5F): a state machine over a flash
// model, parsed from the wire form alone.
//
// Running firmware -> INIT -> loader blocks (PREPARE, DATA..., SUM) -> LOAD (the loader
// runs; the module may leave its link and come back) -> firmware pieces (PREPARE, then
// DATA... or one UEI byte sequence, SUM, WRITE per piece) -> REBOOT (the module leaves
// and comes back running what the flash holds).
//
// Anything the host does out of order is answered as a module would (a bad status or
// nothing) and counted in protocolErrors(), so tests can insist on a clean exchange.
// Every public method is thread-safe.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/sim/SimWire.h"

namespace devsim {
namespace upgrade {

constexpr uint8_t kCmdUpgrade = 0x5F;
enum Option : uint8_t {
  kInit = 0,
  kData = 1,
  kLoad = 2,
  kPrepare = 3,
  kSum = 4,
  kWrite = 5,
  kReboot = 6,
  kStatus = 7,
  kDataUei = 10,
};

// Ways to fail on purpose. Counters give how many replies are spoiled; -1 spoils all.
struct Faults {
  int wrongCount = 0;        // DATA acknowledged with one byte less than sent
  int wrongSum = 0;          // SUM answered with a sum off by one
  int badPrepare = 0;        // PREPARE answered with status 1
  int badWrite = 0;          // WRITE answered with status 1
  int badSum = 0;            // SUM answered with status 1 and the right sum
  int silent = 0;            // requests of silentOption are not answered
  int silentOption = -1;
  int shortReply = 0;        // replies to shortOption lose their value bytes
  int shortOption = -1;
  uint32_t failFirmwareAddress = 0xFFFFFFFF;   // PREPARE of the piece at this address: every SUM there wrong
};

struct Settings {
  uint16_t blockSize = 256;       // named in every PREPARE reply
  uint32_t loadBase = 0x20000000;
  bool acceptUeiData = false;     // answers UEI sets of option 10
  // Starts as a loader already running from RAM (put there by the chip's boot ROM):
  // firmware pieces are taken without INIT and LOAD first.
  bool loaderRunning = false;
  // Another host updating the module too: once the takenOverAt-th request of option
  // takenOverOption (-1: never) is answered, it takes the module (its newer connection
  // replaces the served one) and writes a piece of its own, kOtherHostPiece zero bytes at
  // the first loader address while the module takes a loader, else at the first
  // firmware address; then the first host may connect again.
  int takenOverOption = -1;
  unsigned takenOverAt = 0;
  Faults faults;
};

constexpr unsigned kOtherHostPiece = 26;

// What the module does that its transport must carry out (leave the link, come back).
enum class Event { LoaderStarted, Rebooted };

struct Counts {
  unsigned requests[16] = {};     // per option (10 included)
  unsigned protocolErrors = 0;
  unsigned loaderStarts = 0;
  unsigned reboots = 0;
  unsigned takeOvers = 0;
};

class UpgradeDevice {
 public:
  using EventSink = std::function<void(Event)>;

  explicit UpgradeDevice(uint8_t address, Settings settings = Settings());

  uint8_t address() const { return address_; }
  void setSettings(const Settings& settings);
  Settings settings() const;
  // Called (on the transport's thread, without the lock) for LOAD and REBOOT. Without a
  // sink, LOAD is acknowledged at once and REBOOT changes nothing on the link.
  void setEventSink(EventSink sink);
  // True when the sink will acknowledge LOAD itself (after coming back).
  void setLoadAcknowledgedBySink(bool bySink);

  // Answers one packet to this module's address; false when it is no upgrade request.
  bool handle(const WirePacket& in, std::vector<WirePacket>& out);

  // The acknowledgement of LOAD, for a sink that sends it after coming back.
  WirePacket loadAcknowledgement() const;
  // True once, after the request that Settings::takenOverOption/takenOverAt name was
  // handled: its transport then lets the other host take the module.
  bool takeOverDue();
  // What that other host does while it holds the module: PREPARE at the first address,
  // one piece of zeros, SUM (and WRITE for firmware). Counted as taken_over.
  void otherHostPiece();

  // Flash as written by WRITE: address -> byte. image() gives the bytes from the lowest
  // to the highest written address (gaps 0xFF) and that lowest address.
  std::vector<uint8_t> image(uint32_t* lowest) const;
  // Loader memory (the loader blocks' bytes as received), the same way.
  std::vector<uint8_t> loaderImage(uint32_t* lowest) const;
  Counts counts() const;
  std::string stateName() const;
  // key=value lines for a stats file.
  std::string report() const;

 private:
  enum class State { Running, Announced, LoaderRunning };
  enum class Target { None, Loader, Firmware };

  WirePacket packet(std::vector<uint8_t> data) const;
  bool spoil(int& counter);
  void uei(const std::vector<uint8_t>& d, std::vector<WirePacket>& out);
  void protocolError();

  mutable std::mutex mutex_;
  const uint8_t address_;
  Settings settings_;
  EventSink sink_;
  bool loadBySink_ = false;
  State state_ = State::Running;
  Target target_ = Target::None;
  uint32_t cursor_ = 0;            // where the next piece goes
  uint32_t firstLoader_ = 0;       // the first loader and firmware PREPAREs' addresses
  uint32_t firstFirmware_ = 0;
  bool takeOverDue_ = false;
  bool spoiledPiece_ = false;
  std::vector<uint8_t> pending_;   // bytes received since the last PREPARE or WRITE
  std::vector<uint8_t> ueiIncoming_;
  uint8_t ueiExpected_ = 0;
  bool ueiBroken_ = false;
  std::map<uint32_t, uint8_t> flash_;
  std::map<uint32_t, uint8_t> loader_;
  Counts counts_;
};

}  // namespace upgrade
}  // namespace devsim

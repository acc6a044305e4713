#pragma once
// The boot ROM of an LPC17xx chip in its in-system-programming mode, as seen from its
// UART: autobaud on "?", the synchronisation and crystal lines, then ASCII command
// lines with return codes, uuencoded data with checksums, a 512 KiB NOR flash in 30
// sectors and two RAM banks. Transport-neutral and single-threaded: a front end feeds
// it the host's bytes with their line rate and takes its answers when they are due.
//
// Test code with its own parser, encoder and checksum: it shares nothing with the
// updater's ISP client.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lpcsim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// The ISP return codes.
enum Code : int {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  BUSY = 11,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
};

constexpr uint32_t kFlashSize = 512 * 1024;
constexpr uint32_t kSectorCount = 30;
constexpr uint32_t kRamSize = 32 * 1024;
constexpr uint32_t kRamBases[2] = {0x10000000u, 0x2007C000u};
constexpr uint32_t kUnlockCode = 23130;
constexpr uint32_t kLinesPerChecksum = 20;
constexpr uint32_t kBytesPerLine = 45;

// First address and size of a flash sector (0..29).
uint32_t sectorStart(uint32_t sector);
uint32_t sectorSize(uint32_t sector);
// The sector holding a flash address; kSectorCount when none does.
uint32_t sectorOf(uint32_t address);

// uuencoding as the ISP uses it: a length character, then four characters per three
// bytes, a zero six-bit value written as the grave accent.
std::string uuEncodeLine(const uint8_t* data, size_t count);
// false when the line is not one well-formed uuencoded line.
bool uuDecodeLine(const std::string& line, Bytes& out);

struct ChipOptions {
  std::array<uint32_t, 4> serial = {0x11223344u, 0x55667788u, 0x99AABBCCu, 0xDDEEFF00u};
  uint32_t partId = 0x26013F37u;  // an LPC1768: 512 KiB flash, 64 KiB RAM
  uint8_t bootMajor = 4;
  uint8_t bootMinor = 1;
  uint32_t eraseMs = 100;  // one erase command, any number of sectors
};

class IspChip {
 public:
  explicit IspChip(const ChipOptions& options = ChipOptions());

  // One byte from the host, sent at lineRate (0: not known, taken as the right rate).
  void receive(uint8_t byte, uint32_t lineRate, Clock::time_point now);
  // While busy (erasing) the chip takes no byte from its UART.
  bool busy(Clock::time_point now) const { return now < busyUntil_; }
  Clock::time_point busyUntil() const { return busyUntil_; }
  // Answer bytes ready to leave at now, in order, appended to out, each with the rate
  // the chip's UART ran at when it sent it.
  void takeOutput(Clock::time_point now, std::vector<std::pair<uint8_t, uint32_t>>& out, size_t max = SIZE_MAX);
  // When the next answer byte becomes ready; nullopt when none is waiting.
  std::optional<Clock::time_point> nextOutput() const;

  // The rate the chip's UART runs at: fixed by the first "?" after reset, changed by B;
  // 0 before that (or when the host's rate was not known).
  uint32_t rate() const { return rate_; }
  // The transform a byte suffers when sender and receiver run at different rates: it
  // never yields a character the protocol uses.
  static uint8_t garble(uint8_t byte) { return static_cast<uint8_t>((byte ^ 0xA5) | 0x80); }

  // Power-on reset: autobaud, echo on, locked, no sector prepared, RAM undefined.
  // Flash keeps its contents; knobs and records stay.
  void reset();

  // Knobs.
  void setSerial(const std::array<uint32_t, 4>& serial) { options_.serial = serial; }
  void setEraseMs(uint32_t ms) { options_.eraseMs = ms; }
  // The next `times` commands with this letter are answered with code and do nothing.
  void failCommand(char letter, int code, int times);
  // The next `times` commands with this letter are answered with exactly text (after
  // their echo) and do nothing.
  void answerCommand(char letter, const std::string& text, int times = 1) { scripted_[letter] = {text, times}; }
  // Once: when a command line begins with letter, the chip neither echoes nor takes
  // anything more and sends byte after byte without a pause, until reset. A front end
  // asks flooding() and sends as fast as the line takes it.
  void floodOn(char letter, uint8_t byte) { floodTrigger_ = std::make_pair(letter, byte); }
  std::optional<uint8_t> flooding() const { return flood_; }
  // Once: from the first command line that begins with letter on, the chip echoes
  // nothing (that line included), whatever its echo setting says; it still takes and
  // answers every command. Until reset.
  void stopEchoAt(char letter) { echoStopTrigger_ = letter; }
  // The next checksum of a W data phase is answered RESEND whatever it says.
  void resendOnce() { resendNext_ = true; }
  // Takes every byte and answers nothing, not even an echo.
  void setSilent(bool silent) { silent_ = silent; }
  void setFlash(uint32_t address, const Bytes& bytes);

  // Records.
  const Bytes& flash() const { return flash_; }
  const std::vector<std::string>& commands() const { return commands_; }
  std::optional<uint32_t> goAddress() const { return goAddress_; }
  bool echo() const { return echo_; }
  bool running() const { return state_ == State::Running; }
  uint64_t garbledBytes() const { return garbled_; }
  uint32_t syncs() const { return syncs_; }
  // Bytes the chip has sent and received (garbled ones included), for wire-time figures.
  uint64_t bytesIn() const { return bytesIn_; }
  uint64_t bytesOut() const { return bytesOut_; }
  // Of bytesOut, the echoes: they leave while the host's bytes still come in.
  uint64_t bytesEchoed() const { return bytesEchoed_; }

 private:
  enum class State { Autobaud, SyncLine, CrystalLine, Command, WriteData, ReadData, Running };

  void send(const std::string& text);
  void sendCode(int code) { send(std::to_string(code) + "\r\n"); }
  void lineComplete(const std::string& line, Clock::time_point now);
  void command(const std::string& line, Clock::time_point now);
  void writeDataLine(const std::string& line);
  void readDataAnswer(const std::string& line);
  void sendReadGroup();

  // Memory: a host pointer for [address, address + count) in RAM or flash, else null.
  uint8_t* ram(uint32_t address, uint32_t count);
  const uint8_t* memory(uint32_t address, uint32_t count);

  int cmdWrite(const std::vector<uint32_t>& a);
  int cmdRead(const std::vector<uint32_t>& a);
  int cmdPrepare(const std::vector<uint32_t>& a);
  int cmdErase(const std::vector<uint32_t>& a, Clock::time_point now);
  int cmdCopy(const std::vector<uint32_t>& a);
  int cmdCompare(const std::vector<uint32_t>& a, std::string& extra);
  int cmdBlankCheck(const std::vector<uint32_t>& a, std::string& extra);

  ChipOptions options_;
  State state_ = State::Autobaud;
  bool echo_ = true;
  bool unlocked_ = false;
  bool silent_ = false;
  bool resendNext_ = false;
  uint32_t rate_ = 0;
  std::string line_;
  std::array<bool, kSectorCount> prepared_{};
  Bytes flash_;
  std::array<Bytes, 2> ram_;

  // W data phase: where the bytes go, how many, what the current group holds.
  uint32_t dataAddress_ = 0;
  uint32_t dataCount_ = 0;
  uint32_t dataDone_ = 0;  // acknowledged bytes
  Bytes group_;
  uint32_t groupLines_ = 0;
  bool groupBad_ = false;
  // R data phase.
  uint32_t readAcked_ = 0;
  uint32_t readSent_ = 0;

  std::map<char, std::pair<int, int>> failures_;  // letter -> (code, times left)
  std::map<char, std::pair<std::string, int>> scripted_;  // letter -> (answer, times left)
  std::optional<std::pair<char, uint8_t>> floodTrigger_;
  std::optional<uint8_t> flood_;
  std::optional<char> echoStopTrigger_;
  bool echoStopped_ = false;

  struct Pending {
    Clock::time_point ready;
    uint8_t byte;
    uint32_t rate;
  };
  std::deque<Pending> output_;
  Clock::time_point busyUntil_{};
  Clock::time_point now_{};  // time of the byte being handled

  std::vector<std::string> commands_;
  std::optional<uint32_t> goAddress_;
  uint64_t garbled_ = 0;
  uint32_t syncs_ = 0;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
  uint64_t bytesEchoed_ = 0;
};

}  // namespace lpcsim

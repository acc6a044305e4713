#pragma once
// A simulated i.MX boot ROM in serial-download mode, independent of its transport: it
// takes 16-byte command frames and image bytes, and hands back what the ROM sends (its
// security state, answer words, or a stray byte). Its parser is written from the boot
// ROM's published command layout and shares nothing with the product's client.
//
// Commands: ERROR_STATUS (0x0505), WRITE_FILE (0x0404, answered once every image byte
// has arrived), JUMP_ADDRESS (0x0B0B; after a jump it takes the ROM answers nothing
// more), READ_REGISTER (0x0101; the fuse words at 0x401F4410 and 0x401F4420, else
// memory). Frames of any other type are ignored, as are frames after a jump.
//
// Every public method is thread-safe: a front end's thread feeds it while the test
// turns knobs and reads the record.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sdpsim {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kJumpAddress = 0x0B0B;

constexpr uint32_t kHabOpen = 0x56787856;     // security state of a development part
constexpr uint32_t kHabClosed = 0x12343412;   // security state of a locked part
constexpr uint32_t kWriteComplete = 0x88888888;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
// This model's answer word for a jump it refuses and for an image it did not take.
constexpr uint32_t kRefused = 0x33333333;

constexpr uint32_t kFuseWord0Address = 0x401F4410;
constexpr uint32_t kFuseWord1Address = 0x401F4420;

constexpr size_t kFrameBytes = 16;

// One thing the ROM sends. Over HID the security state is input report 3 and every
// other answer input report 4; on a serial line all of it is raw bytes.
struct Answer {
  enum Kind { SecurityState, Data, Stray } kind = Data;
  std::vector<uint8_t> bytes;
};

struct Knobs {
  bool habClosed = false;            // closed parts refuse the jump
  int dropStatusAnswers = 0;         // ERROR_STATUS commands left unanswered; -1 all
  bool strayDuringImage = false;     // one stray byte after the first block of each image
  uint32_t completionWord = kWriteComplete;   // answered after an image
  bool silentAfterImage = false;     // an image is taken and never answered
  std::set<uint32_t> refuseWritesAt; // images at these addresses are answered kRefused
  uint32_t fuse[2] = {0x0BADF00D, 0x1CEB00DA};
  uint32_t statusWord = kStatusOk;   // the ERROR_STATUS answer
};

struct Write {
  uint32_t address = 0;
  uint32_t count = 0;                // the data count of the command
  std::vector<uint8_t> bytes;        // as received
  bool complete = false;
};

struct Frame {
  uint16_t type = 0;
  uint32_t address = 0;
  uint8_t format = 0;
  uint32_t count = 0;
  uint32_t data = 0;
  std::vector<uint8_t> raw;          // the 16 bytes as received
};

class Rom {
 public:
  using JumpObserver = std::function<void(uint32_t address)>;

  explicit Rom(Knobs knobs = Knobs());

  void setKnobs(const Knobs& knobs);
  Knobs knobs() const;
  // Called (on the front end's thread, without the ROM's lock) for every jump it takes.
  void setJumpObserver(JumpObserver observer);

  // --- front end side ---
  // One 16-byte command frame.
  void command(const uint8_t* frame, std::vector<Answer>& out);
  // Image bytes of the WRITE_FILE in progress (at most dataExpected()).
  void data(const uint8_t* bytes, size_t length, std::vector<Answer>& out);
  // Image bytes the WRITE_FILE in progress still takes; 0 when the ROM waits for a command.
  size_t dataExpected() const;
  bool jumped() const;

  // --- the record ---
  std::vector<Frame> frames() const;             // every frame taken as a command, in order
  unsigned ignoredFrames() const;                // unknown types, and frames after a jump
  std::vector<Write> writes() const;
  // Memory as written (later writes over earlier ones); unwritten bytes are 0.
  std::vector<uint8_t> memory(uint32_t address, size_t length) const;
  std::optional<uint32_t> jumpAddress() const;
  unsigned statusCommands() const;
  // The written memory and the jump address as text, for failure messages and files.
  std::string dump() const;

 private:
  void dataLocked(const uint8_t* bytes, size_t length, std::vector<Answer>& out);
  void securityState(std::vector<Answer>& out) const;
  void word(uint32_t value, std::vector<Answer>& out) const;
  uint8_t byteAt(uint32_t address) const;

  mutable std::mutex mutex_;
  Knobs knobs_;
  // Held while the observer runs: once setJumpObserver returns, the old one is not
  // running and will not run again.
  std::mutex observerMutex_;
  JumpObserver onJump_;
  std::vector<Frame> frames_;
  unsigned ignored_ = 0;
  unsigned statusCommands_ = 0;
  std::vector<Write> writes_;
  bool receiving_ = false;
  bool strayDue_ = false;
  std::optional<uint32_t> jump_;
};

}  // namespace sdpsim

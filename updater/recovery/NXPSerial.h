#pragma once
// Client of the in-system-programming protocol that the boot ROM of an LPC17xx chip
// speaks on its UART: ASCII command lines ended by CR LF, decimal return-code lines,
// bulk data as uuencoded lines with a byte-sum checksum every 20 lines.
//
// It reads one byte at a time from its port, each read waiting a millisecond at most
// for its byte (the first byte of an answer may get longer); so every wait is a count
// of failed reads. Connect gives it a serial line; tests give it ports of their own. The recovery uses it to read the chip's serial
// number (Connect, Sync, GetDeviceID) and to rewrite its flash (Unlock, Prepare, Erase,
// SetEcho, Write, CopyToFlash, ExecuteFrom).
//
// One object is used by one thread at a time. Nothing throws.
#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include <memory>

#include "common/unix/aTime.h"
#include "updater/recovery/IspPort.h"

// The time of `bytes` characters of 9 bit times at baud, with two characters of slack,
// plus one millisecond.
uint32_t WAIT_TIME_MS(uint64_t bytes, uint32_t baud);

class NXPSerialClass {
public:
  static constexpr uint8_t MAX_ERROR = 20;
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz, told to the chip in kHz
  static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
  static constexpr uint32_t LINES_PER_CHECKSUM = 20;
  static constexpr uint32_t MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;  // the RAM buffer flash is written through
  static const char* const ERROR_TEXT[MAX_ERROR + 1];

  // Failed reads allowed for a command's return code, for the checksum answer of a
  // Write, and for the return code of Erase and CopyToFlash: an erase of all 30
  // sectors keeps the chip busy for about 100 ms, more than a command answer's
  // allowance, so those two get seconds.
  static constexpr uint32_t STATUS_TRIES = 100;
  static constexpr uint32_t CHECKSUM_TRIES = 2000;
  static constexpr uint32_t FLASH_STATUS_TRIES = 5000;
  // Bytes keep coming from a chip that floods, and a read that gets a byte costs no
  // try: every read loop also ends this long after its tries would have run out, and
  // after a budget of bytes it could not use.
  static constexpr uint32_t READ_SLACK_MS = 1000;

  struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
  };
  // Sectors 0 to 29 of the 512 KiB flash, then an end row (sector 30, no flash).
  static const Sector NXP_LPC17XX_sectors[31];

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Opens port at the first rate of 2400 .. 230400 that is at least baud (9600 when
  // none is); a raw 8N1 line. Closes an open port first.
  aErr Connect(const char* path, uint32_t baud);
  // Runs the open line at the rate Connect would open for rate; the chip must have been
  // told it first (SetBaudRate).
  aErr ChangeLineRate(uint32_t rate);
  // The rate Connect opens at for a requested baud, and its index in the rate table.
  static uint32_t LineRate(uint32_t baud, int* index = nullptr);
  aErr Disconnect();

  // Writes text; with readEcho the echo of all of it but its last character must come
  // back (GetEcho), or the result is aErrIO.
  aErr Send(const char* text, bool readEcho);
  // Writes a command line; with echo on, its echo (all but the final "\n") must come back
  // before anything else is read, or the result is aErrIO and EchoFailed() says so: a
  // return code that follows no echo may answer anything but this command.
  aErr SendCommand(const char* command, int waitMs);
  aErr Response(char* buffer, size_t bufferSize, size_t* count, const char* expected, size_t expectedLength);
  aErr GetLine(char* buffer, size_t size, size_t* count, uint32_t tries);
  // Reads back the echo of the first length characters of text: aErrNone only when all
  // of them came, in order and one after the other. Bytes before the echo begins (the
  // end of an earlier answer, noise) are passed over within a budget of bytes and time;
  // once it has begun, a byte that is not the next one of text ends it (aErrIO).
  // aErrTimeout when the echo stopped coming, aErrOverrun when the budget ran out.
  aErr GetEcho(const char* text, size_t length, size_t* count);
  // Whether the last text sent with an echo to read (a command with echo on, a Send
  // with readEcho) failed because its echo did not come back whole.
  bool EchoFailed() const { return echoFailed_; }
  size_t GetErrorIndex(size_t count);
  static const char* GetErrorText(const char* line);

  // The autobaud handshake. A chip that is already synchronised (in command mode with
  // echo on) echoes the "?"; it is recognised by the return code it gives the line
  // the "?" began, and taken as synchronised.
  aErr Sync();
  // The chip's serial number into deviceID: only from a return code 0 and four lines of
  // one whole 32-bit number each. aErrParam when the chip refuses, aErrTimeout when it
  // stays silent, aErrIO for any other answer; deviceID is left as it was then.
  aErr GetDeviceID();
  aErr GetBootLoaderVersion(uint8_t* first, uint8_t* second);
  aErr GetPartNumber(long* partNumber);
  // Starts the chip at address; succeeds only when the chip answers the start with
  // return code 0 (aErrParam for another code, aErrTimeout or aErrIO for no code).
  aErr ExecuteFrom(uint32_t address);
  aErr SetEcho(bool on);
  // Tells the chip a new line rate; the line's own rate is left as it is.
  aErr SetBaudRate(uint32_t rate);
  aErr Unlock();
  aErr Prepare(uint32_t firstSector, uint32_t lastSector);
  aErr Erase(uint32_t firstSector, uint32_t lastSector);
  aErr Read(uint32_t address, uint32_t count, uint8_t* out);
  aErr Write(uint32_t address, uint32_t count, const uint8_t* data);
  aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);

  static uint32_t sum(const uint8_t* data, uint32_t count);
  static char uuchar(uint32_t value);
  // Writes the line (length character, four characters per three bytes, NUL) into out,
  // which holds at least 2 + 4 * ceil(count / 3) characters; returns count.
  static uint32_t uuencode(char* out, const uint8_t* data, uint32_t count);
  // The line's data bytes into out; 0 (nothing stored) when they do not fit outSize.
  static uint32_t uudecode(uint8_t* out, uint32_t outSize, const char* line);
  static uint32_t CopyLength(uint32_t count);
  static uint32_t SectorFromAddress(uint32_t address);

  std::unique_ptr<IspPort> port;
  bool echo = true;
  uint32_t baud = 0;
  uint32_t deviceID[4] = {0, 0, 0, 0};

private:
  bool echoFailed_ = false;
  // Reads the echo of text's first length characters for a text just written, and
  // records whether it came.
  aErr awaitEcho(const char* text, size_t length);
  // One byte, waited for waitMs at most (a port whose line failed answers at once).
  aErr readByte(uint8_t* byte, uint32_t waitMs);
  aTime deadlineFor(uint32_t tries) const;
  static bool pastDeadline(aTime deadline);
  // Reads one answer line that must be a return code: aErrTimeout when nothing came,
  // aErrIO when the line is something else.
  aErr readReturnCode(uint32_t tries, long* code);
  // How a command's failures are logged.
  enum class Logging { Quiet, Command, Write };
  // The status rule: the answer line's status character after a command was sent.
  aErr status(const char* command, uint32_t tries, Logging logging);
  aErr simpleCommand(const char* command);
};

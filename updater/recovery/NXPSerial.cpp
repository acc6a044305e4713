#include "updater/recovery/NXPSerial.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/unix/aSerial.h"
#include "common/unix/aTime.h"
#include "updater/cli/Log.h"
#include "updater/recovery/SerialLinePort.h"

namespace {

// The rate Connect falls back to when the one asked for is above every rate of the line.
constexpr uint32_t kDefaultRate = 9600;
constexpr uint32_t kUnlockCode = 23130;  // the protocol's published unlock code
constexpr size_t kAnswerSize = 1024;
constexpr size_t kNumberLineSize = 32;

bool active(uint32_t mask) { return (Log::package_bitmask & mask) != 0; }

bool printable(uint8_t c) { return c >= 0x20 && c < 0x7F; }

std::string hexBytes(const uint8_t* bytes, size_t count) {
  std::string out;
  char text[4];
  for (size_t i = 0; i < count; i++) {
    std::snprintf(text, sizeof text, "%02X", bytes[i]);
    if (i > 0) out += ' ';
    out += text;
  }
  return out;
}

// Carriage return and line feed spelled out, other unprintable bytes as blanks.
std::string escapedChars(const uint8_t* bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; i++) {
    if (bytes[i] == '\r')
      out += "\\r";
    else if (bytes[i] == '\n')
      out += "\\n";
    else
      out += printable(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
  }
  return out;
}

std::string blankedChars(const uint8_t* bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; i++) out += printable(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
  return out;
}

const uint8_t* u8(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// A line the chip gives as a return code: digits, then CR LF.
bool isReturnCodeLine(const char* line, size_t count) {
  if (count < 3 || line[count - 2] != '\r' || line[count - 1] != '\n') return false;
  for (size_t i = 0; i + 2 < count; i++)
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  return true;
}

// The return code of a line the chip gives as one (digits, then CR LF), or -1.
long returnCodeOf(const char* line, size_t count) {
  if (!isReturnCodeLine(line, count) || count > 2 + 9) return -1;
  return std::strtol(line, nullptr, 10);
}

// One whole unsigned number that fits 32 bits on a line of its own (ended by CR LF),
// in the bases strtoul reads by itself: decimal, "0x" hexadecimal, leading-0 octal.
bool wholeNumberLine(const char* line, size_t count, uint32_t* value) {
  if (count < 3 || line[count - 2] != '\r' || line[count - 1] != '\n') return false;
  const std::string body(line, count - 2);
  if (!std::isdigit(static_cast<unsigned char>(body[0]))) return false;  // no sign, no blank
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(body.c_str(), &end, 0);
  if (errno == ERANGE || end != body.c_str() + body.size() || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// One uuencoded line with its CR LF: a length character for 1 to room bytes, then four
// characters for every three of them.
bool isDataLine(const char* line, size_t count, uint32_t room) {
  if (count < 3 || line[count - 2] != '\r' || line[count - 1] != '\n') return false;
  const uint32_t n = static_cast<uint32_t>((static_cast<uint8_t>(line[0]) - 0x20) & 0x3F);
  if (n == 0 || n > room) return false;
  return count - 2 == 1 + 4 * ((static_cast<size_t>(n) + 2) / 3);
}

}  // namespace

uint32_t WAIT_TIME_MS(uint64_t bytes, uint32_t baud) {
  // No rate yet (nothing connected): the slowest rate the client opens at.
  if (baud == 0) baud = aSerial_BaudRate(0);
  return static_cast<uint32_t>((bytes * 9000 + 18000) / baud + 1);
}

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

uint32_t NXPSerialClass::LineRate(uint32_t rate, int* index) {
  int32_t chosen = aSerial_BaudIndex(kDefaultRate);
  // The serial layer's rates ascend with their index.
  for (int32_t i = 0; aSerial_BaudRate(i) != 0; i++) {
    if (aSerial_BaudRate(i) >= rate) {
      chosen = i;
      break;
    }
  }
  if (index != nullptr) *index = chosen;
  return aSerial_BaudRate(chosen);
}

aErr NXPSerialClass::Connect(const char* path, uint32_t rate) {
  Disconnect();
  int index = 0;
  baud = LineRate(rate, &index);
  Log::log(Log::DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", path ? path : "", index,
           static_cast<int>(baud));
  const aErr e = SerialLinePort::open(path, baud, &port);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", path ? path : "", aError_GetErrorText(e));
    return e;
  }
  // Whatever the line held before this session is no answer to it.
  port->flush();
  return aErrNone;
}

aErr NXPSerialClass::ChangeLineRate(uint32_t rate) {
  if (!port) return aErrNotReady;
  const uint32_t line = LineRate(rate);
  const aErr e = port->setRate(line);
  if (e == aErrNone) baud = line;
  return e;
}

aErr NXPSerialClass::Disconnect() {
  port.reset();
  return aErrNone;
}

aErr NXPSerialClass::readByte(uint8_t* byte, uint32_t waitMs) {
  if (!port) return aErrNotReady;
  return port->read(byte, aTime_GetMonotonicMSTicks() + waitMs);
}

aTime NXPSerialClass::deadlineFor(uint32_t tries) const {
  return aTime_GetMonotonicMSTicks() + tries + READ_SLACK_MS;
}

bool NXPSerialClass::pastDeadline(aTime deadline) { return aTime_GetMonotonicMSTicks() > deadline; }

aErr NXPSerialClass::Response(char* buffer, size_t bufferSize, size_t* count, const char* expected,
                              size_t expectedLength) {
  size_t limit = expected != nullptr ? expectedLength : (bufferSize > 0 ? bufferSize - 1 : 0);
  // The buffer bounds what is stored, whatever is expected.
  if (limit > bufferSize) limit = bufferSize;
  const uint32_t wait = WAIT_TIME_MS(expectedLength, baud) + 20;
  Log::log(Log::DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
           static_cast<int>(expectedLength), static_cast<int>(baud), static_cast<int>(wait));
  *count = 0;
  size_t i = 0;
  int matched = 0;
  int failures = 0;
  aErr e = aErrNone;
  // Skipped bytes do not advance the answer: they count against a budget of their own.
  size_t skipped = 0;
  const aTime deadline = deadlineFor(wait + 100);
  // The first byte may take the whole wait; after that each try is a millisecond.
  uint32_t window = wait;
  while (i < limit && matched < 2 && failures < 100) {
    if (skipped > kAnswerSize || pastDeadline(deadline)) {
      Log::log(Log::DEBUG_NXPSerial, "Response() gave up: %d bytes skipped\n", static_cast<int>(skipped));
      e = aErrOverrun;
      break;
    }
    uint8_t b = 0;
    e = readByte(&b, window);
    window = 1;
    if (e != aErrNone) {
      failures++;
      Log::log(Log::DEBUG_NXPSerial_E, ".");
      continue;
    }
    if (i == 0 && b == '\n') {
      Log::log(Log::DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      skipped++;
      continue;
    }
    if (i == 0 && b == '\r') {
      Log::log(Log::DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      skipped++;
      continue;
    }
    if (i <= 2 && b == 0) {
      Log::log(Log::DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      skipped++;
      continue;
    }
    if (expected != nullptr && static_cast<uint8_t>(expected[i]) != b) {
      const uint8_t x = static_cast<uint8_t>(expected[i]);
      Log::log(Log::DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(i), b, printable(b) ? b : ' ', printable(x) ? x : ' ', x);
    }
    matched = b == static_cast<uint8_t>("\r\n"[matched]) ? matched + 1 : 0;
    buffer[*count] = static_cast<char>(b);
    (*count)++;
    i++;
  }
  if (active(Log::DEBUG_NXPSerial_SR)) {
    const uint8_t* bytes = u8(buffer);
    Log::log(Log::DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", hexBytes(bytes, *count).c_str(),
             escapedChars(bytes, *count).c_str());
  }
  return e;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, uint32_t tries) {
  *count = 0;
  if (size == 0) return aErrParam;
  size_t i = 0;
  int matched = 0;
  uint32_t left = tries;
  aErr e = aErrNone;
  const aTime deadline = deadlineFor(tries);
  while (i < size - 1 && matched < 2 && left > 0) {
    if (pastDeadline(deadline)) {
      e = aErrTimeout;
      break;
    }
    uint8_t b = 0;
    e = readByte(&b, 1);
    if (e != aErrNone) {
      left--;
      Log::log(Log::DEBUG_NXPSerial_E, ".");
      continue;
    }
    if (i == 0 && b == '\n') {
      left--;
      Log::log(Log::DEBUG_NXPSerial_E, ",");
      continue;
    }
    matched = b == static_cast<uint8_t>("\r\n"[matched]) ? matched + 1 : 0;
    buffer[*count] = static_cast<char>(b);
    (*count)++;
    i++;
  }
  buffer[*count] = '\0';
  if (active(Log::DEBUG_NXPSerial_SR)) {
    const uint8_t* bytes = u8(buffer);
    Log::log(Log::DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n", hexBytes(bytes, *count).c_str(),
             blankedChars(bytes, *count).c_str(), static_cast<int>(*count), matched > 0 ? "term" : "non-term",
             aError_GetErrorText(e));
  }
  return e;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t length, size_t* count) {
  if (active(Log::DEBUG_NXPSerial_E)) {
    Log::log(Log::DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\nrecv Echo:[", hexBytes(u8(text), std::strlen(text)).c_str(),
             static_cast<int>(length));
  }
  // The echo of a long line at a slow rate takes longer than a command answer's
  // allowance: a data line of 61 characters at 2400 baud takes a quarter of a second.
  int left = static_cast<int>(STATUS_TRIES + WAIT_TIME_MS(length, baud));
  *count = 0;
  size_t p = 0;
  aErr e = aErrNone;
  // Bytes before the echo begins are passed over without costing a try (a line that
  // floods would otherwise hold the client for as long as it floods), within a budget.
  size_t dropped = 0;
  const aTime deadline = deadlineFor(static_cast<uint32_t>(left));
  while (p < length) {
    if (left <= 0 || pastDeadline(deadline)) {
      e = aErrTimeout;
      break;
    }
    if (dropped > kAnswerSize) {
      Log::log(Log::DEBUG_NXPSerial, "GetEcho() gave up: %d bytes that are no echo\n", static_cast<int>(dropped));
      e = aErrOverrun;
      break;
    }
    uint8_t b = 0;
    const aErr r = readByte(&b, 1);
    if (r != aErrNone) {
      left--;
      Log::log(Log::DEBUG_NXPSerial_E, ".");
    } else if (b == static_cast<uint8_t>(text[p])) {
      p++;
      (*count)++;
      Log::log(Log::DEBUG_NXPSerial_E, " %02X", b);
    } else if (p == 0) {
      dropped++;
      Log::log(Log::DEBUG_NXPSerial_E, " %.2X!=%.2X", b, static_cast<uint8_t>(text[p]));
    } else {
      // The echo began and broke off: what the chip took is not what was sent.
      Log::log(Log::DEBUG_NXPSerial_E, " %.2X!=%.2X", b, static_cast<uint8_t>(text[p]));
      e = aErrIO;
      break;
    }
  }
  Log::log(Log::DEBUG_NXPSerial_E, "]\n");
  return e;
}

aErr NXPSerialClass::awaitEcho(const char* text, size_t length) {
  size_t n = 0;
  const aErr e = GetEcho(text, length, &n);
  echoFailed_ = e != aErrNone;
  if (echoFailed_) {
    Log::log(Log::DEBUG_NXPSerial, "No echo of [%s]: %d of %d bytes came [%s]\n",
             blankedChars(u8(text), length).c_str(), static_cast<int>(n), static_cast<int>(length),
             aError_GetErrorText(e));
  }
  return e;
}

aErr NXPSerialClass::Send(const char* text, bool readEcho) {
  const size_t length = std::strlen(text);
  echoFailed_ = false;
  if (active(Log::DEBUG_NXPSerial_SR)) {
    Log::log(Log::DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(u8(text), length).c_str(),
             escapedChars(u8(text), length).c_str());
  }
  const aErr e = port ? port->write(u8(text), length) : aErrParam;
  if (e != aErrNone) {
    Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(e));
    return e;
  }
  if (readEcho && length > 0 && awaitEcho(text, length - 1) != aErrNone) return aErrIO;
  return aErrNone;
}

aErr NXPSerialClass::SendCommand(const char* command, int waitMs) {
  const size_t length = std::strlen(command);
  echoFailed_ = false;
  if (active(Log::DEBUG_NXPSerial_SR)) {
    Log::log(Log::DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(u8(command), length).c_str(),
             blankedChars(u8(command), length).c_str());
  }
  const aErr e = port ? port->write(u8(command), length) : aErrParam;
  if (waitMs > 0) {
    Log::log(Log::DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    aTime_MSSleep(static_cast<aTime>(waitMs));
  }
  if (e != aErrNone) {
    Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(e));
    Log::log(Log::DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(e));
    return e;
  }
  // With echo on the chip sends back every character it takes, before it answers. No
  // echo means the command never reached it whole, or something else answers on the
  // line: no return code that follows may be believed, or a "0" from anywhere would
  // pass for a start the chip never received.
  if (echo && length > 0 && awaitEcho(command, length - 1) != aErrNone) return aErrIO;
  return aErrNone;
}

size_t NXPSerialClass::GetErrorIndex(size_t count) {
  const size_t TERMINATION_SIZE = 2;
  return echo && count > TERMINATION_SIZE ? count - TERMINATION_SIZE - 1 : 0;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  const long code = std::strtol(line, nullptr, 0);
  if (code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

aErr NXPSerialClass::status(const char* command, uint32_t tries, Logging logging) {
  const aErr e = SendCommand(command, 0);
  if (e != aErrNone) {
    if (logging == Logging::Write)
      Log::log(Log::DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", command, aError_GetErrorText(e));
    else
      Log::log(Log::DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, aError_GetErrorText(e));
    return e;
  }
  char reply[kAnswerSize];
  size_t n = 0;
  GetLine(reply, sizeof reply, &n, tries);
  // The whole line is the return code: its last digit alone took "10" (COMPARE_ERROR)
  // and any noise with a 0 in that place for success.
  if (returnCodeOf(reply, n) == 0) return aErrNone;
  if (logging == Logging::Command)
    Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(reply));
  else if (logging == Logging::Write)
    Log::log(Log::DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", GetErrorText(reply));
  return aErrParam;
}

aErr NXPSerialClass::simpleCommand(const char* command) { return status(command, STATUS_TRIES, Logging::Quiet); }

aErr NXPSerialClass::Sync() {
  char buffer[kAnswerSize];
  std::memset(buffer, 0, sizeof buffer);
  size_t n = 0;
  Send("?", false);
  aErr r = Response(buffer, sizeof buffer, &n, "Synchronized\r\n", 14);
  if (r != aErrNone) {
    // One handshake per chip reset: a chip that is already in command mode (a
    // fingerprint read before, in this run or an earlier one) echoes the "?" instead
    // of answering it. The line end completes a command it refuses with a return
    // code, which proves command mode. A chip that sent nothing gets nothing more:
    // if it is still measuring the rate, "?" must be all it sees.
    if (n == 1 && buffer[0] == '?') {
      Log::log(Log::DEBUG_NXPSerial, "Sync: \"?\" echoed, checking for command mode\n");
      Send("\r\n", false);
      for (int line = 0; line < 3; line++) {
        char reply[kNumberLineSize];
        size_t k = 0;
        GetLine(reply, sizeof reply, &k, STATUS_TRIES);
        if (k == 2 && reply[0] == '\r') continue;  // the echo of the line end
        if (isReturnCodeLine(reply, k)) {
          Log::log(Log::DEBUG_NXPSerial, "Sync: chip already synchronised, echo on\n");
          echo = true;
          return aErrNone;
        }
        break;
      }
    }
    Log::log(Log::DEBUG_NXPSerial,
             "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n", "Synchronized\r\n",
             buffer);
    return r;
  }
  if (std::strncmp(buffer, "Synchronized\r\n", 14) != 0)
    Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s]\n", "Synchronized\r\n");
  Send("Synchronized\r\n", false);
  Response(buffer, sizeof buffer, &n, "Synchronized\r\n", 13);

  std::memset(buffer, 0, sizeof buffer);
  n = 0;
  aErr failure = aErrNone;
  Response(buffer, sizeof buffer, &n, "OK\r\n", 4);
  if (std::strncmp(buffer, "OK", 2) != 0) {
    Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, "OK\r\n");
    failure = aErrIO;
  }
  char crystal[32];
  std::snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
  Send(crystal, false);
  Response(buffer, sizeof buffer, &n, crystal, 6);
  r = Response(buffer, sizeof buffer, &n, "OK\r\n", 4);
  return failure != aErrNone ? failure : r;
}

aErr NXPSerialClass::readReturnCode(uint32_t tries, long* code) {
  char reply[kAnswerSize];
  size_t n = 0;
  GetLine(reply, sizeof reply, &n, tries);
  *code = returnCodeOf(reply, n);
  if (*code >= 0) return aErrNone;
  Log::log(Log::DEBUG_NXPSerial, "No return code: [%s]\n", blankedChars(u8(reply), n).c_str());
  return n == 0 ? aErrTimeout : aErrIO;
}

aErr NXPSerialClass::GetDeviceID() {
  // The words become the key the firmware is decoded with: only a return code 0 and
  // four whole 32-bit numbers are taken, and nothing is kept from a partial answer.
  aErr e = SendCommand("N\r\n", 0);
  if (e != aErrNone) return e;
  long code = -1;
  e = readReturnCode(STATUS_TRIES, &code);
  if (e != aErrNone) return e;
  if (code != 0) {
    Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", code > MAX_ERROR ? ERROR_TEXT[MAX_ERROR] : ERROR_TEXT[code]);
    return aErrParam;
  }
  uint32_t words[4] = {0, 0, 0, 0};
  for (uint32_t& word : words) {
    char number[kNumberLineSize];
    size_t n = 0;
    GetLine(number, sizeof number, &n, STATUS_TRIES);
    if (!wholeNumberLine(number, n, &word)) {
      Log::log(Log::DEBUG_NXPSerial, "GetDeviceID() not a 32-bit number: [%s]\n", blankedChars(u8(number), n).c_str());
      return n == 0 ? aErrTimeout : aErrIO;
    }
  }
  for (size_t i = 0; i < 4; i++) deviceID[i] = words[i];
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* first, uint8_t* second) {
  const aErr e = SendCommand("K\r\n", 0);
  if (e != aErrNone) return e;
  char line[kAnswerSize];
  size_t n = 0;
  GetLine(line, sizeof line, &n, STATUS_TRIES);
  GetLine(line, sizeof line, &n, STATUS_TRIES);
  *first = static_cast<uint8_t>(std::strtol(line, nullptr, 0));
  GetLine(line, sizeof line, &n, STATUS_TRIES);
  *second = static_cast<uint8_t>(std::strtol(line, nullptr, 0));
  Log::log(Log::DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *first, *second);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* partNumber) {
  const aErr e = SendCommand("J\r\n", 0);
  if (e != aErrNone) return e;
  char line[kAnswerSize];
  size_t n = 0;
  GetLine(line, sizeof line, &n, STATUS_TRIES);
  GetLine(line, sizeof line, &n, STATUS_TRIES);
  *partNumber = std::strtol(line, nullptr, 0);
  Log::log(Log::DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(*partNumber));
  return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char command[48];
  std::snprintf(command, sizeof command, "G %" PRIu32 " T\r\n", address);
  aErr e = SendCommand(command, 0);
  if (e != aErrNone) return e;
  // The chip answers before it jumps; a refused start (locked, an address it does not
  // run from, read protection) leaves it in ISP mode, and the firmware never runs.
  long code = -1;
  e = readReturnCode(STATUS_TRIES, &code);
  if (e != aErrNone) return e;
  if (code == 0) return aErrNone;
  Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", code > MAX_ERROR ? ERROR_TEXT[MAX_ERROR] : ERROR_TEXT[code]);
  return aErrParam;
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(Log::DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  const aErr e = simpleCommand(on ? "A 1\r\n" : "A 0\r\n");
  if (e == aErrNone) echo = on;
  return e;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate) {
  char command[48];
  std::snprintf(command, sizeof command, "B %" PRIu32 " 1\r\n", rate);
  return simpleCommand(command);
}

aErr NXPSerialClass::Unlock() {
  char command[32];
  std::snprintf(command, sizeof command, "U %" PRIu32 "\r\n", kUnlockCode);
  return simpleCommand(command);
}

aErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector) {
  if (lastSector < firstSector) return aErrParam;
  char command[48];
  std::snprintf(command, sizeof command, "P %" PRIu32 " %" PRIu32 "\r\n", firstSector, lastSector);
  return status(command, STATUS_TRIES, Logging::Command);
}

aErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector) {
  if (lastSector < firstSector) return aErrParam;
  char command[48];
  std::snprintf(command, sizeof command, "E %" PRIu32 " %" PRIu32 "\r\n", firstSector, lastSector);
  return status(command, FLASH_STATUS_TRIES, Logging::Command);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096)) return aErrParam;
  char command[64];
  std::snprintf(command, sizeof command, "C %" PRIu32 " %" PRIu32 " %" PRIu32 "\r\n", flashAddress, ramAddress, count);
  return status(command, FLASH_STATUS_TRIES, Logging::Command);
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char command[48];
  std::snprintf(command, sizeof command, "W %" PRIu32 " %" PRIu32 "\r\n", address, count);
  aErr e = status(command, STATUS_TRIES, Logging::Write);
  if (e != aErrNone) return e;

  uint32_t position = 0, acknowledged = 0, lines = 0, retries = MAX_READ_RETRY;
  aErr failure = aErrNone;
  char line[2 + 4 * ((MAX_BYTES_PER_LINE + 2) / 3)];
  while (position < count && failure == aErrNone) {
    const uint32_t length = count - position < MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
    uuencode(line, data + position, length);
    // A line that did not go out, or whose echo (echo on) did not come back, is not in
    // the chip's RAM; nothing more is sent after it.
    if ((failure = Send(line, echo)) != aErrNone || (failure = Send("\r\n", echo)) != aErrNone) {
      Log::log(Log::DEBUG_NXPSerial, "Write() data line not sent [%s]\n", aError_GetErrorText(failure));
      break;
    }
    position += length;
    lines++;
    if (lines < LINES_PER_CHECKSUM && position < count) continue;

    const uint32_t s = sum(data + acknowledged, position - acknowledged);
    Log::log(Log::DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", s, s);
    char checksum[24];
    std::snprintf(checksum, sizeof checksum, "%" PRIu32 "\r\n", s);
    if ((failure = Send(checksum, echo)) != aErrNone) {
      Log::log(Log::DEBUG_NXPSerial, "Write() checksum not sent [%s]\n", aError_GetErrorText(failure));
      break;
    }
    const aTime t0 = aTime_GetMonotonicMSTicks();
    char reply[kAnswerSize];
    size_t n = 0;
    GetLine(reply, sizeof reply, &n, CHECKSUM_TRIES);
    Log::log(Log::DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             static_cast<int>(aTime_GetMonotonicMSTicks() - t0 + 1));
    if (std::strcmp(reply, "OK\r\n") == 0) {
      acknowledged = position;
      Log::log(Log::DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
               static_cast<int>(position), static_cast<int>(count), position * 100.0 / count);
    } else if (std::strcmp(reply, "RESEND\r\n") == 0) {
      retries--;
      if (retries >= 1) {
        position = acknowledged;
      } else {
        failure = aErrTimeout;
        Log::log(Log::DEBUG_NXPSerial, "Write() exceeded retries\n");
      }
    } else {
      failure = aErrIO;
      Log::log(Log::DEBUG_NXPSerial, "Write() unexpected response [%s]\n", reply);
    }
    lines = 0;
  }
  return failure;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* out) {
  if (count == 0 || count % 4 != 0 || out == nullptr) return aErrParam;
  char command[48];
  std::snprintf(command, sizeof command, "R %" PRIu32 " %" PRIu32 "\r\n", address, count);
  aErr e = status(command, STATUS_TRIES, Logging::Command);
  if (e != aErrNone) return e;

  uint32_t position = 0, acknowledged = 0, lines = 0, retries = MAX_READ_RETRY;
  aErr failure = aErrNone;
  char line[kAnswerSize];
  size_t n = 0;
  while (position < count && failure == aErrNone) {
    GetLine(line, sizeof line, &n, STATUS_TRIES);
    // Only a whole uuencoded line that fits what is left moves on: a silent chip or a
    // line of another kind would otherwise decode nothing (or bytes never sent) and
    // be "acknowledged" by an equally empty checksum line, round after round.
    if (!isDataLine(line, n, count - position)) {
      Log::log(Log::DEBUG_NXPSerial, "Read() not a data line [%s]\n", blankedChars(u8(line), n).c_str());
      failure = aErrIO;
      break;
    }
    position += uudecode(out + position, count - position, line);
    lines++;
    if (lines < LINES_PER_CHECKSUM && position < count) continue;

    GetLine(line, sizeof line, &n, STATUS_TRIES);
    const uint32_t expected = static_cast<uint32_t>(std::strtol(line, nullptr, 0));
    if (expected == sum(out + acknowledged, position - acknowledged)) {
      // The chip echoes the "OK" only with echo on; without it the next group's
      // lines follow at once and must not be taken for an echo. With it, the echo
      // must come before the next group is read.
      if ((failure = Send("OK\r\n", echo)) != aErrNone) break;
      acknowledged = position;
      Log::log(Log::DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
               static_cast<int>(count), position * 100.0 / count);
    } else {
      retries--;
      if (retries < 1) {
        failure = aErrTimeout;
      } else if ((failure = Send("RESEND\r\n", echo)) == aErrNone) {
        position = acknowledged;
      }
    }
    lines = 0;
  }
  return failure;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, uint32_t count) {
  uint32_t s = 0;
  for (uint32_t i = 0; i < count; i++) s += data[i];
  return s;
}

char NXPSerialClass::uuchar(uint32_t value) {
  const uint32_t c = (value & 0x3F) + 0x20;
  return static_cast<char>(c == 0x20 ? 0x60 : c);
}

uint32_t NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t count) {
  size_t at = 0;
  out[at++] = uuchar(count);
  for (uint32_t i = 0; i < count; i += 3) {
    const uint32_t b0 = data[i];
    const uint32_t b1 = i + 1 < count ? data[i + 1] : 0;
    const uint32_t b2 = i + 2 < count ? data[i + 2] : 0;
    const uint32_t v = b0 * 65536 + b1 * 256 + b2;
    out[at++] = uuchar(v >> 18);
    out[at++] = uuchar(v >> 12);
    out[at++] = uuchar(v >> 6);
    out[at++] = uuchar(v);
  }
  out[at] = '\0';
  return count;
}

uint32_t NXPSerialClass::uudecode(uint8_t* out, uint32_t outSize, const char* line) {
  // An empty line has no length character: the groups would be read past its end.
  if (line[0] == '\0') return 0;
  const uint32_t n = static_cast<uint32_t>((static_cast<uint8_t>(line[0]) - 0x20) & 0x3F);
  if (n > outSize) return 0;
  uint32_t stored = 0;
  const char* p = line + 1;
  while (stored < n) {
    uint32_t c[4];
    for (int k = 0; k < 4; k++) {
      if (p[k] == '\0') {
        Log::log(Log::DEBUG_NXPSerial, "Error buffer overrun\n");
        return n;
      }
      c[k] = static_cast<uint32_t>((static_cast<uint8_t>(p[k]) - 0x20) & 0x3F);
    }
    const uint8_t bytes[3] = {static_cast<uint8_t>((c[0] << 2) | (c[1] >> 4)),
                              static_cast<uint8_t>(((c[1] << 4) | (c[2] >> 2)) & 0xFF),
                              static_cast<uint8_t>(((c[2] << 6) | c[3]) & 0xFF)};
    for (int k = 0; k < 3 && stored < n; k++) out[stored++] = bytes[k];
    p += 4;
  }
  return n;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count) {
  if (count <= 256) return 256;
  if (count <= 512) return 512;
  if (count <= 1024) return 1024;
  if (count <= 4096) return 4096;
  Log::log(Log::DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
  return count;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  for (const Sector& s : NXP_LPC17XX_sectors) {
    if (s.size != 0 && address >= s.start && address - s.start < s.size) return s.number;
  }
  return NXP_LPC17XX_sectors[30].number;
}

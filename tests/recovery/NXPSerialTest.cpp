// The ISP client against a scripted port: the chip's answers are bytes written by
// hand here, and every byte the client sends is checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/recovery/ScriptedPort.h"
#include "updater/recovery/NXPSerial.h"
#include "updater/recovery/SerialLinePort.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A client whose port is scripted; echo as the test sets it.
class Scripted : public ::testing::Test {
 protected:
  void SetUp() override {
    auto port = std::make_unique<ScriptedPort>();
    script = port.get();
    client.port = std::move(port);
  }
  void answer(const std::string& text) { script->feed(bytesOf(text)); }
  std::vector<std::string> sent() const {
    std::vector<std::string> out;
    for (const auto& w : script->writes()) out.push_back(textOf(w));
    return out;
  }
  ScriptedPort* script = nullptr;  // owned by the client
  NXPSerialClass client;
};

TEST(NXPSerialUnits, WaitTimeCopyLengthAndSectors) {
  EXPECT_EQ(WAIT_TIME_MS(14, 115200), 2u);
  EXPECT_EQ(WAIT_TIME_MS(14, 9600), 16u);
  EXPECT_EQ(WAIT_TIME_MS(0, 115200), 1u);

  const std::pair<uint32_t, uint32_t> lengths[] = {{1, 256},     {256, 256},   {257, 512},   {300, 512},
                                                   {512, 512},   {1000, 1024}, {1024, 1024}, {1025, 4096},
                                                   {4096, 4096}, {5000, 5000}};
  for (const auto& [count, copy] : lengths) EXPECT_EQ(NXPSerialClass::CopyLength(count), copy) << count;

  const std::pair<uint32_t, uint32_t> sectors[] = {{0, 0},        {0xFFF, 0},    {0x1000, 1},   {0xFFFF, 15},
                                                   {0x10000, 16}, {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29},
                                                   {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (const auto& [address, sector] : sectors)
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << std::hex << address;
}

TEST(NXPSerialUnits, ErrorTextsOfReturnCodeLines) {
  EXPECT_STREQ(NXPSerialClass::GetErrorText("15\r\n"), "CMD_LOCKED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0\r\n"), "CMD_SUCCESS");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0x13\r\n"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("99\r\n"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1\r\n"), "Unknown error");
}

TEST(NXPSerialUnits, UuencodeLinesAsTheProtocolWritesThem) {
  char line[64];
  const uint8_t four[] = {0x00, 0x01, 0x02, 0x03};
  EXPECT_EQ(NXPSerialClass::uuencode(line, four, 4), 4u);
  EXPECT_STREQ(line, "$``$\"`P``");  // zero six-bit groups are grave accents

  Bytes full(45);
  std::iota(full.begin(), full.end(), 0x30);
  NXPSerialClass::uuencode(line, full.data(), 45);
  EXPECT_EQ(std::string(line).size(), 61u);
  EXPECT_EQ(line[0], 'M');

  uint8_t out[45] = {};
  EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, "$``$\"`P``"), 4u);
  EXPECT_EQ(Bytes(out, out + 4), Bytes(four, four + 4));
  EXPECT_EQ(NXPSerialClass::uudecode(out, 44, line), 0u);  // does not fit: nothing stored
  EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, ""), 0u);  // no length character: nothing read past it
  EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, line), 45u);
  EXPECT_EQ(Bytes(out, out + 45), full);
}

// A line that hung up (a USB serial adapter pulled out) reads as empty for ever; its
// port fails at once instead of calling it quiet (and reading it in a loop) until the
// wait's deadline. What the line still held before is read first.
TEST(SerialLine, AHungUpLineFailsInsteadOfReadingAsQuiet) {
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::unique_ptr<IspPort> port;
  ASSERT_EQ(SerialLinePort::open(name, 115200, &port), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(port->read(&byte, aTime_GetMonotonicMSTicks() + 50), aErrNotReady);  // quiet, not gone
  ASSERT_EQ(write(master, "A", 1), 1);
  EXPECT_EQ(port->read(&byte, aTime_GetMonotonicMSTicks() + 2000), aErrNone);
  EXPECT_EQ(byte, 'A');
  ASSERT_EQ(ioctl(slave, TIOCVHANGUP), 0) << "hanging up a terminal needs CAP_SYS_ADMIN";
  EXPECT_EQ(port->read(&byte, aTime_GetMonotonicMSTicks() + 10000), aErrIO);
  port.reset();
  close(slave);
  close(master);
}

TEST(NXPSerialConnect, OpensAtTheFirstTableRateAtLeastTheOneAsked) {
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  const struct {
    uint32_t asked;
    uint32_t opened;
    speed_t speed;
  } cases[] = {{100000, 115200, B115200}, {0, 2400, B2400}, {300000, 9600, B9600}, {57600, 57600, B57600},
               {230400, 230400, B230400}};
  for (const auto& c : cases) {
    NXPSerialClass client;
    ASSERT_EQ(client.Connect(name, c.asked), aErrNone) << c.asked;
    EXPECT_EQ(client.baud, c.opened) << c.asked;
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed) << c.asked;
  }
  NXPSerialClass client;
  EXPECT_EQ(client.Connect("/dev/no-such-port", 115200), aErrNotFound);
  EXPECT_EQ(client.port, nullptr);
  close(slave);
  close(master);
}

TEST_F(Scripted, StatusRuleWithEchoOnAndOff) {
  const struct {
    bool echo;
    const char* reply;  // what follows the command's echo (when echo is on)
    aErr result;
  } cases[] = {
      {true, "\n0\r\n", aErrNone},  {true, "\n19\r\n", aErrParam},  // the digit before CR LF decides
      {false, "0\r\n", aErrNone},   {false, "19\r\n", aErrParam},   // the first character decides
      {false, "", aErrParam},                                       // no answer at all
      // The whole line is the code: a code that ends in 0 and noise are no success.
      {true, "\n10\r\n", aErrParam},  {false, "10\r\n", aErrParam}, {true, "\nx0\r\n", aErrParam},
      {false, "0x\r\n", aErrParam},    {true, "\n00\r\n", aErrNone},
  };
  for (const auto& c : cases) {
    client.echo = c.echo;
    script->clearWrites();
    answer(std::string(c.echo ? "P 1 2\r" : "") + c.reply);
    EXPECT_EQ(client.Prepare(1, 2), c.result) << c.echo << " " << c.reply;
    EXPECT_EQ(sent(), std::vector<std::string>{"P 1 2\r\n"});
    EXPECT_EQ(script->pendingInput(), 0u);
  }
}

TEST_F(Scripted, RefusedArgumentsSendNothing) {
  const uint8_t data[8] = {};
  EXPECT_EQ(client.Prepare(5, 3), aErrParam);
  EXPECT_EQ(client.Erase(5, 3), aErrParam);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
  uint8_t out[8];
  EXPECT_EQ(client.Read(0, 6, out), aErrParam);
  EXPECT_EQ(client.CopyToFlash(0x8080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(client.CopyToFlash(0x8000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
  EXPECT_TRUE(sent().empty());
}

TEST_F(Scripted, CommandTextsAndAnswers) {
  client.echo = false;
  answer("0\r\n0\r\n0\r\n0\r\n0\r\n");
  EXPECT_EQ(client.Unlock(), aErrNone);
  EXPECT_EQ(client.Erase(0, 29), aErrNone);
  EXPECT_EQ(client.CopyToFlash(0x8000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
  EXPECT_EQ(client.SetBaudRate(57600), aErrNone);
  EXPECT_EQ(client.SetEcho(true), aErrNone);
  EXPECT_TRUE(client.echo);
  answer("G 0 T\r\n0\r\n");
  EXPECT_EQ(client.ExecuteFrom(0), aErrNone);
  EXPECT_EQ(sent(), (std::vector<std::string>{"U 23130\r\n", "E 0 29\r\n", "C 32768 268439552 4096\r\n",
                                              "B 57600 1\r\n", "A 1\r\n", "G 0 T\r\n"}));
  // A refused echo change leaves the setting as it was.
  answer("A 0\r\n1\r\n");
  EXPECT_EQ(client.SetEcho(false), aErrParam);
  EXPECT_TRUE(client.echo);
}

TEST_F(Scripted, DeviceIdentifierIsTheFourNumbersOfTheAnswer) {
  answer("N\r\n0\r\n305419896\r\n0x10\r\n4294967295\r\n0\r\n");
  EXPECT_EQ(client.GetDeviceID(), aErrNone);
  EXPECT_EQ(client.deviceID[0], 305419896u);
  EXPECT_EQ(client.deviceID[1], 16u);
  EXPECT_EQ(client.deviceID[2], 4294967295u);
  EXPECT_EQ(client.deviceID[3], 0u);
  EXPECT_EQ(sent(), std::vector<std::string>{"N\r\n"});
}

// The words are the key the firmware is decoded with: anything but a return code 0 and
// four whole 32-bit numbers is refused, and the words stay as they were.
TEST_F(Scripted, DeviceIdentifierTakesNothingButCodeZeroAndFourWholeNumbers) {
  client.echo = false;
  const struct {
    const char* answer;
    aErr result;
  } cases[] = {
      {"19\r\n", aErrParam},                              // refused
      {"", aErrTimeout},                                   // silent
      {"0\r\n1\r\n2\r\n", aErrTimeout},                  // three numbers
      {"0\r\nabc\r\n1\r\n2\r\n3\r\n", aErrIO},
      {"0\r\n99999999999999999999\r\n1\r\n2\r\n3\r\n", aErrIO},
      {"0\r\n4294967296\r\n1\r\n2\r\n3\r\n", aErrIO},  // one past 32 bits
      {"0\r\n-5\r\n1\r\n2\r\n3\r\n", aErrIO},
      {"0\r\n0x\r\n1\r\n2\r\n3\r\n", aErrIO},
      {"0\r\n 7\r\n1\r\n2\r\n3\r\n", aErrIO},
      {"0\r\n7 8\r\n1\r\n2\r\n3\r\n", aErrIO},
      {"0\r\n\r\n1\r\n2\r\n3\r\n", aErrIO},            // an empty line is no 0
      {"0\r\n1\r\n2\r\n3\r\n4", aErrIO},               // the last line never ended
      {"x\r\n1\r\n2\r\n3\r\n4\r\n", aErrIO},            // no return code
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    for (uint32_t& word : client.deviceID) word = 0xA5A5A5A5u;
    answer(c.answer);
    EXPECT_EQ(client.GetDeviceID(), c.result);
    for (uint32_t word : client.deviceID) EXPECT_EQ(word, 0xA5A5A5A5u);
    script->clearInput();
  }
}

// A line that floods instead of echoing costs a bounded number of bytes, not as many as
// it sends.
TEST_F(Scripted, EchoReadingEndsOnAFloodOfOtherBytes) {
  const size_t flood = 1 << 20;
  answer(std::string(flood, 'x'));
  EXPECT_NE(client.GetDeviceID(), aErrNone);
  EXPECT_GT(script->pendingInput(), flood - 8 * 1024);
}

// A data phase that gets no data line ends: nothing decoded and an empty checksum line
// would otherwise "agree" and the client ask again, for as long as the chip is silent.
TEST_F(Scripted, ReadEndsWhenTheChipSendsNoDataLine) {
  client.echo = false;
  uint8_t out[8] = {};
  for (const char* after : {"", "abc\r\n0\r\n", "(``\r\n0\r\n"}) {  // silence, a word, a line too short
    SCOPED_TRACE(after);
    answer(std::string("0\r\n") + after);
    EXPECT_EQ(client.Read(0, 8, out), aErrIO);
    script->clearInput();
  }
}

TEST_F(Scripted, AStartTheChipRefusesOrLeavesUnansweredFails) {
  client.echo = false;
  answer("19\r\n");
  EXPECT_EQ(client.ExecuteFrom(0), aErrParam);
  EXPECT_EQ(client.ExecuteFrom(0), aErrTimeout);
  answer("0\r\n");
  EXPECT_EQ(client.ExecuteFrom(0), aErrNone);
  EXPECT_EQ(sent(), (std::vector<std::string>{"G 0 T\r\n", "G 0 T\r\n", "G 0 T\r\n"}));
}

// With echo on, a command is done only when its echo and then its return code came. A
// line that answers "0" to everything, over and over, once had every command pass for
// done (the echo reader gave up on its budget of bytes and the next "0" was taken for
// the answer), a start the chip never received among them. No echo, or an echo that
// breaks off, now fails the command before any answer is read, and nothing more is sent.
TEST_F(Scripted, ACommandWhoseEchoNeverCameIsNotDone) {
  std::string zeros;
  for (int i = 0; i < 400; i++) zeros += "0\r\n";
  const Bytes data(8, 0x5A);
  uint8_t out[8] = {};
  uint8_t first = 0, second = 0;
  long part = 0;
  const struct {
    const char* name;
    std::function<aErr(NXPSerialClass&)> command;
    std::string text;
  } cases[] = {
      {"Unlock", [](NXPSerialClass& c) { return c.Unlock(); }, "U 23130\r\n"},
      {"Prepare", [](NXPSerialClass& c) { return c.Prepare(0, 29); }, "P 0 29\r\n"},
      {"Erase", [](NXPSerialClass& c) { return c.Erase(0, 29); }, "E 0 29\r\n"},
      {"CopyToFlash", [](NXPSerialClass& c) { return c.CopyToFlash(0x8000, NXPSerialClass::WRITE_ADDRESS, 4096); },
       "C 32768 268439552 4096\r\n"},
      {"SetBaudRate", [](NXPSerialClass& c) { return c.SetBaudRate(57600); }, "B 57600 1\r\n"},
      {"SetEcho", [](NXPSerialClass& c) { return c.SetEcho(false); }, "A 0\r\n"},
      {"Write", [&](NXPSerialClass& c) { return c.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()); },
       "W 268439552 8\r\n"},
      {"Read", [&](NXPSerialClass& c) { return c.Read(0, 8, out); }, "R 0 8\r\n"},
      {"ExecuteFrom", [](NXPSerialClass& c) { return c.ExecuteFrom(0); }, "G 0 T\r\n"},
      {"GetDeviceID", [](NXPSerialClass& c) { return c.GetDeviceID(); }, "N\r\n"},
      {"GetPartNumber", [&](NXPSerialClass& c) { return c.GetPartNumber(&part); }, "J\r\n"},
      {"GetBootLoaderVersion", [&](NXPSerialClass& c) { return c.GetBootLoaderVersion(&first, &second); }, "K\r\n"},
  };
  for (const auto& c : cases) {
    for (const std::string& line : {zeros, c.text.substr(0, 1) + "X" + c.text.substr(1) + zeros}) {
      SCOPED_TRACE(std::string(c.name) + (line == zeros ? ", no echo" : ", an echo that breaks off"));
      client.echo = true;
      for (uint32_t& word : client.deviceID) word = 0xA5A5A5A5u;
      script->clearWrites();
      answer(line);
      EXPECT_NE(c.command(client), aErrNone);
      EXPECT_TRUE(client.EchoFailed());
      EXPECT_EQ(sent(), std::vector<std::string>{c.text});
      EXPECT_TRUE(client.echo);
      for (uint32_t word : client.deviceID) EXPECT_EQ(word, 0xA5A5A5A5u);
      script->clearInput();
    }
  }

  // An echo after what an earlier answer left (its line feed) is an echo.
  answer("\nU 23130\r\n0\r\n");
  EXPECT_EQ(client.Unlock(), aErrNone);
  EXPECT_FALSE(client.EchoFailed());
  EXPECT_EQ(script->pendingInput(), 0u);
  // Without echo, there is none to wait for.
  client.echo = false;
  answer("0\r\n");
  EXPECT_EQ(client.Unlock(), aErrNone);
  EXPECT_FALSE(client.EchoFailed());
}

// The answer of a chip that takes its time (an erase) may come after the echo's wait
// is over; without the echo it is no answer to the command.
TEST_F(Scripted, AnAnswerThatComesLateWithoutTheEchoIsNoAnswer) {
  std::thread chip([this] {
    script->waitWrites([](const auto& w) { return !w.empty(); }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    answer("0\r\n");
  });
  EXPECT_NE(client.Erase(0, 29), aErrNone);
  EXPECT_TRUE(client.EchoFailed());
  chip.join();
  EXPECT_EQ(sent(), std::vector<std::string>{"E 0 29\r\n"});
}

// ---------------------------------------------------------------- Write

// Data lines as the test reads them back: each line write is followed by its own
// "\r\n" write; anything else is a command or a checksum.
struct WriteLog {
  std::vector<std::string> lines;
  std::vector<std::pair<size_t, uint32_t>> checksums;  // (lines before it, value)
};

WriteLog splitWrite(const std::vector<std::string>& writes) {
  WriteLog log;
  for (size_t i = 1; i < writes.size(); i++) {
    const std::string& w = writes[i];
    if (w == "\r\n") continue;
    if (i + 1 < writes.size() && writes[i + 1] == "\r\n") {
      log.lines.push_back(w);
    } else {
      log.checksums.emplace_back(log.lines.size(), static_cast<uint32_t>(std::stoul(w)));
    }
  }
  return log;
}

uint32_t byteSum(const Bytes& data, size_t from, size_t to) {
  uint32_t s = 0;
  for (size_t i = from; i < to; i++) s += data[i];
  return s;
}

Bytes pattern(size_t n) {
  Bytes data(n);
  for (size_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

TEST_F(Scripted, WriteOf1000BytesIs23LinesWithTwoChecksums) {
  client.echo = false;
  const Bytes data = pattern(1000);
  answer("0\r\nOK\r\nOK\r\n");
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data()), aErrNone);
  const std::vector<std::string> writes = sent();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0], "W 268439552 1000\r\n");
  const WriteLog log = splitWrite(writes);
  ASSERT_EQ(log.lines.size(), 23u);
  for (size_t i = 0; i < 22; i++) EXPECT_EQ(log.lines[i].size(), 61u) << i;
  EXPECT_EQ(log.lines[22].size(), 17u);  // 10 bytes: length character and four groups
  EXPECT_EQ(log.lines[22][0], '*');
  ASSERT_EQ(log.checksums.size(), 2u);
  EXPECT_EQ(log.checksums[0], std::make_pair(size_t{20}, byteSum(data, 0, 900)));
  EXPECT_EQ(log.checksums[1], std::make_pair(size_t{23}, byteSum(data, 900, 1000)));
}

TEST_F(Scripted, WriteResendsTheGroupTwiceAndFailsOnTheThirdResend) {
  const struct {
    const char* answers;
    aErr result;
    size_t lines;
  } cases[] = {
      {"0\r\nRESEND\r\nRESEND\r\nOK\r\n", aErrNone, 60},
      {"0\r\nRESEND\r\nRESEND\r\nRESEND\r\n", aErrTimeout, 60},
      {"0\r\nWHAT\r\n", aErrIO, 20},
  };
  for (const auto& c : cases) {
    client.echo = false;
    script->clearWrites();
    const Bytes data = pattern(900);
    answer(c.answers);
    LogCapture log(Log::DEBUG_NXPSerial);
    EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 900, data.data()), c.result) << c.answers;
    const WriteLog w = splitWrite(sent());
    EXPECT_EQ(w.lines.size(), c.lines) << c.answers;
    // Every resent group is the same 20 lines with the same checksum.
    for (size_t i = 20; i < w.lines.size(); i++) EXPECT_EQ(w.lines[i], w.lines[i % 20]);
    for (const auto& checksum : w.checksums) EXPECT_EQ(checksum.second, byteSum(data, 0, 900));
    if (c.result == aErrTimeout) {
      EXPECT_TRUE(log.contains("Write() exceeded retries\n"));
    }
    if (c.result == aErrIO) {
      EXPECT_TRUE(log.contains("Write() unexpected response [WHAT\r\n]\n"));
    }
  }
}

TEST_F(Scripted, WriteChecksumAnsweredByNothingIsAnIOError) {
  client.echo = false;
  const Bytes data = pattern(8);
  answer("0\r\n");
  LogCapture log(Log::DEBUG_NXPSerial);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()), aErrIO);
  EXPECT_TRUE(log.contains("Write() unexpected response []\n"));
}

// ---------------------------------------------------------------- Sync

TEST_F(Scripted, SyncHandshakeBytes) {
  answer("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n");
  EXPECT_EQ(client.Sync(), aErrNone);
  EXPECT_EQ(sent(), (std::vector<std::string>{"?", "Synchronized\r\n", "14746\r\n"}));
  EXPECT_EQ(script->pendingInput(), 0u);
}

TEST_F(Scripted, SyncWithoutOkStillSendsTheCrystalAndFails) {
  answer("Synchronized\r\nSynchronized\r\nNO\r\n14746\r\nOK\r\n");
  EXPECT_EQ(client.Sync(), aErrIO);
  EXPECT_EQ(sent(), (std::vector<std::string>{"?", "Synchronized\r\n", "14746\r\n"}));
}

TEST_F(Scripted, SyncOfAnAlreadySynchronisedChipIsProvenByAReturnCode) {
  // Command mode with echo on: the "?" comes back, the line end gets INVALID_COMMAND.
  answer("?");
  std::thread chip([this] {
    script->waitWrites([](const auto& w) { return w.size() >= 2; }, 5000);
    answer("\r\n1\r\n");
  });
  client.echo = false;
  EXPECT_EQ(client.Sync(), aErrNone);
  chip.join();
  EXPECT_TRUE(client.echo);
  EXPECT_EQ(sent(), (std::vector<std::string>{"?", "\r\n"}));
}

TEST_F(Scripted, SyncSendsNothingMoreToAChipThatAnswersNothingOrSomethingElse) {
  EXPECT_NE(client.Sync(), aErrNone);
  EXPECT_EQ(sent(), std::vector<std::string>{"?"});

  script->clearWrites();
  answer("?");
  std::thread chip([this] {
    script->waitWrites([](const auto& w) { return w.size() >= 2; }, 5000);
    answer("\r\nRESEND\r\n");  // not a return code: not command mode
  });
  EXPECT_NE(client.Sync(), aErrNone);
  chip.join();
  EXPECT_EQ(sent(), (std::vector<std::string>{"?", "\r\n"}));
}

}  // namespace

// The LPC boot ROM simulator is the yardstick of the recovery tests, so it is proven
// twice: by an independent ISP tool (lpc21isp) that detects, wipes, programs and
// verifies through it, and by exact byte exchanges written by hand for the rules the
// recovery depends on (rate lock, one sync per reset, prepare before copy, NOR
// programming, the failure knobs).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/sim/lpc/PtyChip.h"
#include "tests/support/BackgroundProcess.h"

namespace {

using lpcsim::Bytes;
using lpcsim::PtyChip;
using Ms = std::chrono::milliseconds;

// A host end of the simulator's pty with a given line rate, raw, reads bounded.
class HostPort {
 public:
  HostPort(const std::string& path, speed_t speed) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) setSpeed(speed);
  }
  ~HostPort() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void setSpeed(speed_t speed) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  void send(const std::string& text) { ASSERT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  // Everything that arrives until `expected` is complete or timeoutMs passes.
  std::string readUntil(const std::string& expected, int timeoutMs = 2000) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + Ms(timeoutMs);
    while (got.find(expected) == std::string::npos) {
      const auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // Whatever arrives within ms (for "nothing comes").
  std::string readFor(int ms) { return readUntil(std::string(1, '\0') + "never", ms); }
  // The handshake of a freshly reset chip, as the protocol gives it.
  void sync() {
    send("?");
    ASSERT_EQ(readUntil("Synchronized\r\n"), "Synchronized\r\n");
    send("Synchronized\r\n");
    ASSERT_EQ(readUntil("OK\r\n"), "Synchronized\r\nOK\r\n");
    send("14746\r\n");
    ASSERT_EQ(readUntil("OK\r\n"), "14746\r\nOK\r\n");
  }
  // A command with echo off: the answer alone.
  std::string command(const std::string& line, const std::string& until = "\r\n") {
    send(line + "\r\n");
    return readUntil(until);
  }

 private:
  int fd_ = -1;
};

class LpcSim : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.ok()); }
  // A synchronised, unlocked chip with echo off.
  void ready(HostPort& host) {
    ASSERT_TRUE(host.ok());
    host.sync();
    ASSERT_EQ(host.command("A 0", "0\r\n"), "A 0\r\n0\r\n");
    ASSERT_EQ(host.command("U 23130"), "0\r\n");
  }
  PtyChip sim;
};

// ------------------------------------------------------------- the independent peer

std::string describe(const testsupport::RunResult& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

// lpc21isp patches the vector checksum (word 7) of an image at address 0; every other
// byte of the image must reach flash unchanged.
void expectImageInFlash(const Bytes& image, const Bytes& flash) {
  ASSERT_GE(flash.size(), image.size());
  for (size_t i = 0; i < image.size(); i++) {
    if (i >= 0x1C && i < 0x20) continue;
    ASSERT_EQ(flash[i], image[i]) << "flash byte " << i;
  }
}

TEST(LpcSimPeer, IndependentToolDetectsTheStandaloneSimulator) {
  testsupport::BackgroundProcess sim({LPCSIM_BINARY});
  ASSERT_TRUE(sim.waitFor("ready", 1, 5000)) << sim.errors();
  const std::string port = sim.first("pty", 0);
  testsupport::TempDir dir;
  const std::string image = dir.sub("x.bin");
  birdgen::writeFile(image, Bytes(16, 0));
  const auto r = testsupport::RunProgram(LPC21ISP_BINARY, {"lpc21isp", "-detectonly", "-bin", image, port, "115200", "14746"});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_NE((r.out + r.err).find("LPC1768"), std::string::npos) << describe(r);
  EXPECT_TRUE(sim.stop(5000));
}

struct PeerCase {
  const char* name;
  std::vector<std::string> options;
  char verifyCommand;  // a command that -verify adds, or 0
};

class LpcSimPeerProgram : public ::testing::TestWithParam<PeerCase> {};

TEST_P(LpcSimPeerProgram, IndependentToolWipesAndProgramsTenKiB) {
  PtyChip sim;
  ASSERT_TRUE(sim.ok());
  // Old contents everywhere: the wipe must clear them.
  sim.with([](lpcsim::IspChip& c) { c.setFlash(0, Bytes(lpcsim::kFlashSize, 0x00)); });
  testsupport::TempDir dir;
  const Bytes image = birdgen::randomImage(10 * 1024, 77);
  birdgen::writeFile(dir.sub("image.bin"), image);
  std::vector<std::string> args = {"lpc21isp"};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  args.insert(args.end(), {dir.sub("image.bin"), sim.path(), "115200", "14746"});
  const auto r = testsupport::RunProgram(LPC21ISP_BINARY, args);
  ASSERT_EQ(r.status, 0) << describe(r);
  const Bytes flash = sim.flash();
  expectImageInFlash(image, flash);
  // The last sector holds no copy: the wipe erased it.
  EXPECT_EQ(Bytes(flash.end() - 0x8000, flash.end()), Bytes(0x8000, 0xFF));
  EXPECT_EQ(sim.count('E'), 1u);
  if (GetParam().verifyCommand != 0) {
    EXPECT_GE(sim.count(GetParam().verifyCommand), 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, LpcSimPeerProgram,
                         ::testing::Values(PeerCase{"Wipe", {"-bin", "-wipe"}, 0},
                                           PeerCase{"WipeVerify", {"-bin", "-wipe", "-verify"}, 'M'}),
                         [](const ::testing::TestParamInfo<PeerCase>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------ byte-exact rules

TEST_F(LpcSim, RateIsFixedByTheFirstQuestionMarkAndChangedOnlyByB) {
  HostPort host(sim.path(), B115200);
  ASSERT_TRUE(host.ok());
  host.sync();
  // Bytes at another rate are noise to the chip: no echo it could read, no answer.
  host.setSpeed(B57600);
  host.send("N\r\n");
  const std::string noise = host.readFor(300);
  EXPECT_EQ(noise.find("0\r\n"), std::string::npos);
  EXPECT_GT(sim.with([](lpcsim::IspChip& c) { return c.garbledBytes(); }), 0u);
  // Back at the chip's rate: the noise ended no line; a line end clears it.
  host.setSpeed(B115200);
  EXPECT_NE(host.command("", "1\r\n").find("1\r\n"), std::string::npos);
  // B answers at the old rate, then the chip listens at the new one.
  EXPECT_EQ(host.command("B 57600 1", "0\r\n"), "B 57600 1\r\n0\r\n");
  host.setSpeed(B57600);
  EXPECT_EQ(host.command("K", "1\r\n"), "K\r\n0\r\n4\r\n1\r\n");
}

TEST_F(LpcSim, OneSyncPerResetASecondQuestionMarkIsACommandCharacter) {
  HostPort host(sim.path(), B115200);
  ASSERT_TRUE(host.ok());
  host.sync();
  host.send("?");
  EXPECT_EQ(host.readUntil("?", 500), "?");  // echoed, not "Synchronized"
  EXPECT_EQ(host.command("", "1\r\n"), "\r\n1\r\n");
  sim.reset();
  host.sync();
  EXPECT_EQ(sim.with([](lpcsim::IspChip& c) { return c.syncs(); }), 2u);
}

TEST_F(LpcSim, SerialNumberAndIdentityAnswers) {
  sim.with([](lpcsim::IspChip& c) { c.setSerial({1, 0xFFFFFFFFu, 0x80000000u, 42}); });
  HostPort host(sim.path(), B115200);
  ASSERT_TRUE(host.ok());
  host.sync();
  EXPECT_EQ(host.command("N", "42\r\n"), "N\r\n0\r\n1\r\n4294967295\r\n2147483648\r\n42\r\n");
  EXPECT_EQ(host.command("J", "7\r\n"), "J\r\n0\r\n637615927\r\n");
  EXPECT_EQ(host.command("X 1", "1\r\n"), "X 1\r\n1\r\n");
  EXPECT_EQ(host.command("U 1", "16\r\n"), "U 1\r\n16\r\n");
}

TEST_F(LpcSim, WriteCopyFollowsTheFlashRules) {
  HostPort host(sim.path(), B115200);
  ready(host);
  // Four bytes 00 01 02 03 in one uuencoded line, checksum 6.
  EXPECT_EQ(host.command("W 268435456 4"), "0\r\n");
  host.send("$``$\"`P``\r\n");
  EXPECT_EQ(host.command("6", "OK\r\n"), "OK\r\n");
  struct Case {
    const char* line;
    const char* answer;
  } cases[] = {
      {"C 0 268435456 256", "9\r\n"},    // no sector prepared
      {"P 0 0", "0\r\n"},
      {"C 128 268435456 256", "3\r\n"},  // flash address not a multiple of 256
      {"C 0 268435456 100", "6\r\n"},    // count not a copy size
      {"C 0 268435458 256", "2\r\n"},    // RAM address not word-aligned
      {"C 0 536870912 256", "4\r\n"},    // RAM address not mapped
      {"C 3840 268435456 512", "9\r\n"}, // runs into sector 1, which is not prepared
      {"C 0 268435456 256", "0\r\n"},
      {"C 0 268435456 256", "9\r\n"},    // a copy protects the sectors again
      {"P 30 30", "7\r\n"},
      {"P 2 1", "7\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(host.command(c.line), c.answer) << c.line;
  Bytes flash = sim.flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4), (Bytes{0, 1, 2, 3}));
  // NOR programming only clears bits: F0 over 00..03 leaves 00..03; 0F over F0 gives 00.
  sim.with([](lpcsim::IspChip& c) { c.setFlash(0x100, Bytes{0xF0, 0xF0, 0xFF, 0xFF}); });
  EXPECT_EQ(host.command("P 0 0"), "0\r\n");
  EXPECT_EQ(host.command("C 256 268435456 256"), "0\r\n");
  flash = sim.flash();
  EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x104), (Bytes{0x00, 0x00, 0x02, 0x03}));
}

TEST_F(LpcSim, EraseAndCopyAreRefusedWhileLockedAndEraseTakesItsTime) {
  sim.with([](lpcsim::IspChip& c) {
    c.setEraseMs(300);
    c.setFlash(0x20000, Bytes(16, 0x00));
  });
  HostPort host(sim.path(), B115200);
  ASSERT_TRUE(host.ok());
  host.sync();
  ASSERT_EQ(host.command("A 0", "0\r\n"), "A 0\r\n0\r\n");
  EXPECT_EQ(host.command("P 0 29"), "0\r\n");
  EXPECT_EQ(host.command("E 0 29"), "15\r\n");
  EXPECT_EQ(host.command("G 0 T"), "15\r\n");
  EXPECT_EQ(host.command("U 23130"), "0\r\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.command("E 0 29"), "0\r\n");
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(290));
  EXPECT_EQ(host.command("E 0 0"), "9\r\n");  // an erase protects the sectors again
  EXPECT_EQ(sim.flash(), Bytes(lpcsim::kFlashSize, 0xFF));
  EXPECT_EQ(host.command("I 0 29"), "0\r\n");
}

TEST_F(LpcSim, ReadSendsLinesAndChecksumAndResendsOnRequest) {
  HostPort host(sim.path(), B115200);
  ready(host);
  sim.with([](lpcsim::IspChip& c) { c.setFlash(0x1000, Bytes{0, 1, 2, 3}); });
  EXPECT_EQ(host.command("R 4096 4", "6\r\n"), "0\r\n$``$\"`P``\r\n6\r\n");
  EXPECT_EQ(host.command("RESEND", "6\r\n"), "$``$\"`P``\r\n6\r\n");
  host.send("OK\r\n");
  EXPECT_EQ(host.command("J", "7\r\n"), "0\r\n637615927\r\n");
}

TEST_F(LpcSim, KnobsFailResendSilenceAndTheSilenceAfterGo) {
  HostPort host(sim.path(), B115200);
  ready(host);
  sim.with([](lpcsim::IspChip& c) {
    c.failCommand('P', 11, 2);
    c.resendOnce();
  });
  EXPECT_EQ(host.command("P 0 0"), "11\r\n");
  EXPECT_EQ(host.command("P 0 0"), "11\r\n");
  EXPECT_EQ(host.command("P 0 0"), "0\r\n");
  // The forced RESEND drops the group: the same line again is then accepted.
  EXPECT_EQ(host.command("W 268435456 4"), "0\r\n");
  host.send("$``$\"`P``\r\n");
  EXPECT_EQ(host.command("6", "RESEND\r\n"), "RESEND\r\n");
  host.send("$``$\"`P``\r\n");
  EXPECT_EQ(host.command("6", "OK\r\n"), "OK\r\n");
  // A wrong checksum is a RESEND too.
  EXPECT_EQ(host.command("W 268435456 4"), "0\r\n");
  host.send("$``$\"`P``\r\n");
  EXPECT_EQ(host.command("7", "RESEND\r\n"), "RESEND\r\n");
  host.send("$``$\"`P``\r\n");
  EXPECT_EQ(host.command("6", "OK\r\n"), "OK\r\n");

  sim.with([](lpcsim::IspChip& c) { c.setSilent(true); });
  host.send("J\r\n");
  EXPECT_EQ(host.readFor(300), "");
  sim.with([](lpcsim::IspChip& c) { c.setSilent(false); });
  EXPECT_EQ(host.command("G 0 T"), "0\r\n");
  EXPECT_EQ(sim.goAddress(), std::optional<uint32_t>(0));
  host.send("J\r\n");
  EXPECT_EQ(host.readFor(300), "");
}

TEST_F(LpcSim, PacingTakesBytesAtTheLineRate) {
  sim.setPacing(true);
  HostPort host(sim.path(), B9600);
  ASSERT_TRUE(host.ok());
  const auto start = std::chrono::steady_clock::now();
  host.sync();
  // 1 + 14 + 14 + 4 + 7 + 7 + 4 characters at 960 a second each way, in turn.
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(45));
}

}  // namespace

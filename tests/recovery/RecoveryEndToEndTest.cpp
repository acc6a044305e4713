// The real Updater binary recovering a simulated LPC chip over a pty, with the fake
// update server on 127.0.0.1. The test makes the BIRD files itself, the images keyed
// with the chip's four words through its own copy of the keyed chain, and checks what
// the chip's flash holds afterwards byte for byte.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/fakes/FakeUpdateServer.h"
#include "tests/support/BackgroundProcess.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/sim/lpc/PtyChip.h"

namespace {

using birdgen::Bytes;

constexpr uint32_t kWords[4] = {0x1A2B3C4Du, 0x00000001u, 0xFEDCBA98u, 0x80000000u};
constexpr uint32_t kSerial = 0x40F5849A;
const char* const kFingerprintLine = "[ 1A2B3C4D 00000001 FEDCBA98 80000000 ]";

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

struct Image {
  uint32_t address;
  Bytes bytes;
};

// A recovery file: each image keyed with the chip's words, then the end marker (a block
// of eight data bytes), the identity record and whatever else the case adds.
Bytes recoveryFile(const std::vector<Image>& images, const std::vector<birdgen::Block>& extra = {}) {
  birdgen::BirdLayout layout;
  for (const Image& image : images)
    layout.blocks.push_back(
        birdgen::imageBlock(birdgen::FIRMWARE, image.address, birdgen::encodeWithFingerprint(image.bytes, kWords)));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(4, 0)));
  layout.blocks.push_back(birdgen::identityBlock("700", "3.1.4", hex8(kSerial), "Hemblork"));
  layout.blocks.insert(layout.blocks.end(), extra.begin(), extra.end());
  return birdgen::file(layout);
}

// What the flash must hold after a recovery: the images, every other byte erased.
Bytes flashOf(const std::vector<Image>& images) {
  Bytes flash(lpcsim::kFlashSize, 0xFF);
  for (const Image& image : images) std::copy(image.bytes.begin(), image.bytes.end(), flash.begin() + image.address);
  return flash;
}

std::string describe(const testsupport::RunResult& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The last command line with this letter, or "".
std::string lastCommand(const std::vector<std::string>& commands, char letter) {
  for (auto it = commands.rbegin(); it != commands.rend(); ++it)
    if (!it->empty() && (*it)[0] == letter) return *it;
  return "";
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.ok());
    sim.with([](lpcsim::IspChip& c) {
      c.setSerial({kWords[0], kWords[1], kWords[2], kWords[3]});
      c.setEraseMs(20);
      // Old firmware everywhere: a recovery must leave none of it.
      c.setFlash(0, Bytes(lpcsim::kFlashSize, 0x5A));
    });
    server = std::make_unique<FakeUpdateServer>();
  }

  std::string store() const { return dir.sub("root"); }
  std::string birdPath(const std::string& name, const Bytes& file) {
    birdgen::writeFile(dir.sub(name), file);
    return dir.sub(name);
  }
  std::vector<std::string> withOptions(std::vector<std::string> args) const {
    args.insert(args.begin(), "Updater");
    args.insert(args.end(), {"-u", server->url(), "-i", store()});
    return args;
  }
  testsupport::RunResult run(const std::vector<std::string>& args) {
    testsupport::RunOptions options;
    options.timeoutMs = 90000;
    return testsupport::RunProgram(UPDATER_BINARY, withOptions(args), options);
  }
  // The server knows the device with builds 700 (its latest) and 650, and which
  // device and build belong to the chip's fingerprint.
  void serve(const std::string& build700, const std::string& build650, bool knowsChip = true) {
    std::string json = "{\"devices\": {\"" + hex8(kSerial) +
                       "\": {\"latest\": \"700\", \"builds\": {\"700\": \"3.1.4\", \"650\": \"3.0.0\"}, "
                       "\"birds\": {\"700\": \"" + build700 + "\", \"650\": \"" + build650 + "\"}}}";
    if (knowsChip) {
      json += ", \"recovery\": {\"" + hex8(kWords[0]) + " " + hex8(kWords[1]) + " " + hex8(kWords[2]) + " " +
              hex8(kWords[3]) + "\": {\"serial\": \"" + hex8(kSerial) + "\", \"build\": \"700\"}}";
    }
    server->setConfig(json + "}");
  }
  // A recovery that wrote the file's images and started the chip.
  void expectRecovered(const testsupport::RunResult& r, const std::vector<Image>& images) {
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(contains(r.out, "Rebooting Device")) << r.out;
    EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
    EXPECT_EQ(sim.flash(), flashOf(images));
    EXPECT_EQ(sim.goAddress(), std::optional<uint32_t>(0));
    EXPECT_EQ(lastCommand(sim.commands(), 'G'), "G 0 T");
  }
  // A refused recovery that never reached the flash.
  void expectUntouched() {
    EXPECT_EQ(sim.flash(), Bytes(lpcsim::kFlashSize, 0x5A));
    EXPECT_EQ(sim.count('E') + sim.count('C') + sim.count('G'), 0u);
  }

  testsupport::TempDir dir;
  lpcsim::PtyChip sim;
  std::unique_ptr<FakeUpdateServer> server;
};

const std::vector<Image> kTwoImages = {{0x0000, birdgen::randomImage(10000, 1)},
                                       {0x10000, birdgen::randomImage(3000, 2)}};

TEST_F(Recovery, FingerprintPrintsTheChipWordsAndTouchesNothingElse) {
  const auto r = run({"-N", "-s", sim.path()});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out.find(kFingerprintLine), r.out.find('\n') + 1) << r.out;  // right after the version line
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(server->requests().empty());
  EXPECT_TRUE(testsupport::listDirectory(store() + "/updater").empty());
  EXPECT_EQ(sim.commands(), std::vector<std::string>{"N"});
}

struct FileCase {
  const char* name;
  std::vector<Image> images;
  uint32_t eraseMs;
  bool resend;
  std::vector<std::string> options;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class RecoveryFromFile : public Recovery, public ::testing::WithParamInterface<FileCase> {};

TEST_P(RecoveryFromFile, FlashHoldsTheDecodedImagesAndNothingElse) {
  const FileCase& c = GetParam();
  sim.with([&](lpcsim::IspChip& chip) {
    if (c.eraseMs != 0) chip.setEraseMs(c.eraseMs);
    if (c.resend) chip.resendOnce();
  });
  const std::string file = birdPath("rescue.bird", recoveryFile(c.images));
  std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", sim.path(), "-f", file, "-d", hex8(kSerial)};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const auto r = run(args);
  expectRecovered(r, c.images);
  EXPECT_TRUE(contains(r.out, "Recovering from Birdfile: " + file)) << r.out;
  EXPECT_TRUE(contains(r.out, "Transferring firmware block 1 of 2, " + std::to_string(c.images[0].bytes.size()) +
                                  " bytes"))
      << r.out;
  const size_t total = c.images[0].bytes.size() + c.images[1].bytes.size();
  EXPECT_TRUE(contains(r.out, "Transferred 2 blocks, " + std::to_string(total) + " total bytes")) << r.out;
  EXPECT_TRUE(server->requests().empty());
  // A file names its own firmware: no server, no store entry.
  EXPECT_TRUE(testsupport::listDirectory(store() + "/updater").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecoveryFromFile,
    ::testing::Values(
        FileCase{"TwoImages", kTwoImages, 0, false, {}},
        FileCase{"EraseOf100ms", kTwoImages, 100, false, {}},
        FileCase{"OneResend", kTwoImages, 0, true, {}},
        // A last chunk that ends inside a sector, whose copy reaches into the next one,
        // and an image whose length is no multiple of 4.
        FileCase{"ShortLastChunks",
                 {{0x8100, birdgen::randomImage(4096 + 3000, 3)}, {0x20000, birdgen::randomImage(1001, 4)}},
                 0,
                 false,
                 {}},
        FileCase{"Rate57600", kTwoImages, 0, false, {"-o", "57600"}}),
    [](const ::testing::TestParamInfo<FileCase>& i) { return std::string(i.param.name); });

TEST_F(Recovery, VectorTableChunkIsWrittenLastAndTheRateIsToldToTheChip) {
  const std::string file = birdPath("rescue.bird", recoveryFile(kTwoImages));
  const auto r = run({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", file, "-o", "57600"});
  expectRecovered(r, kTwoImages);
  const std::vector<std::string> commands = sim.commands();
  EXPECT_EQ(lastCommand(commands, 'C'), "C 0 268439552 4096");
  EXPECT_NE(std::find(commands.begin(), commands.end(), "B 57600 1"), commands.end());
  EXPECT_EQ(sim.with([](lpcsim::IspChip& c) { return c.rate(); }), 57600u);
}

TEST_F(Recovery, WithoutAFileTheServerNamesDeviceAndBuild) {
  const std::vector<Image> latest = {{0x0000, birdgen::randomImage(6000, 7)}, {0x9000, birdgen::randomImage(500, 8)}};
  const std::vector<Image> older = {{0x0000, birdgen::randomImage(5000, 9)}, {0x8000, birdgen::randomImage(700, 10)}};
  serve(birdPath("700.bird", recoveryFile(latest)), birdPath("650.bird", recoveryFile(older)));

  const auto r = run({"-U", "-t", "RECOVER", "-s", sim.path()});
  expectRecovered(r, latest);
  EXPECT_TRUE(contains(r.out, "Recovering firmware with build: 700")) << r.out;
  const std::vector<std::string> requests = server->requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_TRUE(contains(requests[0], "op=fix")) << requests[0];
  EXPECT_TRUE(contains(requests[0], "fp=1A2B3C4D%2000000001%20FEDCBA98%2080000000")) << requests[0];
  EXPECT_TRUE(testsupport::exists(store() + "/updater/" + hex8(kSerial) + "/700.bird"));

  // -b replaces the server's build; the serial number still comes from the server.
  sim.reset();
  sim.with([](lpcsim::IspChip& c) { c.setFlash(0, Bytes(lpcsim::kFlashSize, 0x5A)); });
  const auto b = run({"-U", "-t", "RECOVER", "-s", sim.path(), "-b", "650", "-d", "12345678"});
  expectRecovered(b, older);
  EXPECT_TRUE(contains(b.out, "Recovering firmware with build: 650")) << b.out;
  EXPECT_TRUE(testsupport::exists(store() + "/updater/" + hex8(kSerial) + "/650.bird"));
  EXPECT_FALSE(testsupport::exists(store() + "/updater/12345678"));
}

// A download that cannot be recorded (a directory stands where the device's attribute
// file goes) still leaves its file in the store, and the recovery goes on with it; the
// run's view of the entry is taken again after the download, never kept across it.
TEST_F(Recovery, ADownloadThatCannotBeRecordedStillRecovers) {
  const std::vector<Image> latest = {{0x0000, birdgen::randomImage(4000, 11)}};
  serve(birdPath("700.bird", recoveryFile(latest)), birdPath("650.bird", recoveryFile(kTwoImages)));
  ASSERT_TRUE(std::filesystem::create_directories(store() + "/updater/" + hex8(kSerial) + "/.settings"));

  const auto r = run({"-U", "-t", "RECOVER", "-s", sim.path()});
  expectRecovered(r, latest);
  EXPECT_TRUE(contains(r.err, "Failed to record the download in ")) << r.err;
}

TEST_F(Recovery, RefusalsEndWithTheirMessageAndStatus1) {
  const std::string offline = birdPath(
      "offline.bird", recoveryFile(kTwoImages, {birdgen::serialOffsetsBlock(0x100, 0x200)}));
  const std::string empty = birdPath("empty.bird", recoveryFile({}));
  // A loader and an image of no bytes before the end marker; an image after it.
  birdgen::BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, 0x10000000, birdgen::randomImage(64, 3)));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x4000, Bytes{}));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(4, 0)));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x8000, birdgen::randomImage(64, 4)));
  const std::string loaderOnly = birdPath("loader.bird", birdgen::file(layout));
  const std::string good = birdPath("good.bird", recoveryFile(kTwoImages));

  // How far the recovery got before it was refused.
  enum Reached { kBeforeTransfer, kFlashUntouched, kErased };
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void(lpcsim::IspChip&)> knob;
    std::string error;
    Reached reached;
  } cases[] = {
      {"serial offsets", {"-f", offline}, nullptr, "Updater does not support offline recovery\n", kBeforeTransfer},
      {"no firmware image", {"-f", empty}, nullptr, "Failed to load bird file\n", kBeforeTransfer},
      {"nothing before the end marker", {"-f", loaderOnly}, nullptr, "Failed to load bird file\n", kBeforeTransfer},
      {"server does not know the chip", {}, nullptr,
       "Failed to retrieve recovery information from Quenlark server\n", kBeforeTransfer},
      // Each step of the transfer that fails says so, with the port ("@PORT@").
      {"unlock refused", {"-f", good}, [](lpcsim::IspChip& c) { c.failCommand('U', 14, 1); },
       "Failed to recover the chip on @PORT@: could not unlock\n", kFlashUntouched},
      {"prepare refused", {"-f", good}, [](lpcsim::IspChip& c) { c.failCommand('P', 7, 1); },
       "Failed to recover the chip on @PORT@: could not prepare\n", kFlashUntouched},
      {"erase refused", {"-f", good}, [](lpcsim::IspChip& c) { c.failCommand('E', 9, 1); },
       "Failed to recover the chip on @PORT@: could not erase\n", kFlashUntouched},
      {"write to RAM refused", {"-f", good}, [](lpcsim::IspChip& c) { c.failCommand('W', 14, 1); },
       "Failed to recover the chip on @PORT@: write to RAM failed\n", kErased},
      {"copy refused", {"-f", good}, [](lpcsim::IspChip& c) { c.failCommand('C', 9, 1); },
       "Failed to recover the chip on @PORT@: transfer to flash failed\n", kErased},
      // A start the chip refuses leaves it in its boot ROM: the firmware never runs.
      {"start refused", {"-f", good}, [](lpcsim::IspChip& c) { c.failCommand('G', 19, 1); },
       "Failed to recover the chip on @PORT@: the chip refused to start\n", kErased},
      // A command whose echo never came is not done, whatever return code follows: a
      // line that answers "0" over and over to a start the chip never takes, and an
      // erase answered late (after the echo's wait).
      {"start not echoed", {"-f", good},
       [](lpcsim::IspChip& c) {
         c.stopEchoAt('G');
         std::string zeros;
         for (int i = 0; i < 400; i++) zeros += "0\r\n";
         c.answerCommand('G', zeros);
       },
       "Failed to recover the chip on @PORT@: no answer to the start command: the chip did not echo the command\n",
       kErased},
      // (Last: the long erase stays with the chip.)
      {"erase not echoed", {"-f", good},
       [](lpcsim::IspChip& c) {
         c.setEraseMs(1500);
         c.stopEchoAt('E');
       },
       "Failed to recover the chip on @PORT@: could not erase: the chip did not echo the command\n", kErased},
  };
  serve(good, good, false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim.reset();
    sim.with([&](lpcsim::IspChip& chip) {
      chip.setFlash(0, Bytes(lpcsim::kFlashSize, 0x5A));
      if (c.knob) c.knob(chip);
    });
    const size_t before = sim.commands().size();
    std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", sim.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run(args);
    EXPECT_EQ(r.status, 1) << describe(r);
    std::string error = c.error;
    const size_t port = error.find("@PORT@");
    if (port != std::string::npos) error.replace(port, 6, sim.path());
    EXPECT_EQ(r.err, error) << describe(r);
    EXPECT_EQ(sim.goAddress(), std::nullopt);
    const std::vector<std::string> all = sim.commands();
    const std::vector<std::string> commands(all.begin() + static_cast<long>(before), all.end());
    if (c.reached == kBeforeTransfer) {
      EXPECT_EQ(commands, std::vector<std::string>{"N"});
      EXPECT_FALSE(contains(r.out, "Update time: ")) << r.out;
    } else {
      EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
      EXPECT_FALSE(contains(r.out, "Rebooting Device")) << r.out;
    }
    if (c.reached != kErased) {
      EXPECT_EQ(sim.flash(), Bytes(lpcsim::kFlashSize, 0x5A));
    }
  }
}

// A chip that synchronised and then gave no serial number the client can trust: no
// fingerprint is made up, and no firmware is decoded with one. The step ends before any
// erase or write, and a chip that floods ends it within its bounds (a hang would run
// into the run's time-out).
TEST_F(Recovery, ASerialNumberTheChipNeverGaveEndsTheStep) {
  const std::string file = birdPath("rescue.bird", recoveryFile(kTwoImages));
  const std::string refused = "the chip refused to give its serial number";
  const std::string silent = "no serial number from the chip";
  const std::string junk = "the chip's serial number is not four 32-bit numbers";
  const std::string unechoed = "the chip did not echo the serial number command";
  const auto answer = [](const std::string& text) {
    return [text](lpcsim::IspChip& c) { c.answerCommand('N', text); };
  };
  const struct {
    const char* name;
    std::function<void(lpcsim::IspChip&)> knob;
    std::string step;
    // Which of the two "no usable serial number" steps is seen depends on where a slow
    // line cuts the answer; a refusal is always named as one.
    bool eitherUnusable = true;
  } cases[] = {
      {"refused", [](lpcsim::IspChip& c) { c.failCommand('N', 19, 1); }, refused, false},
      {"silent", answer(""), silent},
      {"code 0 and nothing more", answer("0\r\n"), silent},
      {"a word", answer("0\r\nabc\r\n1\r\n2\r\n3\r\n"), junk},
      {"twenty nines", answer("0\r\n1\r\n" + std::string(20, '9') + "\r\n2\r\n3\r\n"), junk},
      {"a sign", answer("0\r\n1\r\n2\r\n-5\r\n3\r\n"), junk},
      {"hex prefix alone", answer("0\r\n1\r\n2\r\n3\r\n0x\r\n"), junk},
      {"an empty line", answer("0\r\n1\r\n\r\n2\r\n3\r\n"), junk},
      {"no return code", answer("x\r\n1\r\n2\r\n3\r\n4\r\n"), junk},
      {"a 1 MiB line", answer("0\r\n" + std::string(1 << 20, '7') + "\r\n1\r\n2\r\n3\r\n"), junk},
      // The flooding chip never echoes the "N" it floods instead of answering.
      {"a flood", [](lpcsim::IspChip& c) { c.floodOn('N', 'x'); }, unechoed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool recover : {false, true}) {
      sim.reset();
      sim.with(c.knob);
      const size_t before = sim.commands().size();
      std::vector<std::string> args = {"-N", "-s", sim.path()};
      if (recover) args = {"-U", "-t", "RECOVER", "-s", sim.path(), "-f", file, "-d", hex8(kSerial)};
      testsupport::RunOptions options;
      options.timeoutMs = 10000;
      const auto r = testsupport::RunProgram(UPDATER_BINARY, withOptions(args), options);
      EXPECT_EQ(r.status, 1) << describe(r);
      const auto message = [&](const std::string& step) {
        return recover ? "Failed to recover the chip on " + sim.path() + ": " + step + "\nCould not get Device Identifier\n"
                       : "Failed to read the fingerprint of the chip on " + sim.path() + ": " + step +
                             "\nGot no response from chip\n";
      };
      if (c.eitherUnusable && r.err != message(c.step)) {
        EXPECT_EQ(r.err, message(c.step == silent ? junk : silent));
      } else {
        EXPECT_EQ(r.err, message(c.step));
      }
      EXPECT_FALSE(contains(r.out, "[ ")) << r.out;
      const std::vector<std::string> all = sim.commands();
      // The flooding chip took nothing after the "N" it never finished.
      const std::vector<std::string> expected = std::string(c.name) == "a flood" ? std::vector<std::string>{}
                                                                                 : std::vector<std::string>{"N"};
      EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), expected);
      expectUntouched();
    }
  }
  EXPECT_TRUE(server->requests().empty());
}

TEST_F(Recovery, NoChipOnThePortEndsBothCommandsWithStatus1) {
  // Where no LPC chip answers, the i.MX road is taken: -N looks for the default loader
  // (the server knows none here), and a BIRD file without a serial number is refused.
  sim.with([](lpcsim::IspChip& c) { c.setSilent(true); });
  for (const std::string& port : {sim.path(), dir.sub("no-such-port")}) {
    SCOPED_TRACE(port);
    const auto n = run({"-N", "-s", port});
    EXPECT_EQ(n.status, 1) << describe(n);
    EXPECT_EQ(n.err, "Got no response from chip\n");
    const auto u = run({"-U", "-t", "RECOVER", "-s", port, "-f", dir.sub("x.bird")});
    EXPECT_EQ(u.status, 1) << describe(u);
    EXPECT_EQ(u.err,
              "Add serial number or remove the bird filename to use a default recovery image.\n"
              "Could not get Device Identifier\n");
  }
  // Only the default loader was asked for (the greeting, then the placeholder's build),
  // never the chip's recovery.
  for (const std::string& request : server->requests()) {
    EXPECT_TRUE(contains(request, "op=hi") || contains(request, "sn=DEADDEAD")) << request;
    EXPECT_FALSE(contains(request, "op=fix")) << request;
  }
  EXPECT_EQ(sim.flash(), Bytes(lpcsim::kFlashSize, 0x5A));
}

TEST_F(Recovery, FingerprintThenRecoveryInOneRunAndInTwo) {
  const std::string file = birdPath("rescue.bird", recoveryFile(kTwoImages));
  const auto one = run({"-N", "-U", "-t", "RECOVER", "-s", sim.path(), "-f", file});
  EXPECT_TRUE(contains(one.out, kFingerprintLine)) << one.out;
  expectRecovered(one, kTwoImages);

  sim.reset();
  sim.with([](lpcsim::IspChip& c) { c.setFlash(0, Bytes(lpcsim::kFlashSize, 0x5A)); });
  const auto n = run({"-N", "-s", sim.path()});
  EXPECT_EQ(n.status, 0) << describe(n);
  const auto u = run({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", file});
  expectRecovered(u, kTwoImages);
  EXPECT_EQ(sim.with([](lpcsim::IspChip& c) { return c.syncs(); }), 2u);  // one per reset
}

TEST_F(Recovery, ARecoveryCutShortLeavesNoBootableHalfAndRunsAgainAfterAReset) {
  const std::vector<Image> image = {{0x0000, birdgen::randomImage(64 * 1024, 11)}};
  const std::string file = birdPath("big.bird", recoveryFile(image));
  // At the line rate, so that half the chunks take seconds and the cut is not a race.
  sim.setPacing(true);
  std::vector<std::string> command = withOptions({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", file});
  command[0] = UPDATER_BINARY;
  testsupport::BackgroundProcess updater(command);
  ASSERT_TRUE(updater.running());
  ASSERT_TRUE(sim.waitFor(
      [](const lpcsim::IspChip& c) {
        return std::count_if(c.commands().begin(), c.commands().end(),
                             [](const std::string& l) { return !l.empty() && l[0] == 'C'; }) >= 8;
      },
      60000));
  updater.signal(SIGKILL);
  int status = 0;
  EXPECT_TRUE(updater.waitExit(5000, &status));
  const Bytes cut = sim.flash();
  // Later sectors hold firmware, the vector table's sector is still erased.
  EXPECT_EQ(Bytes(cut.begin(), cut.begin() + 0x1000), Bytes(0x1000, 0xFF));
  EXPECT_EQ(Bytes(cut.begin() + 0x1000, cut.begin() + 0x2000), Bytes(image[0].bytes.begin() + 0x1000,
                                                                      image[0].bytes.begin() + 0x2000));
  EXPECT_EQ(sim.goAddress(), std::nullopt);

  sim.setPacing(false);
  sim.reset();
  const auto again = run({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", file});
  expectRecovered(again, image);
}

}  // namespace

// The real Updater binary on the i.MX road of -N and -U -t RECOVER: the simulated boot
// ROM on emulated USB HID or on a paced pty, and the live loader that arrives on the
// emulated USB bus after the jump, all in this process; the Updater child inherits the
// emulation (umockdev's preload library and testbed). The update server is the fake
// one on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/aLibusb.h"
#include "tests/support/Subprocess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/fakes/FakeUpdateServer.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/imx/LiveLoader.h"
#include "tests/imx/SdpHidFrontEnd.h"
#include "tests/sim/sdp/SdpRom.h"
#include "tests/sim/sdp/SdpSerialPty.h"
#include "tests/usb/UsbEmulator.h"

namespace {

using birdgen::Bytes;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint32_t kFirmwareAddress = 0x60000000;
constexpr uint32_t kLoaderBuild = 9000;
constexpr uint32_t kFirmwareBuild = 9100;
// The identifier words of the live loader: subindexes 0 to 3.
const uint32_t kIdentifier[4] = {0xA0A0A0A0, 0xB1B1B1B1, 0xC2C2C2C2, 0xD3D3D3D3};
// Printed and sent to the server with identifier 3 first.
constexpr const char* kFingerprintLine = "[ D3D3D3D3 C2C2C2C2 B1B1B1B1 A0A0A0A0 ]";
constexpr const char* kFingerprintQuery = "fp=D3D3D3D3%20C2C2C2C2%20B1B1B1B1%20A0A0A0A0";

std::string hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

std::string describe(const testsupport::RunResult& r) {
  return "status " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

unsigned count(const std::string& text, const std::string& part) {
  unsigned n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
  return n;
}

struct Loader {
  std::vector<std::pair<uint32_t, Bytes>> blocks;  // address, image
  int64_t entry = -1;                              // -1: no loader-entry block
};

class ImxRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!usbemu::inMockEnvironment()) GTEST_SKIP() << "not running under umockdev's preload library";
    // Only USB should ever be looked at; a fault that fell back to TCP/IP discovery
    // must not reach a real network.
    NETTEST_ENTER_PRIVATE_NETWORK(false);
    bus = std::make_unique<usbemu::Bus>();
    loaderImage.blocks = {{0x20000000, birdgen::randomImage(3000, 1)}, {0x20200000, birdgen::randomImage(1200, 2)}};
    firmware = birdgen::randomImage(4000, 3);
  }
  void TearDown() override {
    live.reset();
    hid.reset();
    pty.reset();
    Tallowick_libusb_exit();
    bus.reset();
  }

  sdpsim::LiveLoaderOptions options() {
    sdpsim::LiveLoaderOptions o;
    for (int i = 0; i < 4; i++) o.identifier[i] = kIdentifier[i];
    if (loaderImage.entry >= 0) o.entry = static_cast<uint32_t>(loaderImage.entry);
    return o;
  }
  void onUsb(sdpsim::LiveLoaderOptions o) {
    hid = std::make_unique<sdpsim::HidFrontEnd>(rom, bus->testbed());
    live = std::make_unique<sdpsim::LiveLoader>(*bus, rom, o, &hid->device());
  }
  void onUsb() { onUsb(options()); }
  void onSerial(sdpsim::LiveLoaderOptions o) {
    pty = std::make_unique<sdpsim::SerialPty>(rom, 115200);
    live = std::make_unique<sdpsim::LiveLoader>(*bus, rom, o);
  }

  // A BIRD file with the loader's blocks, a firmware image (unless left out) and an
  // identity record.
  std::string birdFile(const std::string& name, bool withFirmware = true, const std::string& serial = "DEADDEAD") {
    birdgen::BirdLayout layout;
    for (const auto& b : loaderImage.blocks) layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, b.first, b.second));
    if (loaderImage.entry >= 0) layout.blocks.push_back(birdgen::loaderEntryBlock(static_cast<uint32_t>(loaderImage.entry)));
    if (withFirmware) layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, kFirmwareAddress, firmware));
    layout.blocks.push_back(birdgen::identityBlock(std::to_string(kLoaderBuild), "2.12.3", serial, "Hemblork"));
    const std::string path = dir.sub(name);
    birdgen::writeFile(path, birdgen::file(layout));
    return path;
  }
  // The store entry of a device whose latest download is that file.
  void storeLatestDownload(uint32_t serial, uint32_t build, const std::string& file) {
    const std::string entry = dir.sub("root/updater/" + hex8(serial));
    for (const std::string& d : {dir.sub("root"), dir.sub("root/updater"), entry}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    birdgen::writeFile(entry + "/" + std::to_string(build) + ".bird", birdgen::readFile(file));
    testsupport::writeText(entry + "/.settings", "LATEST_DOWNLOAD=" + std::to_string(build) + ".bird\n");
  }
  // The ROM's record against the loader's blocks and its entry.
  void expectLoaderWritten(uint32_t entry) {
    const auto writes = rom.writes();
    ASSERT_EQ(writes.size(), loaderImage.blocks.size()) << rom.dump();
    for (size_t i = 0; i < writes.size(); i++) {
      EXPECT_EQ(writes[i].address, loaderImage.blocks[i].first);
      EXPECT_EQ(writes[i].bytes, loaderImage.blocks[i].second);
    }
    ASSERT_TRUE(rom.jumpAddress().has_value());
    EXPECT_EQ(*rom.jumpAddress(), entry);
  }
  void expectFirmwareFlashed() {
    uint32_t low = 0;
    EXPECT_EQ(live->upgrade().image(&low), firmware);
    EXPECT_EQ(low, kFirmwareAddress);
    EXPECT_EQ(live->upgrade().counts().protocolErrors, 0u);
    EXPECT_EQ(live->upgrade().counts().reboots, 1u);
  }

  testsupport::RunResult run(std::vector<std::string> args, bool fastPauses = false) {
    std::vector<std::string> all = {"Updater"};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"-i", dir.sub("root"), "-X", "0x10001"});
    if (std::find(args.begin(), args.end(), "-u") == args.end()) {
      // No server unless a test names one: this port is closed.
      all.insert(all.end(), {"-u", "http://127.0.0.1:" + std::to_string(FakeUpdateServer::closedPort()) + "/cgi/u"});
    }
    testsupport::RunOptions o;
    o.timeoutMs = 120000;
    if (fastPauses) {
      const char* preload = std::getenv("LD_PRELOAD");
      o.setEnv.push_back(std::string("LD_PRELOAD=") + (preload != nullptr ? preload : "") + ":" + FAST_PAUSES_LIBRARY);
    }
    const testsupport::RunResult r = testsupport::RunProgram(UPDATER_BINARY, all, o);
    // To watch the road by hand (see README.md).
    if (std::getenv("IMX_SHOW_RUNS") != nullptr) {
      std::string line = "$";
      for (const std::string& a : all) line += " " + a;
      std::cout << line << "\n" << describe(r) << std::endl;
    }
    return r;
  }

  testsupport::TempDir dir;
  Loader loaderImage;
  Bytes firmware;
  sdpsim::Rom rom;
  std::unique_ptr<usbemu::Bus> bus;
  std::unique_ptr<sdpsim::HidFrontEnd> hid;
  std::unique_ptr<sdpsim::SerialPty> pty;
  std::unique_ptr<sdpsim::LiveLoader> live;
};

// ----- -N, the fingerprint -----

TEST_F(ImxRecovery, FingerprintOverUsbWithTheLoaderOfTheStoresLatestDownload) {
  loaderImage.entry = 0x20000800;
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  onUsb();
  const auto r = run({"-N", "-s", "USB"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(has(r.out, kFingerprintLine)) << describe(r);
  expectLoaderWritten(0x20000800);
  // -N resets the chip once the words are read; the loader leaves the bus.
  EXPECT_TRUE(live->waitForDepartures(1, 5000));
  EXPECT_EQ(live->resets(), 1u);
}

TEST_F(ImxRecovery, FingerprintOverUsbDownloadsTheDefaultLoaderWithTheDisplayMuted) {
  FakeUpdateServer server;
  const std::string file = birdFile("served.bird");
  server.setConfig(R"({"devices": {"DEADDEAD": {"builds": {"9000": "2.12.3"}, "birds": {"9000": ")" + file +
                   R"("}}}})");
  onUsb();
  const auto r = run({"-N", "-s", "USB", "-u", server.url()});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(has(r.out, kFingerprintLine)) << describe(r);
  // The download's own messages stay off the console.
  EXPECT_FALSE(has(r.out, "Retrieving build")) << describe(r);
  EXPECT_FALSE(has(r.out, "Validating build")) << describe(r);
  EXPECT_TRUE(has(r.err, "Existing loader device not found. Downloading.")) << describe(r);
  expectLoaderWritten(0x20000400);
  EXPECT_TRUE(testsupport::exists(dir.sub("root/updater/DEADDEAD/9000.bird")));
  bool fetched = false;
  for (const auto& q : server.requests()) fetched = fetched || (has(q, "op=bird") && has(q, "sn=DEADDEAD"));
  EXPECT_TRUE(fetched);
}

TEST_F(ImxRecovery, FingerprintOverAPacedSerialLineWithAFiveThousandByteLoader) {
  // The LPC probe goes first on a serial port and leaves its "?" in the ROM's frame.
  loaderImage.blocks = {{0x20000000, birdgen::randomImage(5000, 4)}};
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  onSerial(options());
  const auto r = run({"-N", "-s", pty->path()});
  ASSERT_EQ(r.status, 0) << describe(r) << rom.dump();
  EXPECT_TRUE(has(r.out, kFingerprintLine)) << describe(r);
  expectLoaderWritten(0x20000400);
  EXPECT_EQ(live->resets(), 1u);
}

// ----- -U -t RECOVER -----

struct Announced {
  const char* name;
  uint32_t serial;
};

class ImxRecoveryAnnounced : public ImxRecovery, public ::testing::WithParamInterface<Announced> {};

TEST_P(ImxRecoveryAnnounced, RecoveryWithAFileAndASerialNumberAsksNoServer) {
  FakeUpdateServer server;
  const std::string file = birdFile("recovery.bird", true, hex8(kSerial));
  sdpsim::LiveLoaderOptions o = options();
  o.serial = GetParam().serial;
  onUsb(o);
  const auto r = run({"-U", "-t", "RECOVER", "-s", "USB", "-f", file, "-d", hex8(kSerial), "-u", server.url()});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_TRUE(server.requests().empty());
  expectLoaderWritten(0x20000400);
  EXPECT_TRUE(has(r.out, "Update time: ")) << describe(r);
  // The loader stays running after the fingerprint (no reset) and gets the firmware.
  EXPECT_EQ(live->resets(), 0u);
  expectFirmwareFlashed();
}

INSTANTIATE_TEST_SUITE_P(LoaderSerialNumber, ImxRecoveryAnnounced,
                         ::testing::Values(Announced{"Placeholder", sdpsim::kPlaceholderSerial},
                                           Announced{"OwnSerialNumber", kSerial}),
                         [](const ::testing::TestParamInfo<Announced>& p) { return std::string(p.param.name); });

TEST_F(ImxRecovery, RecoveryWithoutAFileTakesSerialNumberAndBuildFromTheServer) {
  FakeUpdateServer server;
  const std::string loaderFile = birdFile("loader.bird");
  const std::string firmwareFile = birdFile("firmware.bird", true, hex8(kSerial));
  server.setConfig(R"({"devices": {"DEADDEAD": {"builds": {"9000": "2.12.3"}, "birds": {"9000": ")" + loaderFile +
                   R"("}}, "00C0FFEE": {"builds": {"9100": "2.12.3"}, "birds": {"9100": ")" + firmwareFile +
                   R"("}}}, "recovery": {"D3D3D3D3 C2C2C2C2 B1B1B1B1 A0A0A0A0": {"serial": "00C0FFEE", "build": "9100"}}})");
  // Until the server names the device, only the placeholder can be looked for.
  onUsb();
  const auto r = run({"-U", "-t", "RECOVER", "-s", "USB", "-u", server.url()});
  ASSERT_EQ(r.status, 0) << describe(r);
  bool fixed = false, fetched = false;
  for (const auto& q : server.requests()) {
    fixed = fixed || (has(q, "op=fix") && has(q, kFingerprintQuery));
    fetched = fetched || (has(q, "op=bird") && has(q, "bld=9100") && has(q, "sn=00C0FFEE"));
  }
  EXPECT_TRUE(fixed) << describe(r);
  EXPECT_TRUE(fetched) << describe(r);
  EXPECT_TRUE(has(r.out, "Recovering firmware with build: 9100")) << describe(r);
  EXPECT_TRUE(has(r.out, "Update time: ")) << describe(r);
  expectFirmwareFlashed();
}

// ----- refusals -----

TEST_F(ImxRecovery, FingerprintRefusesABirdFileWithoutASerialNumber) {
  onUsb();
  const auto r = run({"-N", "-s", "USB", "-f", birdFile("loader.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(has(r.err, "Add serial number or remove the bird filename to use a default recovery image."))
      << describe(r);
  EXPECT_TRUE(has(r.err, "Got no response from chip")) << describe(r);
  EXPECT_TRUE(rom.frames().empty());
}

TEST_F(ImxRecovery, NoBootRomOnEitherRoad) {
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  for (const std::string& port : std::vector<std::string>{"USB", dir.sub("no-such-tty")}) {
    SCOPED_TRACE(port);
    const auto r = run({"-N", "-s", port});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_TRUE(has(r.err, "Error loading liveloader.")) << describe(r);
    EXPECT_TRUE(has(r.err, "Got no response from chip")) << describe(r);
  }
}

TEST_F(ImxRecovery, OnlyTheExactTextUSBSelectsUSB) {
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  onUsb();
  const auto r = run({"-N", "-s", "usb", "-X", "0x10000000"});
  EXPECT_EQ(r.status, 1) << describe(r);
  // "usb" named a serial line that is not there; the boot ROM's HID device was never opened.
  EXPECT_TRUE(has(r.err, "Error loading liveloader.")) << describe(r);
  EXPECT_EQ(hid->device().opens(), 0u);
  EXPECT_TRUE(rom.frames().empty());
}

TEST_F(ImxRecovery, ARefusedLoaderBlockStartsNothing) {
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  sdpsim::Knobs k;
  k.refuseWritesAt = {0x20200000};
  rom.setKnobs(k);
  onUsb();
  const auto r = run({"-N", "-s", "USB"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(has(r.err, "Error loading liveloader.")) << describe(r);
  EXPECT_FALSE(rom.jumpAddress().has_value());
  EXPECT_EQ(live->arrivals(), 0u);
}

TEST_F(ImxRecovery, ALoaderThatNeverArrivesIsLookedForInFifteenRounds) {
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  sdpsim::LiveLoaderOptions o = options();
  o.appears = false;
  onUsb(o);
  const auto r = run({"-N", "-s", "USB"}, true);
  EXPECT_EQ(r.status, 1) << describe(r);
  ASSERT_TRUE(rom.jumpAddress().has_value());
  EXPECT_EQ(count(r.err, "Failed enumeration after 3 tries, refreshing libusb context."), 5u) << describe(r);
  EXPECT_TRUE(has(r.err, "Could not connect to device.")) << describe(r);
  EXPECT_TRUE(has(r.err, "Failed to read the fingerprint of the chip on USB: no loader on USB after 15 tries\n"
                         "Got no response from chip\n"))
      << describe(r);
}

TEST_F(ImxRecovery, AClosedChipRefusesTheJumpAndNoLoaderIsLookedFor) {
  storeLatestDownload(sdpsim::kPlaceholderSerial, kLoaderBuild, birdFile("loader.bird"));
  sdpsim::Knobs k;
  k.habClosed = true;
  rom.setKnobs(k);
  onUsb();
  const auto r = run({"-N", "-s", "USB"}, true);
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_EQ(rom.writes().size(), loaderImage.blocks.size());
  EXPECT_FALSE(rom.jumpAddress().has_value());
  EXPECT_EQ(live->arrivals(), 0u);
  EXPECT_FALSE(has(r.err, "Could not connect to device.")) << describe(r);
  EXPECT_TRUE(has(r.err, "Failed to read the fingerprint of the chip on USB: the boot ROM refused the jump to the "
                         "loader at 0x20000400\nGot no response from chip\n"))
      << describe(r);
}

// Each failure on the i.MX road of a recovery says its cause before the line that the
// recovery ends with.
struct Cause {
  const char* name;
  std::function<void(sdpsim::Knobs&, sdpsim::LiveLoaderOptions&)> knob;
  std::string text;
  bool jumped;
};

void PrintTo(const Cause& c, std::ostream* os) { *os << c.name; }

class ImxLoaderStepFailure : public ImxRecovery, public ::testing::WithParamInterface<Cause> {};

TEST_P(ImxLoaderStepFailure, SaysItsCauseBeforeTheRecoveryEnds) {
  const Cause& c = GetParam();
  sdpsim::Knobs k;
  sdpsim::LiveLoaderOptions o = options();
  c.knob(k, o);
  rom.setKnobs(k);
  onUsb(o);
  const std::string file = birdFile("recovery.bird", true, hex8(kSerial));
  const auto r = run({"-U", "-t", "RECOVER", "-s", "USB", "-f", file, "-d", hex8(kSerial)}, true);
  EXPECT_EQ(r.status, 1) << describe(r);
  const std::string tail = "Failed to recover the chip on USB: " + c.text + "\nCould not get Device Identifier\n";
  EXPECT_TRUE(r.err.size() >= tail.size() && r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0)
      << describe(r);
  EXPECT_EQ(rom.jumpAddress().has_value(), c.jumped);
  EXPECT_EQ(live->upgrade().counts().requests[devsim::upgrade::kPrepare], 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ImxLoaderStepFailure,
    ::testing::Values(
        Cause{"ClosedPart", [](sdpsim::Knobs& k, sdpsim::LiveLoaderOptions&) { k.habClosed = true; },
              "the boot ROM refused the jump to the loader at 0x20000400", false},
        Cause{"NoStatusForABlock", [](sdpsim::Knobs& k, sdpsim::LiveLoaderOptions&) { k.silentAfterImage = true; },
              "no status for the loader block at 0x20000000", false},
        Cause{"NoLoaderOnUsb", [](sdpsim::Knobs&, sdpsim::LiveLoaderOptions& o) { o.appears = false; },
              "no loader on USB after 15 tries", true}),
    [](const ::testing::TestParamInfo<Cause>& p) { return std::string(p.param.name); });

TEST_F(ImxRecovery, ALoaderGoneBeforeTheFirmwareFailsTheRecovery) {
  sdpsim::LiveLoaderOptions o = options();
  o.leaveAfterIdentifier = true;
  onUsb(o);
  const auto r = run({"-U", "-t", "RECOVER", "-s", "USB", "-f", birdFile("recovery.bird"), "-d", hex8(kSerial)}, true);
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(has(r.err, "Could not connect to device")) << describe(r);
  EXPECT_TRUE(has(r.out, "Update time: ")) << describe(r);
  EXPECT_EQ(live->upgrade().counts().requests[devsim::upgrade::kPrepare], 0u);
}

// A file given with -f that fails the store's header test never reaches the boot ROM.
TEST_F(ImxRecovery, AFileWithoutABirdHeaderNeverReachesTheBootRom) {
  onUsb();
  birdgen::Bytes burd = birdgen::readFile(birdFile("recovery.bird"));
  burd[1] = 'u';
  birdgen::writeFile(dir.sub("burd.bird"), burd);
  const auto r = run({"-U", "-t", "RECOVER", "-s", "USB", "-f", dir.sub("burd.bird"), "-d", hex8(kSerial)});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(rom.writes().empty());
  EXPECT_FALSE(rom.jumpAddress().has_value());
}

TEST_F(ImxRecovery, ABirdFileWithoutFirmwareNeverReachesTheLoader) {
  onUsb();
  const auto r = run({"-U", "-t", "RECOVER", "-s", "USB", "-f", birdFile("empty.bird", false), "-d", hex8(kSerial)});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_TRUE(has(r.err, "Failed to load bird file")) << describe(r);
  // The fingerprint ran (the loader is up), but nothing was sent to it and it was not
  // rebooted: the firmware it had is untouched.
  EXPECT_EQ(live->upgrade().counts().reboots, 0u);
  EXPECT_EQ(live->upgrade().counts().requests[devsim::upgrade::kPrepare], 0u);
  EXPECT_FALSE(has(r.out, "Update time: ")) << describe(r);
}

}  // namespace

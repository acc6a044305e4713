// The upgrade entity against the simulated module's upgrade state machine over
// loopback TCP: the pieces each exchange is cut into, the flash that results, the
// replies that must fail, the bounded waits and the leaving and returning device.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/Module.h"
#include "common/unix/aTime.h"
#include "tests/e2e/FirmwareBuild.h"
#include "tests/sim/model/ModelCodes.h"
#include "tests/sim/upgrade/UpgradeSim.h"
#include "tests/support/TempDir.h"
#include "updater/FirmwareTransfer.h"
#include "updater/firmware/UpdaterEntity.h"

namespace {

using namespace Quenlark::Tallowick;
using devsim::upgrade::SimOptions;
using devsim::upgrade::UpgradeSim;
using Bytes = std::vector<uint8_t>;

struct RecordingDisplay : UpdaterDisplayInterface {
  std::vector<double> progress;
  int spinnerTurns = 0;
  bool progressShown = false;
  void display_progress(bool on) override { progressShown = on; }
  void update_progress(double fraction, const char*) override { progress.push_back(fraction); }
  void update_spinner(bool on, const char*) override { spinnerTurns += on ? 1 : 0; }
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

// A BIRD block's data: the load address, big-endian, then the image.
Bytes block(uint32_t address, const Bytes& image) {
  Bytes b(4 + image.size());
  for (int i = 0; i < 4; i++) b[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  for (size_t i = 0; i < image.size(); i++) b[4 + i] = image[i];
  return b;
}

class UpgradeProtocol : public ::testing::Test {
 protected:
  void start(SimOptions options = SimOptions()) {
    sim = std::make_unique<UpgradeSim>(options);
    ASSERT_TRUE(sim->ok());
    module = std::make_unique<Module>(2, 0);
    QuivelConfig c;
    c.enabled = 0;
    c.fallback = 0;
    c.localOnly = 1;
    ASSERT_EQ(module->setConfig(c), aErrNone);
    linkSpec s;
    std::memset(&s, 0, sizeof s);
    s.type = kLinkTypeTCPIP;
    s.serialNumber = options.module.serial;
    s.module = options.module.address;
    s.model = options.module.model;
    s.t.ip.address = htonl(INADDR_LOOPBACK);
    s.t.ip.port = sim->port();
    ASSERT_EQ(module->connectFromSpec(s), aErrNone);
    entity = std::make_unique<UpdaterEntity>();
    entity->init(module.get(), 0, true, false);
  }

  unsigned requests(uint8_t option) { return sim->upgrade()->counts().requests[option]; }
  unsigned protocolErrors() { return sim->upgrade()->counts().protocolErrors; }

  // INIT and one loader block, as the updater sends them before LOAD.
  void sendLoader(const Bytes& image) {
    ASSERT_EQ(entity->LoaderInit(), aErrNone);
    Bytes loader = block(0x20000000, image);
    uint16_t size = 0;
    ASSERT_EQ(entity->TransferPrepare(loader.data(), static_cast<uint32_t>(loader.size()), 0, size), aErrNone);
    ASSERT_EQ(entity->LoaderTransfer(loader.data(), static_cast<uint32_t>(loader.size())), aErrNone);
  }

  Bytes flash() {
    uint32_t low = 0;
    return sim->upgrade()->image(&low);
  }

  std::unique_ptr<UpgradeSim> sim;
  std::unique_ptr<Module> module;
  std::unique_ptr<UpdaterEntity> entity;
  RecordingDisplay display;
};

TEST_F(UpgradeProtocol, LoaderAndFirmwareGoInCheckedPiecesIntoFlash) {
  start();
  const Bytes loaderImage = pattern(60, 3);
  sendLoader(loaderImage);
  // 60 bytes: DATA of 26, 26 and 8, then one SUM.
  EXPECT_EQ(requests(devsim::upgrade::kData), 3u);
  EXPECT_EQ(requests(devsim::upgrade::kSum), 1u);
  ASSERT_EQ(entity->LoaderStart(), aErrNone);

  const Bytes image = pattern(1000, 9);
  Bytes fw = block(0x08004000, image);
  uint16_t size = 0;
  ASSERT_EQ(entity->TransferPrepare(fw.data(), static_cast<uint32_t>(fw.size()), 5, size), aErrNone);
  EXPECT_EQ(size, 256);
  ASSERT_EQ(entity->FirmwareTransfer(fw.data(), static_cast<uint32_t>(fw.size()), size, display), aErrNone);
  // Pieces of 256, 256, 256 and 232 bytes, each summed and written.
  EXPECT_EQ(requests(devsim::upgrade::kWrite), 4u);
  EXPECT_EQ(requests(devsim::upgrade::kSum), 5u);
  ASSERT_EQ(display.progress.size(), 4u);
  EXPECT_DOUBLE_EQ(display.progress.back(), 1.0);
  EXPECT_FALSE(display.progressShown);

  uint32_t low = 0;
  EXPECT_EQ(sim->upgrade()->image(&low), image);
  EXPECT_EQ(low, 0x08004000u);
  EXPECT_EQ(sim->upgrade()->loaderImage(&low), loaderImage);
  EXPECT_EQ(protocolErrors(), 0u);
}

struct ReplyFault {
  const char* name;
  void (*spoil)(devsim::upgrade::Faults&);
  aErr expected;
  bool written = false;   // the device wrote the piece; only its answer is lost
};

// Each spoiled reply is met at the step that reads it; the data of a firmware piece
// is never written when its sum or write fails.
TEST_F(UpgradeProtocol, SpoiledRepliesFailTheirStep) {
  const ReplyFault cases[] = {
      {"short INIT", [](devsim::upgrade::Faults& f) { f.shortOption = 0, f.shortReply = 1; }, aErrPacket},
      {"PREPARE status 1", [](devsim::upgrade::Faults& f) { f.badPrepare = 1; }, aErrInvalidOption},
      {"PREPARE without block size", [](devsim::upgrade::Faults& f) { f.shortOption = 3, f.shortReply = -1; },
       aErrPacket},
      {"silent PREPARE", [](devsim::upgrade::Faults& f) { f.silentOption = 3, f.silent = -1; }, aErrTimeout},
      {"SUM without sum", [](devsim::upgrade::Faults& f) { f.shortOption = 4, f.shortReply = -1; }, aErrPacket},
      {"wrong SUM", [](devsim::upgrade::Faults& f) { f.wrongSum = -1; }, aErrInvalidOption},
      {"SUM status 1", [](devsim::upgrade::Faults& f) { f.badSum = -1; }, aErrInvalidOption},
      {"WRITE without status", [](devsim::upgrade::Faults& f) { f.shortOption = 5, f.shortReply = -1; },
       aErrInvalidOption, true},
      {"WRITE status 1", [](devsim::upgrade::Faults& f) { f.badWrite = -1; }, aErrInvalidOption},
      {"DATA never acknowledged right", [](devsim::upgrade::Faults& f) { f.wrongCount = -1; }, aErrPacket},
      {"silent DATA", [](devsim::upgrade::Faults& f) { f.silentOption = 1, f.silent = -1; }, aErrPacket},
  };
  for (const ReplyFault& c : cases) {
    SCOPED_TRACE(c.name);
    sim.reset();
    module.reset();
    start();
    devsim::upgrade::Settings s = sim->upgrade()->settings();
    c.spoil(s.faults);
    // INIT is spoiled before it is sent; the rest after a good loader.
    const bool atInit = s.faults.shortOption == 0;
    if (atInit) {
      sim->upgrade()->setSettings(s);
      EXPECT_EQ(entity->LoaderInit(), c.expected);
      continue;
    }
    sendLoader(pattern(30, 1));
    ASSERT_EQ(entity->LoaderStart(), aErrNone);
    sim->upgrade()->setSettings(s);
    Bytes fw = block(0x08000000, pattern(100, 2));
    uint16_t size = 0;
    aErr e = entity->TransferPrepare(fw.data(), static_cast<uint32_t>(fw.size()), 0, size);
    if (e == aErrNone) e = entity->FirmwareTransfer(fw.data(), static_cast<uint32_t>(fw.size()), size, display);
    EXPECT_EQ(e, c.expected);
    EXPECT_EQ(flash().empty(), !c.written);
  }
}

TEST_F(UpgradeProtocol, AChunkAcknowledgedWronglyIsSentAgainAndBoundedly) {
  SimOptions o;
  o.upgrade.faults.wrongCount = 2;
  start(o);
  const Bytes image = pattern(26, 4);
  sendLoader(image);
  // One chunk, refused twice, taken the third time; the sum holds only what was taken.
  EXPECT_EQ(requests(devsim::upgrade::kData), 3u);
  uint32_t low = 0;
  EXPECT_EQ(sim->upgrade()->loaderImage(&low), image);

  devsim::upgrade::Settings s = sim->upgrade()->settings();
  s.faults.wrongCount = -1;
  sim->upgrade()->setSettings(s);
  Bytes loader = block(0x20001000, image);
  uint16_t size = 0;
  ASSERT_EQ(entity->TransferPrepare(loader.data(), static_cast<uint32_t>(loader.size()), 0, size), aErrNone);
  EXPECT_EQ(entity->LoaderTransfer(loader.data(), static_cast<uint32_t>(loader.size())), aErrPacket);
  EXPECT_EQ(requests(devsim::upgrade::kData), 3u + UpdaterEntity::DATA_SENDS);
}

TEST_F(UpgradeProtocol, BlocksWithoutRoomForTheirAddressAndABlockSizeOfZeroAreRefused) {
  SimOptions o;
  o.upgrade.blockSize = 0;
  start(o);
  sendLoader(pattern(10, 5));
  ASSERT_EQ(entity->LoaderStart(), aErrNone);
  const Bytes tiny = {0x08, 0x00, 0x00};
  uint16_t size = 77;
  EXPECT_EQ(entity->TransferPrepare(tiny.data(), 3, 0, size), aErrSize);
  EXPECT_EQ(entity->LoaderTransfer(tiny.data(), 3), aErrSize);
  EXPECT_EQ(entity->FirmwareTransfer(tiny.data(), 3, 256, display), aErrSize);
  EXPECT_EQ(size, 77);
  EXPECT_EQ(requests(devsim::upgrade::kPrepare), 1u);

  Bytes fw = block(0x08000000, pattern(64, 6));
  ASSERT_EQ(entity->TransferPrepare(fw.data(), static_cast<uint32_t>(fw.size()), 0, size), aErrNone);
  EXPECT_EQ(size, 0);
  const unsigned dataBefore = requests(devsim::upgrade::kData);
  EXPECT_EQ(entity->FirmwareTransfer(fw.data(), static_cast<uint32_t>(fw.size()), size, display), aErrSize);
  EXPECT_EQ(requests(devsim::upgrade::kData), dataBefore);
}

TEST_F(UpgradeProtocol, UEIDataModeSendsEachPieceAsOneByteSequence) {
  SimOptions o;
  o.upgrade.acceptUeiData = true;
  o.module.features = 0x80000000u;
  start(o);
  sendLoader(pattern(40, 7));
  ASSERT_EQ(entity->LoaderStart(), aErrNone);
  ASSERT_EQ(entity->CheckUEIDataSupport(), aErrNone);
  ASSERT_EQ(entity->CheckPooledPacketsSupport(), aErrNone);
  const unsigned dataBefore = requests(devsim::upgrade::kData);

  const Bytes image = pattern(3000, 8);
  Bytes fw = block(0x08010000, image);
  uint16_t size = 0;
  ASSERT_EQ(entity->TransferPrepare(fw.data(), static_cast<uint32_t>(fw.size()), 0, size), aErrNone);
  ASSERT_EQ(entity->FirmwareTransfer(fw.data(), static_cast<uint32_t>(fw.size()), size, display), aErrNone);
  EXPECT_EQ(requests(devsim::upgrade::kData), dataBefore);
  EXPECT_EQ(flash(), image);
  EXPECT_EQ(protocolErrors(), 0u);
}

TEST_F(UpgradeProtocol, WithoutUEISupportTheDataGoesInPackets) {
  start();
  EXPECT_NE(entity->CheckUEIDataSupport(), aErrNone);
  sendLoader(pattern(10, 1));
  ASSERT_EQ(entity->LoaderStart(), aErrNone);
  Bytes fw = block(0x08000000, pattern(52, 2));
  uint16_t size = 0;
  ASSERT_EQ(entity->TransferPrepare(fw.data(), static_cast<uint32_t>(fw.size()), 0, size), aErrNone);
  ASSERT_EQ(entity->FirmwareTransfer(fw.data(), static_cast<uint32_t>(fw.size()), size, display), aErrNone);
  EXPECT_EQ(requests(devsim::upgrade::kDataUei), 0u);
  EXPECT_EQ(flash(), pattern(52, 2));
}

TEST_F(UpgradeProtocol, ALoaderThatLeavesTheLinkIsMetAgainAfterReconnecting) {
  SimOptions o;
  o.loadLeaveMs = 700;
  start(o);
  sendLoader(pattern(20, 1));
  EXPECT_EQ(entity->LoaderStart(), aErrNone);
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(sim->upgrade()->counts().loaderStarts, 1u);
  // The loader takes firmware on the new connection.
  Bytes fw = block(0x08000000, pattern(30, 2));
  uint16_t size = 0;
  ASSERT_EQ(entity->TransferPrepare(fw.data(), static_cast<uint32_t>(fw.size()), 0, size), aErrNone);
  ASSERT_EQ(entity->FirmwareTransfer(fw.data(), static_cast<uint32_t>(fw.size()), size, display), aErrNone);
  EXPECT_EQ(flash(), pattern(30, 2));
}

TEST_F(UpgradeProtocol, ALoaderThatNeverReturnsEndsLoaderStartWithATimeout) {
  SimOptions o;
  o.loadLeaveMs = 0;
  o.neverReturn = true;
  start(o);
  sendLoader(pattern(20, 1));
  const aTime before = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(entity->LoaderStart(), aErrTimeout);
  EXPECT_FALSE(module->isConnected());
  // One silent second, then five attempts 500 ms apart.
  EXPECT_GE(aTime_GetMonotonicMSTicks() - before, 3000u);
}

TEST_F(UpgradeProtocol, RebootWaitsForTheLinkToDropAndIsBounded) {
  struct Case {
    const char* name;
    int leaveMs;
    bool noWaitForDrop;
    aErr expected;
  };
  const Case cases[] = {
      {"device restarts", 2000, false, aErrNone},
      {"device keeps its link", -1, false, aErrTimeout},
      {"behind a router", -1, true, aErrNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    display = RecordingDisplay();
    sim.reset();
    module.reset();
    SimOptions o;
    o.rebootLeaveMs = c.leaveMs;
    start(o);
    entity->init(module.get(), 0, true, c.noWaitForDrop);
    entity->setRebootWaitMs(1500);
    sendLoader(pattern(20, 1));
    ASSERT_EQ(entity->LoaderStart(), aErrNone);
    EXPECT_EQ(entity->LoaderReboot(display), c.expected);
    EXPECT_EQ(sim->upgrade()->counts().reboots, 1u);
    if (c.noWaitForDrop) {
      EXPECT_EQ(display.spinnerTurns, 1);
    }
    EXPECT_EQ(sim->upgrade()->stateName(), "running");
  }
}

}  // namespace

namespace {

// A device that never answers its serial number or model query is no device the file
// is wrong for: the update says the device could not be reached or is in use (a module
// serving another host), where the Parts said "Birdfile failed validation" or named a
// model mismatch. A device that answers and differs is still a mismatch.
TEST_F(UpgradeProtocol, ValidationTellsADeviceThatDoesNotAnswerFromAMismatch) {
  SimOptions options;
  options.module.serial = 0x1234ABCD;
  start(options);
  testsupport::TempDir dir;
  const e2e::FirmwareBuild build("5000", "2.12.3", 11);
  const e2e::FirmwareBuild otherModel("5000", "2.12.3", 11, "Quarvel");
  birdgen::writeFile(dir.sub("good.bird"), build.file);
  birdgen::writeFile(dir.sub("other.bird"), otherModel.file);
  BirdFile good(dir.sub("good.bird").c_str());
  BirdFile other(dir.sub("other.bird").c_str());
  using updater::Validation;
  EXPECT_EQ(updater::_validate_birdfile(display, good, *module, 0x1234ABCD), Validation::kValid);
  EXPECT_EQ(updater::_validate_birdfile(display, good, *module, 0x1234ABCE), Validation::kInvalid);
  EXPECT_EQ(updater::_validate_birdfile(display, other, *module, 0x1234ABCD), Validation::kInvalid);
  const uint8_t kSerialOption = 9, kModelOption = 8;
  for (uint8_t option : {kSerialOption, kModelOption}) {
    SCOPED_TRACE(static_cast<int>(option));
    sim->front()->muteOption(devsim::model::kCmdSystem, option);
    EXPECT_EQ(updater::_validate_birdfile(display, good, *module, 0x1234ABCD), Validation::kUnanswered);
    sim->front()->clearFaults();
  }
}

}  // namespace

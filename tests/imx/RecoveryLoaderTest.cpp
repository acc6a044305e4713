// The loader step of an i.MX recovery: the loader blocks of a BIRD file written through
// the simulated boot ROM (on emulated USB HID), each at its own address, then the jump
// to the file's loader entry.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/aLibusb.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/imx/SdpHidFrontEnd.h"
#include "tests/sim/sdp/SdpRom.h"
#include "tests/usb/UsbEmulator.h"
#include "updater/recovery/ImxRecovery.h"

namespace {

using birdgen::Bytes;

class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

class LoaderStep : public ::testing::Test {
 protected:
  void SetUp() override {
    USBEMU_REQUIRE_PRELOAD();
    bus = std::make_unique<usbemu::Bus>();
    front = std::make_unique<sdpsim::HidFrontEnd>(rom, bus->testbed());
  }
  void TearDown() override {
    front.reset();
    Tallowick_libusb_exit();
    bus.reset();
  }
  BirdFile bird(const std::vector<birdgen::Block>& blocks) {
    birdgen::BirdLayout layout;
    layout.blocks = blocks;
    layout.blocks.push_back(birdgen::identityBlock("9000", "2.12.3", "DEADDEAD", "Hemblork"));
    const std::string path = dir.sub("file" + std::to_string(files++) + ".bird");
    birdgen::writeFile(path, birdgen::file(layout));
    return BirdFile(path.c_str());
  }

  testsupport::TempDir dir;
  int files = 0;
  QuietDisplay display;
  sdpsim::Rom rom;
  std::unique_ptr<usbemu::Bus> bus;
  std::unique_ptr<sdpsim::HidFrontEnd> front;
};

TEST_F(LoaderStep, EachBlockGoesToItsOwnAddressThenTheJumpToTheEntry) {
  const Bytes first = birdgen::randomImage(600, 1);
  const Bytes second = birdgen::randomImage(1500, 2);
  BirdFile file = bird({birdgen::imageBlock(birdgen::LOADER, 0x20000000, first),
                        birdgen::imageBlock(birdgen::FIRMWARE, 0x60000000, birdgen::randomImage(64, 3)),
                        birdgen::imageBlock(birdgen::LOADER, 0x20002000, second),
                        birdgen::loaderEntryBlock(0x20000600)});
  LogCapture log(0x1);
  EXPECT_EQ(updater::_transfer_recovery_loader(display, file, "USB"), aErrNone);

  const auto writes = rom.writes();
  ASSERT_EQ(writes.size(), 2u) << rom.dump();
  EXPECT_EQ(writes[0].address, 0x20000000u);
  EXPECT_EQ(writes[0].bytes, first);
  EXPECT_EQ(writes[1].address, 0x20002000u);
  EXPECT_EQ(writes[1].bytes, second);
  ASSERT_TRUE(rom.jumpAddress().has_value());
  EXPECT_EQ(*rom.jumpAddress(), 0x20000600u);
  EXPECT_EQ(log.text(),
            "Transfer Loader via Serial Interface (iMX):\n"
            "Writting Block: 0, size 600, address: 536870912\b"
            "Writting Block: 1, size 1500, address: 536879104\b");
}

TEST_F(LoaderStep, TheEntryIsTheFirstEntryBlockWithAnAddressElseTheDefault) {
  struct Case {
    const char* name;
    std::vector<birdgen::Block> entries;
    uint32_t jump;
  };
  const std::vector<Case> cases = {
      {"no entry block", {}, 0x20000400},
      {"first entry block too short", {birdgen::rawBlock(birdgen::LOADER_ENTRY, {0x20, 0x00, 0x10}),
                                       birdgen::loaderEntryBlock(0x20003000)}, 0x20000400},
      {"first of two", {birdgen::loaderEntryBlock(0x20001000), birdgen::loaderEntryBlock(0x20002000)}, 0x20001000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh ROM each time: one that has jumped answers nothing more.
    front.reset();
    sdpsim::Rom fresh;
    front = std::make_unique<sdpsim::HidFrontEnd>(fresh, bus->testbed());
    std::vector<birdgen::Block> blocks = {birdgen::imageBlock(birdgen::LOADER, 0x20000000, birdgen::randomImage(64, 4))};
    blocks.insert(blocks.end(), c.entries.begin(), c.entries.end());
    BirdFile file = bird(blocks);
    EXPECT_EQ(updater::_transfer_recovery_loader(display, file, "USB"), aErrNone);
    ASSERT_TRUE(fresh.jumpAddress().has_value());
    EXPECT_EQ(*fresh.jumpAddress(), c.jump);
    front.reset();
  }
}

TEST_F(LoaderStep, ARefusedBlockStopsTheTransferAndNothingIsStarted) {
  sdpsim::Knobs k;
  k.refuseWritesAt = {0x20000000};
  rom.setKnobs(k);
  BirdFile file = bird({birdgen::imageBlock(birdgen::LOADER, 0x20000000, birdgen::randomImage(700, 5)),
                        birdgen::imageBlock(birdgen::LOADER, 0x20002000, birdgen::randomImage(700, 6))});
  EXPECT_EQ(updater::_transfer_recovery_loader(display, file, "USB"), aErrConnection);
  EXPECT_EQ(rom.writes().size(), 1u);
  EXPECT_FALSE(rom.jumpAddress().has_value());
}

TEST_F(LoaderStep, OnlyTheExactTextUSBMeansUSB) {
  BirdFile file = bird({birdgen::imageBlock(birdgen::LOADER, 0x20000000, birdgen::randomImage(64, 7))});
  // Any other text names a serial line; there is no such tty here.
  for (const char* port : {"usb", "USB ", "Usb"}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(updater::_transfer_recovery_loader(display, file, port), aErrNotReady);
  }
  EXPECT_EQ(front->device().opens(), 0u);
  EXPECT_TRUE(rom.frames().empty());
}

TEST_F(LoaderStep, AFileWithoutLoaderBlocksOnlyJumps) {
  BirdFile file = bird({birdgen::imageBlock(birdgen::FIRMWARE, 0x60000000, birdgen::randomImage(64, 8))});
  EXPECT_EQ(updater::_transfer_recovery_loader(display, file, "USB"), aErrNone);
  EXPECT_TRUE(rom.writes().empty());
  ASSERT_TRUE(rom.jumpAddress().has_value());
  EXPECT_EQ(*rom.jumpAddress(), 0x20000400u);
}

}  // namespace

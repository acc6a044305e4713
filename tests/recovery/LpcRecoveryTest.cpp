// The LPC road of the recovery as a function, against the simulated boot ROM: what it
// shows, how it moves the progress bar, which chunks it copies where, and how it ends
// when the chip refuses its last command.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/BirdGenerator.h"
#include "tests/support/LogCapture.h"
#include "tests/sim/lpc/PtyChip.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/BirdFile.h"
#include "updater/recovery/LpcRecovery.h"

namespace {

using birdgen::Bytes;

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool on) override { lines.push_back(on ? "progress on" : "progress off"); }
  void update_progress(double fraction, const char*) override {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", fraction);
    lines.push_back(text);
  }
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { lines.push_back(text); }
  void error_message(const char* text) override { lines.push_back(std::string("error: ") + text); }
  std::vector<std::string> lines;
};

// A BirdFile made in memory, blocks as given (type, data with its address bytes):
// also blocks the file reader would refuse.
struct MemoryBird {
  BirdFile file;
  std::vector<Bytes> storage;
  void add(uint8_t type, Bytes data) {
    storage.push_back(std::move(data));
    const Bytes& kept = storage.back();
    BirdBlock block;
    block.type = type;
    block.length = static_cast<uint32_t>(kept.size());
    block.data = kept.data();
    if (kept.size() >= 4) block.address = static_cast<uint32_t>(kept[0]) << 24 | kept[1] << 16 | kept[2] << 8 | kept[3];
    file.blocks.push_back(block);
  }
  void image(uint32_t address, const Bytes& bytes) { add(BirdFile::BLOCK_TYPE_FIRMWARE, birdgen::imageBlock(1, address, bytes).data); }
  MemoryBird() { storage.reserve(16); }
};

class LpcRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.ok());
    sim.with([](lpcsim::IspChip& c) { c.setEraseMs(5); });
    Fingerprint fingerprint;
    std::string failure;
    ASSERT_EQ(updater::_get_fingerprint_lpc(sim.path(), 115200, fingerprint, failure), updater::LpcProbe::Read);
    port = sim.path();
  }
  std::vector<std::string> copies() {
    std::vector<std::string> out;
    for (const std::string& line : sim.commands())
      if (line[0] == 'P' || line[0] == 'C') out.push_back(line);
    return out;
  }
  lpcsim::PtyChip sim;
  std::string port;
  RecordingDisplay display;
  Fingerprint unused;
};

TEST_F(LpcRoad, ImageAtZeroShowsItsProgressInOrderAndCopiesTheVectorTableLast) {
  MemoryBird bird;
  const Bytes image = birdgen::randomImage(10000, 21);
  bird.image(0, image);
  bird.image(0, Bytes(4, 0));  // the end marker
  ASSERT_TRUE(updater::_recover_firmware_lpc(display, bird.file, port, 115200, unused));
  EXPECT_EQ(display.lines, (std::vector<std::string>{"Transferring firmware block 1 of 1, 10000 bytes", "progress on",
                                                     "0.41", "0.82", "1.00", "progress off",
                                                     "Transferred 1 blocks, 10000 total bytes", "Rebooting Device"}));
  EXPECT_EQ(copies(), (std::vector<std::string>{"P 0 29", "P 1 1", "C 4096 268439552 4096", "P 2 2",
                                                "C 8192 268439552 4096", "P 0 0", "C 0 268439552 4096"}));
  const Bytes flash = sim.flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 10000), image);
  EXPECT_EQ(Bytes(flash.begin() + 10000, flash.begin() + 12288), Bytes(2288, 0xFF));
}

TEST_F(LpcRoad, BlocksWithoutAnAddressAreSkippedAndTheEndMarkerStopsTheTransfer) {
  MemoryBird bird;
  bird.add(BirdFile::BLOCK_TYPE_FIRMWARE, Bytes{0x00, 0x01});
  const Bytes image = birdgen::randomImage(100, 22);
  bird.image(0x4000, image);
  bird.image(0, Bytes(4, 0));
  bird.image(0x6000, birdgen::randomImage(64, 23));  // after the marker: never written
  LogCapture log(Log::DEBUG_Updater);
  ASSERT_TRUE(updater::_recover_firmware_lpc(display, bird.file, port, 115200, unused));
  EXPECT_TRUE(log.contains("Skipping firmware block of 2 bytes: no load address\n")) << log.text();
  EXPECT_EQ(display.lines.front(), "Transferring firmware block 1 of 1, 100 bytes");
  EXPECT_EQ(copies(), (std::vector<std::string>{"P 0 29", "P 4 4", "C 16384 268439552 256"}));
  Bytes expected(lpcsim::kFlashSize, 0xFF);
  std::copy(image.begin(), image.end(), expected.begin() + 0x4000);
  EXPECT_EQ(sim.flash(), expected);
}

// The count shown is the blocks that are sent, whether or not the file ends with the
// end marker.
TEST_F(LpcRoad, ProgressCountsTheBlocksThatAreSent) {
  MemoryBird bird;
  bird.image(0x1000, birdgen::randomImage(300, 25));
  bird.image(0x3000, birdgen::randomImage(200, 26));
  ASSERT_TRUE(updater::_recover_firmware_lpc(display, bird.file, port, 115200, unused));
  std::vector<std::string> counts;
  for (const std::string& line : display.lines)
    if (line.rfind("Transferr", 0) == 0) counts.push_back(line);
  EXPECT_EQ(counts, (std::vector<std::string>{"Transferring firmware block 1 of 2, 300 bytes",
                                              "Transferring firmware block 2 of 2, 200 bytes",
                                              "Transferred 2 blocks, 500 total bytes"}));
}

TEST_F(LpcRoad, ARefusedFinalEchoCommandFailsWithoutStartingTheChip) {
  MemoryBird bird;
  bird.image(0x1000, birdgen::randomImage(256, 24));
  // Both echo commands refused: the first is ignored, the last ends the recovery.
  sim.with([](lpcsim::IspChip& c) { c.failCommand('A', 12, 2); });
  EXPECT_FALSE(updater::_recover_firmware_lpc(display, bird.file, port, 115200, unused));
  EXPECT_EQ(display.lines.back(), "error: Recovery Error transfering data to device ==> [2, aErrParam]");
  EXPECT_EQ(sim.goAddress(), std::nullopt);
  EXPECT_EQ(sim.count('G'), 0u);
}

}  // namespace

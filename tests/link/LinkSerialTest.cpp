// Links over a pty pair with COBS framing and CRC-8, the simulated module on the master
// side.
#include <gtest/gtest.h>

#include "common/internal/aLinkInternal.h"
#include "common/internal/aLinkTable.h"
#include "tests/link/LinkFixtures.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

using namespace linktest;

constexpr uint32_t kSerial = 0x5E41A100;

class SerialLink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.ok()); }
  void TearDown() override {
    if (id != 0) aLink_Destroy(&id);
  }
  void open(uint32_t baud = 115200) {
    id = aLink_CreateSerial(kSerial, pty.slavePath().c_str(), baud);
    ASSERT_NE(id, 0u);
  }

  devsim::Device device;
  devsim::PtyFrontEnd pty{device};
  aLinkRef id = 0;
};

TEST_F(SerialLink, SynchronisesOverCobsFrames) {
  open();
  EXPECT_TRUE(waitFor([&] { return device.routeState() == 1; }));
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_EQ(device.countReceived(isSync), 6u);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
  EXPECT_EQ(device.badFrames(), 0u);
}

TEST_F(SerialLink, SplitRepliesAndHeartbeats) {
  devsim::Config c = device.config();
  c.splitBytes = true;
  c.heartbeatMs = 15;
  device.setConfig(c);
  open();
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(waitFor([&] { return device.heartbeats().answered >= 4; }));
  EXPECT_EQ(device.heartbeats().wrong, 0u);
  EXPECT_EQ(queryModel(id, 0x04), c.model);
}

TEST_F(SerialLink, LineNoiseIsSurvived) {
  open();
  ASSERT_EQ(queryModel(id, 0x04), device.config().model);
  // A frame that fails its checks, then raw bytes that frame nothing valid.
  device.sendRaw({0x11, 0x22, 0x33, 0x00, 0x05, 0x00});
  EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(id) != kLinkStatusRunning; }, 1000));
  EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
  aLink_DrainPackets(id, acceptAll, nullptr);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(SerialLink, ResetIsRefusedAndTheLinkKeepsRunning) {
  open();
  EXPECT_EQ(aLink_Reset(id), aErrParam);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(queryModel(id, 0x04), device.config().model);
}

TEST_F(SerialLink, SameSerialNumberIsReused) {
  open();
  aLinkRef again = aLink_CreateSerial(kSerial, "/dev/null/not-a-port", 9600);
  EXPECT_EQ(again, id);
  aLink_Destroy(&again);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
}

TEST(SerialLinkCreation, RefusesWhatCannotBeOpened) {
  devsim::Device device;
  devsim::PtyFrontEnd pty(device);
  ASSERT_TRUE(pty.ok());
  EXPECT_EQ(aLink_CreateSerial(0x77, pty.slavePath().c_str(), 14400), 0u);
  EXPECT_EQ(aLink_CreateSerial(0x77, "/nonexistent/tty", 115200), 0u);
  EXPECT_EQ(aLink_CreateSerial(0x77, nullptr, 115200), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(0x77, aLINK_TYPE_SERIAL), nullptr);
}

}  // namespace

// The ISP client against the simulated boot ROM over a pty: the whole road of a
// recovery step by step, read back through the chip, and the handshake rules that
// only a chip with state can show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/BirdGenerator.h"
#include "tests/sim/lpc/PtyChip.h"
#include "updater/recovery/NXPSerial.h"

namespace {

using lpcsim::Bytes;

class ClientOnSim : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.ok());
    sim.with([](lpcsim::IspChip& c) { c.setSerial({0x01020304u, 0xA0B0C0D0u, 7, 0xFFFFFFFFu}); });
  }
  lpcsim::PtyChip sim;
};

TEST_F(ClientOnSim, SyncIdentifyUnlockEraseWriteCopyAndReadBack) {
  // An erase far longer than a command answer's allowance of about 100 ms.
  sim.with([](lpcsim::IspChip& c) {
    c.setEraseMs(1500);
    c.setFlash(0, Bytes(lpcsim::kFlashSize, 0x00));
  });
  NXPSerialClass client;
  ASSERT_EQ(client.Connect(sim.path().c_str(), 115200), aErrNone);
  ASSERT_EQ(client.Sync(), aErrNone);
  ASSERT_EQ(client.GetDeviceID(), aErrNone);
  EXPECT_EQ(std::vector<uint32_t>(client.deviceID, client.deviceID + 4),
            (std::vector<uint32_t>{0x01020304u, 0xA0B0C0D0u, 7, 0xFFFFFFFFu}));
  long part = 0;
  EXPECT_EQ(client.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 0x26013F37);
  ASSERT_EQ(client.Unlock(), aErrNone);
  ASSERT_EQ(client.Prepare(0, 29), aErrNone);
  ASSERT_EQ(client.Erase(0, 29), aErrNone);
  EXPECT_EQ(sim.flash(), Bytes(lpcsim::kFlashSize, 0xFF));

  const Bytes image = birdgen::randomImage(4096, 5);
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    ASSERT_EQ(client.SetEcho(echo), aErrNone);
    ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 4096, image.data()), aErrNone);
    ASSERT_EQ(client.Prepare(8, 8), aErrNone);
    ASSERT_EQ(client.CopyToFlash(0x8000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    Bytes back(4096, 0);
    ASSERT_EQ(client.Read(0x8000, 4096, back.data()), aErrNone);
    EXPECT_EQ(back, image);
  }
  const Bytes flash = sim.flash();
  EXPECT_EQ(Bytes(flash.begin() + 0x8000, flash.begin() + 0x9000), image);
  // Still in command mode after both read-backs.
  EXPECT_EQ(client.Prepare(0, 0), aErrNone);
}

TEST_F(ClientOnSim, WriteHonoursAResendOverTheLine) {
  NXPSerialClass client;
  ASSERT_EQ(client.Connect(sim.path().c_str(), 115200), aErrNone);
  ASSERT_EQ(client.Sync(), aErrNone);
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  sim.with([](lpcsim::IspChip& c) { c.resendOnce(); });
  const Bytes image = birdgen::randomImage(1000, 9);
  ASSERT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 1000, image.data()), aErrNone);
  Bytes back(1000, 0);
  ASSERT_EQ(client.Read(NXPSerialClass::WRITE_ADDRESS, 1000, back.data()), aErrNone);
  EXPECT_EQ(back, image);
}

// At a slow rate, with bytes paced as on a real line, the echo of a data line takes
// longer than a command answer's allowance (61 characters at 2400 baud: a quarter of a
// second); it is waited for as long as it takes to cross the line.
TEST_F(ClientOnSim, EchoesOfLongLinesAtASlowRateAreWaitedFor) {
  sim.setPacing(true);
  NXPSerialClass client;
  ASSERT_EQ(client.Connect(sim.path().c_str(), 2400), aErrNone);
  ASSERT_EQ(client.baud, 2400u);
  ASSERT_EQ(client.Sync(), aErrNone);
  ASSERT_TRUE(client.echo);
  const Bytes image = birdgen::randomImage(92, 6);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 92, image.data()), aErrNone);
  EXPECT_FALSE(client.EchoFailed());
  EXPECT_EQ(client.CopyToFlash(0x8000, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);  // not prepared
  EXPECT_FALSE(client.EchoFailed());
  sim.setPacing(false);
  ASSERT_EQ(client.SetEcho(false), aErrNone);
  Bytes back(92, 0);
  ASSERT_EQ(client.Read(NXPSerialClass::WRITE_ADDRESS, 92, back.data()), aErrNone);
  EXPECT_EQ(back, image);
}

TEST_F(ClientOnSim, ASecondSyncFindsTheChipAlreadySynchronised) {
  {
    NXPSerialClass first;
    ASSERT_EQ(first.Connect(sim.path().c_str(), 115200), aErrNone);
    ASSERT_EQ(first.Sync(), aErrNone);
  }
  NXPSerialClass second;
  ASSERT_EQ(second.Connect(sim.path().c_str(), 115200), aErrNone);
  second.echo = false;
  ASSERT_EQ(second.Sync(), aErrNone);
  EXPECT_TRUE(second.echo);
  ASSERT_EQ(second.GetDeviceID(), aErrNone);
  EXPECT_EQ(second.deviceID[1], 0xA0B0C0D0u);
  EXPECT_EQ(sim.with([](lpcsim::IspChip& c) { return c.syncs(); }), 1u);
}

TEST_F(ClientOnSim, ANewRateHoldsOnlyAfterTheChipWasToldIt) {
  NXPSerialClass client;
  ASSERT_EQ(client.Connect(sim.path().c_str(), 115200), aErrNone);
  ASSERT_EQ(client.Sync(), aErrNone);
  // Reopened at another rate without telling the chip: nothing it says is understood.
  ASSERT_EQ(client.Connect(sim.path().c_str(), 57600), aErrNone);
  EXPECT_NE(client.Unlock(), aErrNone);
  ASSERT_EQ(client.Connect(sim.path().c_str(), 115200), aErrNone);
  // The noise began a line that this command ends: refused once, then heard again.
  EXPECT_EQ(client.Prepare(0, 0), aErrParam);
  ASSERT_EQ(client.Prepare(0, 0), aErrNone);
  ASSERT_EQ(client.SetBaudRate(57600), aErrNone);
  ASSERT_EQ(client.Connect(sim.path().c_str(), 57600), aErrNone);
  EXPECT_EQ(client.Unlock(), aErrNone);
  EXPECT_EQ(sim.with([](lpcsim::IspChip& c) { return c.rate(); }), 57600u);
}

}  // namespace

// The live-loader emulation on its own, through the product's object API: the boot
// ROM's HID device and the loader's USB device share one testbed; the loader arrives
// only after the jump to its entry, answers the identifier words and leaves after a
// system reset.
#include <gtest/gtest.h>

#include <memory>

#include "api/Module.h"
#include "api/QuivelConfig.h"
#include "api/SystemClass.h"
#include "common/aLibusb.h"
#include "tests/imx/LiveLoader.h"
#include "tests/imx/SdpHidFrontEnd.h"
#include "tests/usb/UsbEmulator.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/IMX1050.h"
#include "updater/recovery/SDPLoader.h"

namespace {

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::QuivelConfig;
using Quenlark::Tallowick::SystemClass;

class LiveLoaderEmulation : public ::testing::Test {
 protected:
  void SetUp() override {
    USBEMU_REQUIRE_PRELOAD();
    bus = std::make_unique<usbemu::Bus>();
    front = std::make_unique<sdpsim::HidFrontEnd>(rom, bus->testbed());
  }
  void TearDown() override {
    loader.reset();
    front.reset();
    Tallowick_libusb_exit();
    bus.reset();
  }
  void jumpTo(uint32_t address) {
    SDPLoader sdp;
    sdp.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    ASSERT_EQ(sdp.init(), SDPLoader::SDP_OK);
    sdp.startLoader(address);
  }
  static void offline(Module& m) {
    QuivelConfig config;
    config.enabled = 0;
    config.fallback = 0;
    ASSERT_EQ(m.setConfig(config), aErrNone);
  }

  sdpsim::Rom rom;
  std::unique_ptr<usbemu::Bus> bus;
  std::unique_ptr<sdpsim::HidFrontEnd> front;
  std::unique_ptr<sdpsim::LiveLoader> loader;
};

TEST_F(LiveLoaderEmulation, AppearsAfterTheJumpAnswersItsIdentifierAndLeavesAfterAReset) {
  sdpsim::LiveLoaderOptions options;
  loader = std::make_unique<sdpsim::LiveLoader>(*bus, rom, options, &front->device());
  EXPECT_EQ(loader->arrivals(), 0u);
  jumpTo(0x20000400);

  ASSERT_TRUE(loader->waitForArrivals(1, 5000));
  Module m(0, 0);
  offline(m);
  ASSERT_EQ(m.discoverAndConnect(kLinkTypeUSB, sdpsim::kPlaceholderSerial), aErrNone);
  SystemClass system;
  system.init(&m, 0);
  for (uint8_t i = 0; i < 4; i++) {
    uint32_t word = 0;
    EXPECT_EQ(system.getUEI32(systemUniqueIdentifier, i, &word), aErrNone);
    EXPECT_EQ(word, options.identifier[i]);
  }
  system.reset();
  EXPECT_TRUE(loader->waitForDepartures(1, 5000));
  EXPECT_EQ(loader->resets(), 1u);
  // The boot ROM's downloader left the bus at the jump.
  SDPLoader again;
  again.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  EXPECT_EQ(again.init(), SDPLoader::SDP_NOT_OPENED);
}

TEST_F(LiveLoaderEmulation, AJumpElsewhereStartsNothing) {
  sdpsim::LiveLoaderOptions options;
  options.appearAfterMs = 0;
  loader = std::make_unique<sdpsim::LiveLoader>(*bus, rom, options, &front->device());
  jumpTo(0x20000000);
  ASSERT_TRUE(loader->waitForJumps(1, 5000));
  Module m(0, 0);
  offline(m);
  EXPECT_NE(m.discoverAndConnect(kLinkTypeUSB, sdpsim::kPlaceholderSerial), aErrNone);
  EXPECT_EQ(loader->arrivals(), 0u);
}

}  // namespace

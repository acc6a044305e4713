// USB links end to end: the link engine over the USB stream through the real libusb to
// the simulated module behind an emulated device.
#include <chrono>
#include <memory>

#include "common/aLink.h"
#include "common/discovery/aDiscovery.h"
#include "common/internal/aLinkInternal.h"
#include "common/internal/aLinkTable.h"
#include "tests/link/LinkFixtures.h"
#include "tests/usb/SimNodeFrontEnd.h"
#include "tests/usb/SimUsbFrontEnd.h"
#include "tests/usb/UsbFixture.h"

using namespace usbemu;
using linktest::isRoute;
using linktest::isSync;
using linktest::queryModel;
using linktest::waitFor;

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;

class UsbLink : public UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    devsim::Config config = module.config();
    config.serial = kSerial;
    config.address = 0x04;
    config.model = 0x13;
    module.setConfig(config);
  }
  void TearDown() override {
    while (id != 0 && sLookupEntryByID(id) != nullptr) aLink_Destroy(&id);
    frontEnd.reset();
    UsbTest::TearDown();
  }

  // Where discovery finds the module with that serial number (bus 0 when it does not).
  static linkSpec found(uint32_t serial) {
    linkSpec spec{};
    linkSpec* made = aDiscovery_FindModule(kLinkTypeUSB, serial, 0);
    if (made != nullptr) spec = *made;
    aLinkSpec_Destroy(&made);
    return spec;
  }

  Device& attach(uint16_t productId = 0x0013) {
    Device& usb = bus->add(withSerial("1234ABCD", productId));
    frontEnd = std::make_unique<SimUsbFrontEnd>(module, usb);
    return usb;
  }

  devsim::Device module;
  std::unique_ptr<SimUsbFrontEnd> frontEnd;
  aLinkRef id = 0;
};

TEST_F(UsbLink, CreationSynchronisesAndTheLinkCarriesPackets) {
  attach();
  id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  // The handshake ran over USB: the module saw the sync requests and route-on.
  EXPECT_GE(module.countReceived(isSync), 2u);
  EXPECT_TRUE(waitFor([&] { return module.routeState() == 1; }));
  // Surplus sync replies were drained: the first packet awaited is the real reply.
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
}

TEST_F(UsbLink, SplitRepliesAndHeartbeatsAreHandled) {
  devsim::Config config = module.config();
  config.splitBytes = true;
  config.heartbeatMs = 100;
  module.setConfig(config);
  attach();
  id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_TRUE(waitFor([&] { return module.heartbeats().answered >= 2; }));
  EXPECT_EQ(module.heartbeats().wrong, 0u);
}

TEST_F(UsbLink, SecondCreationSharesTheLinkUntilTheLastDestroy) {
  Device& usb = attach();
  id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  aLinkRef again = aLink_CreateUSB(kSerial);
  EXPECT_EQ(again, id);
  EXPECT_EQ(usb.counters().claims, 1u);

  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(usb.counters().releases, 0u);

  aLinkRef last = id;
  EXPECT_EQ(aLink_Destroy(&last), aErrNone);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
  // Stopping sent route-off, and the interface was released.
  EXPECT_TRUE(waitFor([&] { return module.countReceived([](const devsim::WirePacket& p) { return isRoute(p, 0); }) == 1; }));
  EXPECT_EQ(usb.counters().releases, 1u);
  id = 0;
}

TEST_F(UsbLink, NoDeviceOrNoHandshakeLeavesNothingBehind) {
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
  EXPECT_EQ(aLink_CreateUSB(0), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, aLINK_TYPE_USB), nullptr);

  devsim::Config config = module.config();
  config.answerSync = false;
  module.setConfig(config);
  Device& usb = attach();
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, aLINK_TYPE_USB), nullptr);
  EXPECT_EQ(usb.counters().releases, 1u);
}

TEST_F(UsbLink, ResetReopensADeviceThatLeftAndCameBack) {
  Device* usb = &attach();
  id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(queryModel(id, 0x04), 0x13);

  // The module leaves the bus: the link's reader sees the IO errors.
  frontEnd.reset();
  bus->remove(*usb);
  EXPECT_TRUE(waitFor([&] { return aLink_GetStatus(id) == kLinkStatusIOError; }, 5000));

  // It comes back under the same serial number; a fresh context sees it, while the
  // link still holds its handle on the old one.
  usb = &bus->add(withSerial("1234ABCD"));
  frontEnd = std::make_unique<SimUsbFrontEnd>(module, *usb);
  Tallowick_libusb_exit();
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(usb->counters().claims, 1u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
}

TEST_F(UsbLink, RunsOverTheKernelNodeAndStopsWithoutHanging) {
  int node = bus->addKernelNode(kSerial);
  ASSERT_GE(node, 0);
  Device& usb = bus->add(withSerial("1234ABCD"));  // also on the bus, never touched
  SimNodeFrontEnd nodeEnd(module, node);
  id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  EXPECT_GE(module.countReceived(isSync), 2u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);

  // Stopping joins the reader, which must come back from an idle node.
  auto start = std::chrono::steady_clock::now();
  aLinkRef last = id;
  EXPECT_EQ(aLink_Destroy(&last), aErrNone);
  id = 0;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(usb.counters().controlUrbs, 0u);
  EXPECT_EQ(usb.counters().bulkOutUrbs + usb.counters().bulkInUrbs, 0u);
}

// A connect walks the bus once: discovery opens every module to read its serial string
// and says where it found the wanted one; the link is opened there, so the other
// modules are not opened a second time.
TEST_F(UsbLink, CreationAtThePlaceDiscoveryFoundOpensNoOtherModule) {
  // One module on each side of the wanted one, whatever order the bus lists them in.
  Device& before = bus->add(withSerial("0000000B"));
  Device& usb = attach();
  Device& after = bus->add(withSerial("0000000C"));
  auto others = [&] { return before.counters().controlUrbs + after.counters().controlUrbs; };
  const linkSpec spec = found(kSerial);
  ASSERT_EQ(spec.serialNumber, kSerial);
  EXPECT_NE(spec.t.usb.bus, 0u);
  const unsigned othersAsked = others();
  const unsigned wantedAsked = usb.counters().controlUrbs;
  ASSERT_GT(othersAsked, 0u);
  id = aLink_CreateUSBAt(kSerial, spec.t.usb.bus, spec.t.usb.address);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(others(), othersAsked);
  EXPECT_EQ(before.counters().claims + after.counters().claims, 0u);
  // The module itself is asked once more, for the serial string that proves it is still
  // the module discovery saw there.
  EXPECT_EQ(usb.counters().controlUrbs, 2 * wantedAsked);
  EXPECT_EQ(usb.counters().claims, 1u);
}

// A place that no longer holds the module (it left and came back elsewhere, or another
// module sits there) is no failure: the module is looked for by its serial number.
TEST_F(UsbLink, AModuleNoLongerAtItsPlaceIsFoundByItsSerialNumber) {
  Device& other = bus->add(withSerial("0000000B"));
  Device* usb = &attach();
  const linkSpec elsewhere = found(0x0000000B);
  ASSERT_NE(elsewhere.t.usb.bus, 0u);
  id = aLink_CreateUSBAt(kSerial, elsewhere.t.usb.bus, elsewhere.t.usb.address);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(other.counters().claims, 0u);
  aLinkRef last = id;
  ASSERT_EQ(aLink_Destroy(&last), aErrNone);
  id = 0;

  const linkSpec before = found(kSerial);
  frontEnd.reset();
  bus->remove(*usb);
  usb = &bus->add(withSerial("1234ABCD"));
  frontEnd = std::make_unique<SimUsbFrontEnd>(module, *usb);
  Tallowick_libusb_exit();
  const linkSpec after = found(kSerial);
  ASSERT_NE(after.t.usb.bus, 0u);
  EXPECT_FALSE(after.t.usb.bus == before.t.usb.bus && after.t.usb.address == before.t.usb.address);
  id = aLink_CreateUSBAt(kSerial, before.t.usb.bus, before.t.usb.address);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(usb->counters().claims, 1u);
}

}  // namespace

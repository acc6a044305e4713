// The object API end to end over emulated USB: discovery through the real libusb, the
// USB link with its handshake, auto-networking, entities and the router road.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <cstdio>
#include <numeric>

#include "api/I2CClass.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/discovery/aDiscovery.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/usb/SimUsbFrontEnd.h"
#include "tests/usb/UsbFixture.h"

namespace {

using namespace Quenlark::Tallowick;
using Bytes = std::vector<uint8_t>;

QuivelConfig noServer(uint8_t fallback = 0) {
  QuivelConfig c;
  c.enabled = 0;
  c.fallback = fallback;
  return c;
}

// One simulated module (with its network) behind one emulated USB device.
struct Attached {
  Attached(usbemu::Bus& bus, const devsim::model::ModuleConfig& config) {
    front = std::make_shared<devsim::model::Module>(config);
    network = std::make_shared<devsim::model::Network>(front);
    devsim::Config dc;
    dc.address = config.address;
    dc.serial = config.serial;
    dc.model = config.model;
    device = std::make_unique<devsim::Device>(dc);
    devsim::model::Network::attach(*device, network);
    usbemu::DeviceSpec spec;
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", config.serial);
    spec.serial = serial;
    spec.productId = config.model;
    usb = &bus.add(spec);
    frontEnd = std::make_unique<usbemu::SimUsbFrontEnd>(*device, *usb);
  }
  ~Attached() { frontEnd.reset(); }

  std::shared_ptr<devsim::model::Module> front;
  std::shared_ptr<devsim::model::Network> network;
  std::unique_ptr<devsim::Device> device;
  usbemu::Device* usb = nullptr;
  std::unique_ptr<usbemu::SimUsbFrontEnd> frontEnd;
};

devsim::model::ModuleConfig config(uint32_t serial, uint8_t address, uint8_t model) {
  devsim::model::ModuleConfig c;
  c.serial = serial;
  c.address = address;
  c.model = model;
  return c;
}

class UsbModule : public usbemu::UsbTest {
 protected:
  void TearDown() override {
    modules.clear();
    attached.clear();
    usbemu::UsbTest::TearDown();
  }
  Attached& attach(uint32_t serial, uint8_t address, uint8_t model) {
    attached.push_back(std::make_unique<Attached>(*bus, config(serial, address, model)));
    return *attached.back();
  }
  Module& module(uint8_t address = 2, uint8_t model = 0) {
    modules.push_back(std::make_unique<Module>(address, model));
    modules.back()->setConfig(noServer());
    return *modules.back();
  }

  std::vector<std::unique_ptr<Attached>> attached;
  std::vector<std::unique_ptr<Module>> modules;
};

TEST_F(UsbModule, ConnectBySerialNumberAndTalk) {
  Attached& a = attach(0x00C0FFEE, 0x06, 0x13);
  Module& m = module();
  ASSERT_EQ(m.connect(kLinkTypeUSB, 0x00C0FFEE), aErrNone);
  EXPECT_TRUE(m.isConnected());
  EXPECT_EQ(m.getModuleAddress(), 0x06);
  linkSpec s;
  ASSERT_EQ(m.getLinkSpecifier(&s), aErrNone);
  EXPECT_EQ(s.type, kLinkTypeUSB);
  EXPECT_EQ(s.model, 0x13u);

  SystemClass sys;
  sys.init(&m, 0);
  uint32_t serial = 0, build = 0, word = 0;
  uint8_t model = 0;
  EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x00C0FFEEu);
  EXPECT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x13);
  EXPECT_EQ(sys.getUEI32(systemUniqueIdentifier, 2, &word), aErrNone);
  EXPECT_EQ(word, 0x33333333u);
  EXPECT_EQ(m.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4711u);

  devsim::model::OptionSpec blob;
  blob.option = 50;
  blob.kind = devsim::model::Kind::Bytes;
  blob.maxBytes = 8192;
  a.front->setOption(blob);
  Bytes data(3100);
  std::iota(data.begin(), data.end(), uint8_t(3));
  EXPECT_EQ(sys.setUEIBytes(50, data.data(), data.size()), aErrNone);
  EXPECT_EQ(a.front->bytes(3, 50), data);
  Bytes back(4000);
  uint64_t count = 0;
  EXPECT_EQ(sys.getUEIBytes(50, back.data(), back.size(), &count), aErrNone);
  back.resize(count);
  EXPECT_EQ(back, data);

  // The link can be dropped and taken up again from the stored specifier.
  EXPECT_EQ(m.disconnect(), aErrNone);
  EXPECT_FALSE(m.isConnected());
  EXPECT_EQ(m.reconnect(), aErrNone);
  EXPECT_EQ(sys.getModel(&model), aErrNone);
}

// Connecting by serial number opens every other module of the bus once, for discovery
// to read its serial string, and never again to open the link: the link is opened where
// discovery found the module.
TEST_F(UsbModule, ConnectOpensTheOtherModulesOnce) {
  // One module on each side of the wanted one, whatever order the bus lists them in.
  Attached& before = attach(0x000000A1, 0x04, 0x13);
  attach(0x00C0FFEE, 0x06, 0x13);
  Attached& after = attach(0x000000A2, 0x08, 0x13);
  auto asked = [&] { return std::make_pair(before.usb->counters().controlUrbs, after.usb->counters().controlUrbs); };
  // What finding the module asks of the others.
  linkSpec* found = aDiscovery_FindModule(kLinkTypeUSB, 0x00C0FFEE, 0);
  ASSERT_NE(found, nullptr);
  aLinkSpec_Destroy(&found);
  const auto discovery = asked();
  ASSERT_GT(discovery.first + discovery.second, 0u);
  Module& m = module();
  ASSERT_EQ(m.connect(kLinkTypeUSB, 0x00C0FFEE), aErrNone);
  EXPECT_EQ(m.getModuleAddress(), 0x06);
  const auto connect = asked();
  EXPECT_EQ(connect.first, 2 * discovery.first);
  EXPECT_EQ(connect.second, 2 * discovery.second);
  EXPECT_EQ(before.usb->counters().claims + after.usb->counters().claims, 0u);
}

// With the fallback a module not found on USB is looked for by link-server discovery,
// which may send datagrams: these tests run in a network namespace of their own.
class UsbModuleFallback : public UsbModule {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(false);
    UsbModule::SetUp();
  }
};

TEST_F(UsbModuleFallback, DiscoveryByModelAndNotFound) {
  attach(0x000000A1, 0x04, 0x13);
  attach(0x000000A2, 0x08, 0x20);
  Module& any = module(2, 0);
  ASSERT_EQ(any.discoverAndConnect(kLinkTypeUSB, 0), aErrNone);
  Module& wanted = module(2, 0x20);
  ASSERT_EQ(wanted.discoverAndConnect(kLinkTypeUSB, 0), aErrNone);
  linkSpec s;
  ASSERT_EQ(wanted.getLinkSpecifier(&s), aErrNone);
  EXPECT_EQ(s.serialNumber, 0xA2u);
  EXPECT_EQ(wanted.getModuleAddress(), 0x08);

  Module& missing = module(2, 0x55);
  EXPECT_EQ(missing.discoverAndConnect(kLinkTypeUSB, 0), aErrNotFound);
  EXPECT_EQ(missing.connect(kLinkTypeUSB, 0x0BADBAD0), aErrNotFound);
  // With the fallback the second attempt (a link-server client) finds nothing either.
  missing.setConfig(noServer(1));
  EXPECT_EQ(missing.connect(kLinkTypeUSB, 0x0BADBAD0), aErrNotFound);
  EXPECT_FALSE(missing.isConnected());
}

// A failed link-server attempt falls back to USB once, when the flag allows it.
TEST_F(UsbModuleFallback, FallbackFromServerKindToUsb) {
  attach(0x00C0FFEE, 0x06, 0x13);
  Module& strict = module();
  EXPECT_EQ(strict.discoverAndConnect(kLinkTypeQuivel, 0x00C0FFEE), aErrNotFound);
  EXPECT_FALSE(strict.isConnected());
  Module& lenient = module();
  ASSERT_EQ(lenient.setConfig(noServer(1)), aErrNone);
  ASSERT_EQ(lenient.discoverAndConnect(kLinkTypeQuivel, 0x00C0FFEE), aErrNone);
  linkSpec s;
  ASSERT_EQ(lenient.getLinkSpecifier(&s), aErrNone);
  EXPECT_EQ(s.type, kLinkTypeUSB);
  EXPECT_EQ(lenient.getModuleAddress(), 0x06);
}

// With the feature on, a USB device link gets a link server in front of it, announced
// as serving a USB device, and the Module reaches the device through it.
TEST_F(UsbModuleFallback, ServedUsbDeviceLink) {
  attach(0x00C0FFEE, 0x06, 0x13);
  Module& served = module();
  ASSERT_EQ(served.setConfig(QuivelConfig()), aErrNone);
  ASSERT_EQ(served.connect(kLinkTypeUSB, 0x00C0FFEE), aErrNone);
  EXPECT_EQ(served.getModuleAddress(), 0x06);
  QuivelConfig c;
  ASSERT_EQ(served.getConfig(&c), aErrNone);
  EXPECT_NE(c.port, 0);
  SystemClass sys;
  sys.init(&served, 0);
  uint8_t model = 0;
  EXPECT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x13);
  linkSpec* found = aDiscovery_FindModule(kLinkTypeQuivel, 0x00C0FFEE, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->type, kLinkTypeQuivelUSB);
  EXPECT_EQ(found->t.ip.port, c.port);
  aLinkSpec_Destroy(&found);
  // Served: another Module of this process cannot open the device beside the server.
  Module& beside = module();
  ASSERT_EQ(beside.setConfig(noServer()), aErrNone);
  EXPECT_EQ(beside.connect(kLinkTypeUSB, 0x00C0FFEE), aErrConnection);
}

TEST_F(UsbModule, RouterRoadOverUsb) {
  Attached& r = attach(0x00A1B2C3, 0x04, 0x20);
  devsim::model::ModuleConfig c = config(0x10000010, 0x10, 0x13);
  c.router = 0x04;
  r.network->addBehind(std::make_shared<devsim::model::Module>(c));
  Module& router = module();
  ASSERT_EQ(router.connect(kLinkTypeUSB, 0x00A1B2C3), aErrNone);
  SystemClass rsys;
  rsys.init(&router, 0);
  ASSERT_EQ(rsys.routeToMe(1), aErrNone);
  I2CClass i2c;
  i2c.init(&router, 0);
  i2c.setSpeed(3);
  const uint8_t probe[2] = {0, 0};
  EXPECT_EQ(i2c.write(0x0E, 2, probe), aErrIO);
  ASSERT_EQ(i2c.write(0x10, 2, probe), aErrNone);
  {
    Module u(0x10, false, 0);
    ASSERT_EQ(u.setConfig(noServer()), aErrNone);
    ASSERT_EQ(u.connectThroughLinkModule(&router), aErrNone);
    SystemClass usys;
    usys.init(&u, 0);
    uint32_t serial = 0;
    EXPECT_EQ(usys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x10000010u);
  }
  EXPECT_TRUE(router.isConnected());
  EXPECT_EQ(rsys.routeToMe(0), aErrNone);
}

}  // namespace

// Module: connection with auto-networking, the module-information queries and echo.
#include <gtest/gtest.h>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

devsim::model::ModuleConfig at(uint8_t address) {
  devsim::model::ModuleConfig c;
  c.address = address;
  return c;
}

class ModuleAt6 : public SimFixture {
 protected:
  ModuleAt6() : SimFixture(at(6)) {}
};

TEST(ModuleBasics, UnconnectedModule) {
  Module m(2, 0);
  EXPECT_EQ(m.connect(kLinkTypeUSB, 0), aErrParam);
  EXPECT_FALSE(m.isConnected());
  EXPECT_EQ(m.getStatus(), 8);
  EXPECT_EQ(m.getModuleAddress(), 2);
  ASSERT_NE(m.getLink(), nullptr);
  EXPECT_STREQ(m.getLink()->getName(), "Link");
  uint32_t build = 0;
  uint8_t n = 7;
  EXPECT_EQ(m.getBuild(nullptr), aErrParam);
  EXPECT_EQ(m.getBuild(&build), aErrConnection);
  EXPECT_EQ(m.hasUEI(3, 1, 0, 0x40), aErrConnection);
  EXPECT_EQ(m.classQuantity(3, &n), aErrConnection);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(m.debug(nullptr, 0), aErrConnection);
  EXPECT_EQ(m.getConfig(nullptr), aErrParam);
  EXPECT_EQ(m.reconnect(), aErrConfiguration);
  EXPECT_EQ(m.enablePacketLog("/tmp/x"), aErrConfiguration);
  EXPECT_EQ(m.disablePacketLog(), aErrConfiguration);
}

TEST_F(ModuleAt6, AutoNetworkingAdoptsTheDeviceAddress) {
  Module m(2, 0);
  ASSERT_EQ(connect(m), aErrNone);
  EXPECT_EQ(m.getModuleAddress(), 6);
  SystemClass sys;
  sys.init(&m, 0);
  uint8_t model = 0;
  EXPECT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x13);

  Module fixed(2, false, 0);
  m.disconnect();
  ASSERT_EQ(connect(fixed), aErrNone);
  EXPECT_EQ(fixed.getModuleAddress(), 2);
  EXPECT_EQ(fixed.connectFromSpec(spec()), aErrBusy);

  // reconnect reaches the same device again and learns its address again.
  fixed.setNetworkingMode(true);
  fixed.disconnect();
  EXPECT_FALSE(fixed.isConnected());
  EXPECT_EQ(fixed.reconnect(), aErrNone);
  EXPECT_EQ(fixed.getModuleAddress(), 6);
}

TEST_F(ModuleAt6, SilentDeviceLeavesTheConnectionUp) {
  devsim::Config c = device->config();
  c.answerSync = false;
  device->setConfig(c);
  Module m(2, 0);
  EXPECT_EQ(connect(m), aErrNotReady);
  EXPECT_TRUE(m.isConnected());
  EXPECT_EQ(m.getModuleAddress(), 2);
  EXPECT_EQ(countSent(0xAD, {}), 4u);
}

// The one-call install gives a plain simulated device the whole module behaviour.
TEST(ModuleOnInstalledModel, AnswersAsTheDeviceIsConfigured) {
  devsim::Config dc;
  dc.address = 0x0C;
  dc.serial = 0x0BEEF001;
  dc.model = 0x21;
  devsim::Device device(dc);
  auto network = devsim::model::Network::install(device);
  devsim::TcpFrontEnd tcp(device);
  ASSERT_TRUE(tcp.ok());
  linkSpec s;
  std::memset(&s, 0, sizeof s);
  s.type = kLinkTypeTCPIP;
  s.serialNumber = dc.serial;
  s.t.ip.address = htonl(INADDR_LOOPBACK);
  s.t.ip.port = tcp.port();
  Module m(2, 0);
  ASSERT_EQ(m.setConfig(noServer()), aErrNone);
  ASSERT_EQ(m.connectFromSpec(s), aErrNone);
  EXPECT_EQ(m.getModuleAddress(), 0x0C);
  SystemClass sys;
  sys.init(&m, 0);
  uint32_t serial = 0;
  uint8_t model = 0;
  EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x0BEEF001u);
  EXPECT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x21);
  m.disconnect();
}

class ModuleInfo : public ConnectedFixture {};

TEST_F(ModuleInfo, BuildNumber) {
  uint32_t build = 0;
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4711u);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x49, 0xFF}));
  network->setIntercept([](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
    if (in.data != Bytes{0x49, 0xFF}) return false;
    out.push_back(devsim::WirePacket{in.address, {0x49, 0xFF, 0x00, 0x01, 0x02, 0x03}});
    return true;
  });
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 0x00010203u);
  network->setIntercept([](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
    if (in.data != Bytes{0x49, 0xFF}) return false;
    out.push_back(devsim::WirePacket{in.address, {0x49, 0xFF, 0x00, 0x01, 0x02}});
    return true;
  });
  EXPECT_EQ(module.getBuild(&build), aErrSize);
}

TEST_F(ModuleInfo, HasUEIAndEntityCounts) {
  EXPECT_EQ(module.hasUEI(0x5F, 10, 0, 0xC0), aErrParam);
  EXPECT_EQ(module.hasUEI(0x5F, 10, 0, 0x01), aErrParam);
  EXPECT_EQ(countCommand(0x49), 0u);
  EXPECT_EQ(module.hasUEI(0x5F, 10, 0, 0x80), aErrInvalidOption);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80}));
  front->addUEI(0x5F, 10);
  EXPECT_EQ(module.hasUEI(0x5F, 10, 0, 0x80), aErrNone);
  EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrNone);
  EXPECT_EQ(module.hasUEI(3, 9, 0, 0x80), aErrPermission);

  front->setClassQuantity(8, 2);
  front->setSubClass(8, 1, 3, 5);
  uint8_t n = 0;
  EXPECT_EQ(module.classQuantity(8, &n), aErrNone);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(module.subClassQuantity(8, 1, &n), aErrNone);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(module.entityGroup(8, 1, &n), aErrNone);
  EXPECT_EQ(n, 5);
  // A reply about something else is no answer.
  network->setIntercept([](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
    if (in.data.empty() || in.data[0] != 0x49) return false;
    out.push_back(devsim::WirePacket{in.address, {0x49, 0x04, 0x09, 0x01}});
    return true;
  });
  EXPECT_EQ(module.classQuantity(8, &n), aErrUnknown);
  EXPECT_EQ(n, 0);
}

TEST_F(ModuleInfo, Echo) {
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(module.debug(bytes, 3), aErrNone);
  EXPECT_EQ(sent(front->address()).back(), (Bytes{0x17, 1, 2, 3}));
  EXPECT_EQ(module.debug(nullptr, 0), aErrNone);
  uint8_t many[28] = {};
  EXPECT_EQ(module.debug(many, 28), aErrParam);
  network->setIntercept([](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
    if (in.data.empty() || in.data[0] != 0x17) return false;
    out.push_back(devsim::WirePacket{in.address, {0x17, 1, 2}});
    return true;
  });
  EXPECT_EQ(module.debug(bytes, 3), aErrIO);
}

TEST_F(ModuleInfo, ConfigFollowsTheLinkRules) {
  QuivelConfig c;
  EXPECT_EQ(module.setConfig(c), aErrMode);
  EXPECT_EQ(module.getConfig(&c), aErrNone);
  EXPECT_EQ(c.enabled, 0);
  linkSpec s;
  ASSERT_EQ(module.getLinkSpecifier(&s), aErrNone);
  EXPECT_EQ(s.type, kLinkTypeTCPIP);
  EXPECT_EQ(s.t.ip.port, tcp->port());
}

}  // namespace
}  // namespace apitest

// Devices behind a router module: the router's I2C probe of every address, and
// modules that share the router's core link.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "api/I2CClass.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

devsim::model::ModuleConfig routerConfig() {
  devsim::model::ModuleConfig c;
  c.address = 0x04;
  c.serial = 0x00A1B2C3;
  c.model = 0x20;
  return c;
}

class Router : public SimFixture {
 protected:
  Router() : SimFixture(routerConfig()) {}
  void SetUp() override {
    SimFixture::SetUp();
    for (auto& b : std::map<uint8_t, uint32_t>{{0x0A, 0x1000000A}, {0x30, 0x10000030}}) {
      devsim::model::ModuleConfig c;
      c.address = b.first;
      c.serial = b.second;
      c.model = 0x13;
      c.router = 0x04;
      c.build = b.first * 100u;
      behind[b.first] = std::make_shared<devsim::model::Module>(c);
      network->addBehind(behind[b.first]);
    }
    ASSERT_EQ(connect(router), aErrNone);
    ASSERT_EQ(router.getModuleAddress(), 0x04);
  }
  void TearDown() override { router.disconnect(); }

  Module router{2, 0};
  std::map<uint8_t, std::shared_ptr<devsim::model::Module>> behind;
};

// The scan the updater makes: route to the host, probe each even address, then talk to
// each module found over the router's link.
TEST_F(Router, ScanFindsTheModulesBehindTheRouter) {
  SystemClass rsys;
  rsys.init(&router, 0);
  ASSERT_EQ(rsys.routeToMe(1), aErrNone);
  EXPECT_EQ(front->value(devsim::model::kCmdSystem, 20), 1u);
  I2CClass bus;
  bus.init(&router, 0);
  ASSERT_EQ(bus.setSpeed(3), aErrNone);
  const uint8_t probe[2] = {0, 0};
  std::map<uint8_t, uint32_t> found;
  const aTime start = aTime_GetMonotonicMSTicks();
  for (unsigned a = 2; a <= 252; a += 2) {
    if (a == router.getModuleAddress()) continue;
    const aErr e = bus.write(static_cast<uint8_t>(a), 2, probe);
    // Absent addresses are refused at once by the router, never left to time out.
    ASSERT_NE(e, aErrTimeout) << a;
    if (e != aErrNone) continue;
    Module u(static_cast<uint8_t>(a), false, 0);
    QuivelConfig off;
    off.enabled = 0;
    ASSERT_EQ(u.setConfig(off), aErrNone);
    ASSERT_EQ(u.connectThroughLinkModule(&router), aErrNone) << a;
    EXPECT_TRUE(u.isConnected());
    SystemClass sys;
    sys.init(&u, 0);
    uint32_t serial = 0, build = 0;
    uint8_t routerAddress = 0;
    ASSERT_EQ(sys.getSerialNumber(&serial), aErrNone) << a;
    EXPECT_EQ(u.getBuild(&build), aErrNone);
    EXPECT_EQ(build, a * 100u);
    EXPECT_EQ(sys.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 0x04);
    found[static_cast<uint8_t>(a)] = serial;
    EXPECT_EQ(u.disconnect(), aErrNone);
  }
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 60000u);
  EXPECT_EQ(found, (std::map<uint8_t, uint32_t>{{0x0A, 0x1000000A}, {0x30, 0x10000030}}));
  EXPECT_EQ(rsys.routeToMe(0), aErrNone);
  // The router's own link survived every module that shared it.
  EXPECT_TRUE(router.isConnected());
  uint8_t model = 0;
  EXPECT_EQ(rsys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x20);
}

TEST_F(Router, SharingTheRouterLink) {
  Module u(0x0A, false, 0);
  QuivelConfig off;
  off.enabled = 0;
  ASSERT_EQ(u.setConfig(off), aErrNone);
  ASSERT_EQ(u.connectThroughLinkModule(&router), aErrNone);
  linkSpec s;
  ASSERT_EQ(u.getLinkSpecifier(&s), aErrNone);
  EXPECT_EQ(s.type, kLinkTypeTCPIP);   // the router's kind: no server in front of it
  EXPECT_EQ(s.serialNumber, 0x00A1B2C3u);
  // Already connected: nothing changes.
  EXPECT_EQ(u.connectThroughLinkModule(&router), aErrNone);
  EXPECT_EQ(u.connectThroughLinkModule(nullptr), aErrNone);
  // Both modules talk over the one link, each at its own address.
  SystemClass usys, rsys;
  usys.init(&u, 0);
  rsys.init(&router, 0);
  uint32_t userial = 0, rserial = 0;
  EXPECT_EQ(usys.getSerialNumber(&userial), aErrNone);
  EXPECT_EQ(rsys.getSerialNumber(&rserial), aErrNone);
  EXPECT_EQ(userial, 0x1000000Au);
  EXPECT_EQ(rserial, 0x00A1B2C3u);
  EXPECT_EQ(device->connections(), 1u);
  // A module that left the network is no longer answered.
  network->removeBehind(0x0A);
  EXPECT_EQ(usys.getSerialNumber(&userial), aErrTimeout);
}

TEST_F(Router, SharingNeedsAConnectedRouter) {
  Module lone(2, 0);
  Module u(0x0A, false, 0);
  EXPECT_EQ(u.connectThroughLinkModule(&lone), aErrNotFound);   // nothing to share
  ASSERT_EQ(lone.getLink()->setLinkSpecifier(spec()), aErrNone);
  EXPECT_EQ(u.connectThroughLinkModule(&lone), aErrInitialization);
  EXPECT_FALSE(u.isConnected());
  EXPECT_EQ(u.getStatus(), 8);
}

}  // namespace
}  // namespace apitest

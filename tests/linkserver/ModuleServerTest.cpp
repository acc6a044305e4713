// A Module with the default network-link configuration: a link server in front of its
// device link, reached by clients of this and of other processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "tests/linkserver/ProcessState.h"
#include "tests/linkserver/ServerFixture.h"

namespace lstest {
namespace {

using Clock = std::chrono::steady_clock;
using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::QuivelConfig;
using Quenlark::Tallowick::SystemClass;
using testsupport::BackgroundProcess;

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

linkSpec tcpSpec(uint32_t serial, uint16_t port) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = kLinkTypeTCPIP;
  spec.serialNumber = serial;
  spec.t.ip.address = loopback();
  spec.t.ip.port = port;
  return spec;
}

uint8_t modelThrough(Module& module, aErr* e) {
  SystemClass system;
  system.init(&module, 0);
  uint8_t model = 0;
  *e = system.getModel(&model);
  return model;
}

class ModuleServer : public ServerFixture {
 protected:
  // The fixture's own device link is not wanted here: the Module makes its own.
  void SetUp() override {
    ServerFixture::SetUp();
    if (device != 0) aLink_Destroy(&device);
  }
};

TEST_F(ModuleServer, ADefaultModulePutsAServerInFrontOfItsDeviceLink) {
  ZeroMQThreads started;
  const size_t baseline = threads();
  uint16_t served = 0;
  {
    Module module(0x02);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(kSerial, sim->tcp->port())), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), kModule);   // asked through the server
    QuivelConfig c;
    ASSERT_EQ(module.getConfig(&c), aErrNone);
    EXPECT_NE(c.port, 0);
    EXPECT_EQ(c.interfaceAddress, loopback());
    served = c.port;
    // The process listens on the device's port (the simulated module is in this
    // process) and on the frontend, on loopback, and nowhere else.
    std::vector<std::string> listening = listeners();
    std::sort(listening.begin(), listening.end());
    std::vector<std::string> expected = {"127.0.0.1:" + std::to_string(sim->tcp->port()), "127.0.0.1:" + std::to_string(served)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listening, expected);
    aErr e = aErrUnknown;
    EXPECT_EQ(modelThrough(module, &e), kModel);
    EXPECT_EQ(e, aErrNone);

    Client python(served);
    ASSERT_TRUE(python.ready());
    python.send("ad00");
    const std::vector<Frame> got = python.fence();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].hex, "0400");
  }
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
  EXPECT_TRUE(refusesConnections(served));
  EXPECT_TRUE(backTo(baseline, threads)) << threads() << " threads, " << baseline << " before";
}

// Another process finds the server by discovery, reaches the device through it and
// reads its model; in the server's process the device is served, so a direct link for
// it is refused.
TEST_F(ModuleServer, AnotherProcessFindsTheServerAndReadsTheModel) {
  BackgroundProcess holder({SERVER_HOLDER, "--serial", "5A5A0001", "--model", "0x2B"});
  const std::string frontend = holder.first("PORT");
  ASSERT_FALSE(frontend.empty()) << holder.errors() << holder.first("FAILED", 0);
  Module module(0x02, 0x2B);
  ASSERT_EQ(module.discoverAndConnect(kLinkTypeQuivel, 0x5A5A0001), aErrNone);
  linkSpec found;
  ASSERT_EQ(module.getLinkSpecifier(&found), aErrNone);
  EXPECT_EQ(found.type, kLinkTypeQuivelTCPIP);
  EXPECT_EQ(std::to_string(found.t.ip.port), frontend);
  EXPECT_EQ(module.getModuleAddress(), kModule);
  aErr e = aErrUnknown;
  EXPECT_EQ(modelThrough(module, &e), 0x2B);
  EXPECT_EQ(e, aErrNone);

  holder.send("tcp");
  EXPECT_EQ(holder.first("TCP"), "0");
  holder.send("model");
  EXPECT_EQ(holder.first("MODEL"), std::to_string(0x2B));
  module.disconnect();
  holder.send("destroy");
  EXPECT_TRUE(holder.waitFor("DESTROYED"));
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
  EXPECT_TRUE(refusesConnections(static_cast<uint16_t>(std::stoi(frontend))));
  holder.send("quit");
  int status = -1;
  EXPECT_TRUE(holder.waitExit(10000, &status));
  EXPECT_EQ(status, 0);
}

// A program may end with its Module, server and client link alive.
TEST_F(ModuleServer, AProgramEndsCleanlyWithItsServerAlive) {
  for (int run = 0; run < 10; run++) {
    SCOPED_TRACE(run);
    BackgroundProcess holder({SERVER_HOLDER, "--exit-live"});
    int status = -1;
    ASSERT_TRUE(holder.waitExit(20000, &status));
    EXPECT_FALSE(holder.first("PORT", 0).empty());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << holder.errors();
    EXPECT_EQ(holder.errors().find("dangling"), std::string::npos) << holder.errors();
  }
}

class ModuleServerSilentModel : public ModuleServer {
 protected:
  ModuleServerSilentModel() { config.answerModelQuery = false; }
};

// A device that never tells its model gets no server: the connect fails in bounded time,
// and another user of the same device link, with the feature off, stays connected.
TEST_F(ModuleServerSilentModel, ConnectFailsAndTheOtherUserKeepsItsLink) {
  Module other(0x02);
  QuivelConfig off;
  off.enabled = 0;
  off.fallback = 0;
  ASSERT_EQ(other.setConfig(off), aErrNone);
  ASSERT_EQ(other.connectFromSpec(tcpSpec(kSerial, sim->tcp->port())), aErrNone);
  Module served(0x02);
  const auto start = Clock::now();
  EXPECT_EQ(served.connectFromSpec(tcpSpec(kSerial, sim->tcp->port())), aErrConnection);
  EXPECT_LT(msSince(start), 11000);
  EXPECT_FALSE(served.isConnected());
  EXPECT_TRUE(other.isConnected());
  uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(other.debug(bytes, sizeof bytes), aErrNone);   // the echo command, answered
  EXPECT_EQ(probeOffsets({"0"}), std::vector<std::string>{"FREE 0"});
}

}  // namespace
}  // namespace lstest

#pragma once
// A simulated module (or a router with modules behind it) served over loopback TCP,
// with the linkSpec that reaches it and helpers to read what the module received.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"

namespace apitest {

using namespace Quenlark::Tallowick;
using Bytes = std::vector<uint8_t>;

inline QuivelConfig noServer() {
  QuivelConfig c;
  c.enabled = 0;
  c.fallback = 0;
  return c;
}

class SimFixture : public ::testing::Test {
 protected:
  // dc: the device's knobs; its address, serial number and model follow config.
  explicit SimFixture(devsim::model::ModuleConfig config = devsim::model::ModuleConfig(),
                      devsim::Config dc = devsim::Config()) {
    front = std::make_shared<devsim::model::Module>(config);
    network = std::make_shared<devsim::model::Network>(front);
    dc.address = config.address;
    dc.serial = config.serial;
    dc.model = config.model;
    device = std::make_unique<devsim::Device>(dc);
    devsim::model::Network::attach(*device, network);
    tcp = std::make_unique<devsim::TcpFrontEnd>(*device);
  }

  void SetUp() override { ASSERT_TRUE(tcp->ok()); }

  linkSpec spec() const {
    linkSpec s;
    std::memset(&s, 0, sizeof s);
    s.type = kLinkTypeTCPIP;
    s.serialNumber = front->value(devsim::model::kCmdSystem, 9);
    s.module = front->address();
    s.model = front->value(devsim::model::kCmdSystem, 8);
    s.t.ip.address = htonl(INADDR_LOOPBACK);
    s.t.ip.port = tcp->port();
    return s;
  }

  // Connects a Module over TCP with the server step off.
  aErr connect(Module& module) {
    const aErr e = module.setConfig(noServer());
    if (e != aErrNone) return e;
    return module.connectFromSpec(spec());
  }

  // Data of the packets the module received for address, in order.
  std::vector<Bytes> sent(uint8_t address) const {
    std::vector<Bytes> out;
    for (const auto& r : device->received())
      if (r.packet.address == address) out.push_back(r.packet.data);
    return out;
  }
  // Waits (bounded) until the module has received data for address.
  bool waitSent(uint8_t address, const Bytes& data, uint64_t timeoutMs = 2000) const {
    return device->waitForCount(
        [&](const devsim::WirePacket& p) { return p.address == address && p.data == data; }, 1, timeoutMs);
  }
  size_t countSent(uint8_t address, const Bytes& data) const {
    return device->countReceived(
        [&](const devsim::WirePacket& p) { return p.address == address && p.data == data; });
  }
  // Packets the module received with data starting [command].
  size_t countCommand(uint8_t command) const {
    return device->countReceived(
        [&](const devsim::WirePacket& p) { return !p.data.empty() && p.data[0] == command; });
  }

  void reply(uint8_t address, const Bytes& data) {
    devsim::WirePacket p;
    p.address = address;
    p.data = data;
    device->send(p);
  }

  std::shared_ptr<devsim::model::Module> front;
  std::shared_ptr<devsim::model::Network> network;
  std::unique_ptr<devsim::Device> device;
  std::unique_ptr<devsim::TcpFrontEnd> tcp;
};

// A fixture with one connected Module (networking on) and a system entity on it.
class ConnectedFixture : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    ASSERT_EQ(connect(module), aErrNone);
    ASSERT_TRUE(module.isConnected());
    link = module.getLink();
    device->clearReceived();
  }
  void TearDown() override { module.disconnect(); }

  // A fence: one valid request (the model) whose reply is awaited. The link carries
  // packets in order, so once the reply is back every packet sent before the fence has
  // reached the module; no sleep can promise that.
  aErr fence() {
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    return system.getModel(&model);
  }
  static Bytes fenceRequest() { return {0x03, 0x48, 0x20}; }

  // After calls that must send nothing: the fence, whose request must then be the only
  // packet the module received since the last clearReceived().
  void expectOnlyTheFenceReceived() {
    ASSERT_EQ(fence(), aErrNone);
    const auto got = device->received();
    std::string seen;
    for (const auto& r : got) {
      char text[8];
      std::snprintf(text, sizeof text, "\n  %02X:", r.packet.address);
      seen += text;
      for (uint8_t b : r.packet.data) {
        std::snprintf(text, sizeof text, " %02X", b);
        seen += text;
      }
    }
    ASSERT_EQ(got.size(), 1u) << "the module received:" << seen;
    EXPECT_EQ(got[0].packet.address, front->address()) << seen;
    EXPECT_EQ(got[0].packet.data, fenceRequest()) << seen;
  }

  Module module{2, 0};
  Link* link = nullptr;
};

}  // namespace apitest

#pragma once
// A link server in front of a TCP/IP device link to the simulated module (in this
// process), inside a network namespace of the test's own (its request port is then the
// test's alone), and independent Python clients (peers/dealer_client.py) on its frontend.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/server/aServer.h"
#include "tests/linkserver/Peers.h"
#include "tests/sim/ModelSim.h"
#include "tests/support/BackgroundProcess.h"
#include "tests/support/PrivateNetwork.h"

namespace lstest {

inline std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
}

// The echo request dealer_client.py sends for (module, tag, n), and so its echo.
inline std::vector<uint8_t> echoRequest(uint8_t module, uint8_t tag, unsigned n) {
  std::vector<uint8_t> r = {module, 28, 0x17, tag, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
  for (unsigned i = 0; i < 24; i++) r.push_back(static_cast<uint8_t>((n + i) & 0xFF));
  return r;
}

// One received frame as the client printed it: "<ms> <hex>".
struct Frame {
  long ms = 0;
  std::string hex;
};

inline Frame parseFrame(const std::string& line) {
  Frame f;
  const size_t space = line.find(' ');
  f.ms = std::stol(line.substr(0, space));
  f.hex = space == std::string::npos ? "" : line.substr(space + 1);
  return f;
}

// A Python DEALER on a frontend.
class Client {
 public:
  // extra: further arguments of dealer_client.py (--identity ID, --module M).
  Client(uint16_t port, const std::string& host = "127.0.0.1", pid_t netnsPid = 0,
         const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--connect", "tcp://" + host + ":" + std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    peer_ = testsupport::BackgroundProcess::python(peerScript("dealer_client.py"), args, netnsPid);
    ready_ = peer_->waitFor("READY");
  }
  bool ready() const { return ready_; }
  void send(const std::string& hexBytes) { peer_->send("send " + hexBytes); }
  void send(const std::vector<uint8_t>& bytes) { send(hex(bytes)); }
  void echoes(unsigned count, uint8_t tag) { peer_->send("echoes " + std::to_string(count) + " " + std::to_string(tag)); }
  std::vector<Frame> frames() const {
    std::vector<Frame> out;
    for (const std::string& line : peer_->linesWith("FRAME")) out.push_back(parseFrame(line));
    return out;
  }
  // Waits until count frames have come in all.
  bool waitFrames(size_t count, int timeoutMs = 10000) const { return peer_->waitFor("FRAME", count, timeoutMs); }
  // Sends an echo that nothing else asks for and waits for its answer: everything the
  // server had for this client before it has arrived (the server answers in order).
  // Returns the frames that came after the previous fence's answer (or from the start)
  // and before this one's, or fails the test.
  std::vector<Frame> fence(uint8_t module = 0x04) {
    const std::vector<uint8_t> request = echoRequest(module, 0xFE, fences_++);
    send(request);
    for (int turn = 0; turn < 100; turn++) {
      std::vector<Frame> all = frames();
      for (size_t i = fenced_; i < all.size(); i++) {
        if (all[i].hex != hex(request)) continue;
        std::vector<Frame> since(all.begin() + static_cast<long>(fenced_), all.begin() + static_cast<long>(i));
        fenced_ = i + 1;
        return since;
      }
      waitFrames(all.size() + 1, 100);
    }
    ADD_FAILURE() << "the fence was never answered";
    return {};
  }
  testsupport::BackgroundProcess& peer() { return *peer_; }

 private:
  std::unique_ptr<testsupport::BackgroundProcess> peer_;
  bool ready_ = false;
  unsigned fences_ = 0;
  size_t fenced_ = 0;   // frames up to the last fence's answer
};

inline uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

class ServerFixture : public ::testing::Test {
 public:
  static constexpr uint32_t kSerial = 0x1234ABCD;
  static constexpr uint8_t kModule = 0x04;
  static constexpr uint8_t kModel = 0x13;

 protected:
  // Subclasses may set config before SetUp runs (in their constructor).
  devsim::Config config;

  // The test's own network namespace; a veth pair or another machine where asked.
  virtual void enterNetwork() { NETTEST_ENTER_PRIVATE_NETWORK(false); }

  void SetUp() override {
    enterNetwork();
    if (IsSkipped() || HasFatalFailure()) return;
    config.serial = kSerial;
    sim = std::make_unique<simtest::ModelSim>(kModule, config);
    ASSERT_TRUE(sim->tcp->ok());
    device = aLink_CreateTCPIP(kSerial, loopback(), sim->tcp->port());
    ASSERT_NE(device, 0u);
    ASSERT_TRUE(sim->device->waitForCount([](const devsim::WirePacket&) { return true; }, 1, 5000))
        << "the device link's route-on never came";
  }

  void TearDown() override {
    if (server != nullptr) aServer_Destroy(&server);
    if (device != 0) aLink_Destroy(&device);
  }

  // A started server with the device's address and model, as link creation leaves it.
  void startServer(uint8_t localOnly = 1, uint32_t interfaceAddress = 0, bool withModel = true) {
    server = aServer_Create(device, interfaceAddress, localOnly);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);
    ASSERT_NE(port, 0);
    aServer_SetModuleAddress(server, kModule);
    if (withModel) aServer_SetModel(server, kModel);
  }

  std::unique_ptr<Client> client(const std::vector<std::string>& extra = {}) {
    auto c = std::make_unique<Client>(port, "127.0.0.1", 0, extra);
    EXPECT_TRUE(c->ready());
    return c;
  }

  std::unique_ptr<simtest::ModelSim> sim;
  aLinkRef device = 0;
  aServer* server = nullptr;
  uint16_t port = 0;
};

}  // namespace lstest

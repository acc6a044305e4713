// Direct TCP/IP discovery queries its devices concurrently: several simulated modules and
// a flood of spoofed replies, in-process, so that ThreadSanitizer sees the worker threads,
// their links and the shared display together. Runs in a network namespace of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/sim/upgrade/UpgradeSim.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/TempDir.h"
#include "updater/Updater.h"
#include "updater/cli/UpdaterDisplayInterface.h"

namespace {

using devsim::DiscoveryIdentity;
using devsim::DiscoveryResponder;
using devsim::upgrade::SimOptions;
using devsim::upgrade::UpgradeSim;

class CountingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { keep(text); }
  void error_message(const char* text) override { keep(std::string("error: ") + text); }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  void keep(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Takes connections into its queue and never answers.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && listen(fd_, 128) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0)
      port_ = ntohs(local.sin_port);
  }
  ~SilentListener() {
    if (fd_ >= 0) close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST(ThreadedDiscovery, ModulesAndSpoofedRepliesAreQueriedTogether) {
  NETTEST_ENTER_PRIVATE_NETWORK(true);
  const uint32_t interfaceAddress = nettest::address(nettest::kFirstAddress);
  std::vector<std::unique_ptr<UpgradeSim>> modules;
  std::vector<std::unique_ptr<DiscoveryResponder>> responders;
  for (uint32_t i = 0; i < 3; i++) {
    SimOptions options;
    options.module.serial = 0x11110000 + i;
    options.module.build = 100 + i;
    options.module.version = 0x2C000003;  // 2.12.3: new enough to be asked for its name
    modules.push_back(std::make_unique<UpgradeSim>(options));
    ASSERT_TRUE(modules.back()->ok());
    DiscoveryIdentity identity;
    identity.serial = options.module.serial;
    identity.address = options.module.address;
    identity.model = options.module.model;
    identity.tcpPort = modules.back()->port();
    responders.push_back(std::make_unique<DiscoveryResponder>(std::vector<uint32_t>{interfaceAddress}, identity,
                                                              htonl(INADDR_LOOPBACK)));
    ASSERT_TRUE(responders.back()->ok());
  }
  SilentListener silent;
  ASSERT_NE(silent.port(), 0);
  std::vector<std::vector<uint8_t>> flood;
  for (uint32_t i = 0; i < 12; i++) {
    DiscoveryIdentity fake;
    fake.serial = 0x5A000000 + i;
    fake.tcpPort = silent.port();
    flood.push_back(devsim::discoveryReply(fake));
    flood.push_back(devsim::discoveryReply(fake));  // and each of them twice
  }
  DiscoveryResponder spoofer({interfaceAddress}, DiscoveryIdentity(), htonl(INADDR_LOOPBACK));
  ASSERT_TRUE(spoofer.ok());
  spoofer.setReplies(flood);

  testsupport::TempDir store;
  CountingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", store.path().c_str(), display);
  const std::vector<DeviceInfo> list = updater.Discover_Devices(kLinkTypeTCPIP);

  std::map<uint32_t, int> rows;
  for (const DeviceInfo& row : list) {
    rows[row.spec.serialNumber]++;
    if (row.spec.serialNumber >> 16 == 0x1111) {
      EXPECT_EQ(row.error, 0) << std::hex << row.spec.serialNumber;
      EXPECT_EQ(row.build, 100 + (row.spec.serialNumber & 0xFF));
      EXPECT_EQ(row.deviceName, "sim");
    } else {
      EXPECT_NE(row.error, 0) << std::hex << row.spec.serialNumber;
    }
  }
  EXPECT_EQ(rows.size(), 3u + 12u);
  for (const auto& entry : rows) EXPECT_EQ(entry.second, 1) << std::hex << entry.first;
  EXPECT_TRUE(display.lines().empty());
}

}  // namespace

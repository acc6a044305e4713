// Discovery of link servers: loopback multicast against Python responders in the test's
// own namespace, and beacon discovery against Python responders on "another machine"
// (a second namespace at the far end of a veth pair).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/aDiscoveryQuivel.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/OtherMachine.h"
#include "tests/linkserver/Peers.h"
#include "tests/support/BackgroundProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::BackgroundProcess;
using lstest::peerScript;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Seen {
  std::vector<linkSpec> specs;
  bool stopAtFirst = false;
  bool count = true;
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  seen->specs.push_back(*spec);
  *found = seen->count;
  return !seen->stopAtFirst;
}

std::string text(uint32_t address) {
  char buffer[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, buffer, sizeof buffer);
  return buffer;
}

// Runs body with standard output and error sent to a file, and returns what was written
// there (CZMQ's complaints go to one or the other).
std::string printedBy(const std::function<void()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* capture = std::tmpfile();
  const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
  dup2(fileno(capture), STDOUT_FILENO);
  dup2(fileno(capture), STDERR_FILENO);
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, STDOUT_FILENO);
  dup2(savedErr, STDERR_FILENO);
  close(savedOut);
  close(savedErr);
  std::string written;
  std::rewind(capture);
  for (int c; (c = std::fgetc(capture)) != EOF;) written += static_cast<char>(c);
  std::fclose(capture);
  return written;
}

// A multicast responder; waits until it holds its offset.
std::unique_ptr<BackgroundProcess> responder(int offset, std::vector<std::string> knobs) {
  std::vector<std::string> args = {"--offset", std::to_string(offset)};
  args.insert(args.end(), knobs.begin(), knobs.end());
  auto peer = BackgroundProcess::python(peerScript("mcast_responder.py"), args);
  EXPECT_EQ(peer->first("OFFSET"), std::to_string(offset));
  return peer;
}

class MulticastDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(false);
  }
};

TEST_F(MulticastDiscovery, ServersAtTwoOffsetsAreFoundInOffsetOrder) {
  auto second = responder(1, {"--serial", "0x2222", "--kind", "7", "--port", "40002", "--model", "0x31"});
  auto first = responder(0, {"--serial", "0x1111", "--kind", "5", "--port", "40001", "--module", "0x0A"});
  for (linkType kind : {kLinkTypeQuivel, kLinkTypeQuivelSerial}) {
    SCOPED_TRACE(kind);
    Seen seen;
    const auto start = Clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(kind, collect, &seen, 0), 2);
    EXPECT_LT(msSince(start), 2500);
    ASSERT_EQ(seen.specs.size(), 2u);
    const linkSpec& a = seen.specs[0];
    EXPECT_EQ(a.type, kLinkTypeQuivelUSB);
    EXPECT_EQ(a.serialNumber, 0x1111u);
    EXPECT_EQ(a.module, 0x0Au);
    EXPECT_EQ(a.model, 0x13u);
    EXPECT_EQ(text(a.t.ip.address), "127.0.0.1");
    EXPECT_EQ(a.t.ip.port, 40001u);
    const linkSpec& b = seen.specs[1];
    EXPECT_EQ(b.type, kLinkTypeQuivelSerial);
    EXPECT_EQ(b.serialNumber, 0x2222u);
    EXPECT_EQ(b.model, 0x31u);
    EXPECT_EQ(b.t.ip.port, 40002u);
  }
}

TEST_F(MulticastDiscovery, SilentServerCostsAboutOneSecondAndNothingElse) {
  auto silent = responder(0, {"--silent"});
  auto answering = responder(1, {"--serial", "0x42"});
  Seen seen;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeQuivel, collect, &seen, kLoopback), 1);
  EXPECT_GE(msSince(start), 900);
  EXPECT_LT(msSince(start), 1800);
  ASSERT_EQ(seen.specs.size(), 1u);
  EXPECT_EQ(seen.specs[0].serialNumber, 0x42u);
  EXPECT_TRUE(silent->waitFor("REQUEST"));   // it was asked, and kept quiet
}

TEST_F(MulticastDiscovery, RepliesThatAreNotLinkServersHereAreNotReported) {
  struct Case {
    const char* what;
    std::vector<std::string> knobs;
  } cases[] = {
      {"unicast to the reply port", {"--unicast"}},
      {"129 bytes", {"--size", "129"}},
      {"127 bytes", {"--size", "127"}},
      {"USB device", {"--kind", "1"}},
      {"TCP/IP device", {"--kind", "2"}},
      {"serial device", {"--kind", "3"}},
      {"client kind", {"--kind", "4"}},
      {"port 0", {"--port", "0"}},
      {"port above 65535", {"--port", "70000"}},
      {"another host's address", {"--ip", "10.0.0.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto peer = responder(0, c.knobs);
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeQuivel, collect, &seen, 0), 0);
    EXPECT_TRUE(seen.specs.empty());
    EXPECT_TRUE(peer->waitFor("REQUEST"));
  }
}

TEST_F(MulticastDiscovery, ServerHeardTwiceIsReportedOnce) {
  auto twice = responder(0, {"--twice"});
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeQuivel, collect, &seen, 0), 1);
  EXPECT_EQ(seen.specs.size(), 1u);
}

TEST_F(MulticastDiscovery, CallbackEndsTheDiscoveryAtOnce) {
  auto first = responder(0, {"--serial", "0x1"});
  auto second = responder(1, {"--serial", "0x2"});
  for (bool counted : {true, false}) {
    SCOPED_TRACE(counted);
    Seen seen;
    seen.stopAtFirst = true;
    seen.count = counted;
    EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeQuivel, collect, &seen, 0), counted ? 1 : 0);
    EXPECT_EQ(seen.specs.size(), 1u);
  }
  EXPECT_TRUE(first->waitFor("REQUEST", 2));
  EXPECT_TRUE(second->linesWith("REQUEST").empty());
}

TEST_F(MulticastDiscovery, NoServersIsQuick) {
  Seen seen;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeQuivelTCPIP, collect, &seen, 0), 0);
  EXPECT_LT(msSince(start), 500);
  EXPECT_TRUE(seen.specs.empty());
}

TEST_F(MulticastDiscovery, TwoDiscoveriesAtOnceBothFindTheServer) {
  // The answer comes late enough that both discoveries listen on the reply port at once.
  auto peer = responder(0, {"--delay-ms", "600", "--serial", "0x77"});
  auto discover = [] {
    Seen seen;
    return aDiscovery_EnumerateModules(kLinkTypeQuivel, collect, &seen, 0);
  };
  auto a = std::async(std::launch::async, discover);
  ASSERT_TRUE(peer->waitFor("REQUEST"));
  auto b = std::async(std::launch::async, discover);
  ASSERT_EQ(a.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(b.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(a.get(), 1);
  EXPECT_EQ(b.get(), 1);
}

TEST_F(MulticastDiscovery, FindModuleTakesTheServerOfThatSerialNumber) {
  auto first = responder(0, {"--serial", "0x1111"});
  auto second = responder(1, {"--serial", "0x2222", "--port", "40555"});
  linkSpec* found = aDiscovery_FindModule(kLinkTypeQuivel, 0x2222, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->type, kLinkTypeQuivelTCPIP);
  EXPECT_EQ(found->t.ip.port, 40555u);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(kLinkTypeQuivel, 0x3333, 0), nullptr);
}

TEST_F(MulticastDiscovery, InterfaceHelpers) {
  uint32_t listed[4] = {};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 4), 0);
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(listed, 4), 0);   // loopback only here

  char buffer[16];
  const uint8_t bytes[4] = {0xC0, 0xA8, 0x00, 0x01};
  uint32_t address;
  std::memcpy(&address, bytes, 4);
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address, buffer, 16), 11u);
  EXPECT_STREQ(buffer, "192.168.0.1");
  EXPECT_EQ(buffer[15], '\0');   // the whole buffer was cleared
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(address, buffer, 15), 0u);
  EXPECT_EQ(buffer[0], 'x');
}

// Beacon discovery: the library here at 192.0.2.1, the responders over there at 192.0.2.2.
class BeaconDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(true);
    ASSERT_EQ(there_.start(), "");
  }

  std::unique_ptr<BackgroundProcess> responders(std::vector<std::string> knobs) {
    std::vector<std::string> args = {"--broadcast", nettest::kBroadcastAddress, "--ip", nettest::kThereAddress};
    args.insert(args.end(), knobs.begin(), knobs.end());
    auto peer = BackgroundProcess::python(peerScript("beacon_responder.py"), args, there_.pid());
    EXPECT_TRUE(peer->waitFor("READY"));
    return peer;
  }

  // The discovery from here, timed, with what it prints captured.
  uint8_t discover(Seen& seen, long* elapsedMs, std::string* errors, const char* through = nettest::kHereAddress) {
    uint8_t count = 0;
    *errors = printedBy([&] {
      const auto start = Clock::now();
      count = aDiscovery_EnumerateModules(kLinkTypeQuivel, collect, &seen, nettest::address(through));
      *elapsedMs = msSince(start);
    });
    return count;
  }

  nettest::OtherMachine there_;
};

TEST_F(BeaconDiscovery, OneServerIsFoundOnceWithinTheListeningTime) {
  uint32_t listed[8];
  ASSERT_EQ(aDiscovery_GetIPv4Interfaces(listed, 8), 1);
  EXPECT_EQ(text(listed[0]), nettest::kHereAddress);

  auto peer = responders({"--serial", "0xABCD0001", "--port", "41234", "--kind", "6"});
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors), 1);
  EXPECT_GE(elapsed, 2100);
  EXPECT_LE(elapsed, 2500);
  EXPECT_EQ(errors, "");
  ASSERT_EQ(seen.specs.size(), 1u);   // heard many times, reported once
  EXPECT_EQ(seen.specs[0].type, kLinkTypeQuivelTCPIP);
  EXPECT_EQ(seen.specs[0].serialNumber, 0xABCD0001u);
  EXPECT_EQ(text(seen.specs[0].t.ip.address), nettest::kThereAddress);
  EXPECT_EQ(seen.specs[0].t.ip.port, 41234u);
  EXPECT_TRUE(peer->waitFor("HEARD"));
  EXPECT_EQ(peer->first("HEARD"), nettest::kHereAddress);
}

TEST_F(BeaconDiscovery, ThirtyServersAreAllFound) {
  auto peers = responders({"--count", "30", "--serial", "0x3000"});
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors), 30);
  EXPECT_EQ(errors, "");
  EXPECT_LE(elapsed, 2500);
  std::vector<bool> serials(30, false);
  for (const linkSpec& s : seen.specs)
    if (s.serialNumber >= 0x3000 && s.serialNumber < 0x3000 + 30) serials[s.serialNumber - 0x3000] = true;
  EXPECT_EQ(std::count(serials.begin(), serials.end(), true), 30);
}

TEST_F(BeaconDiscovery, ServerWithoutAnAddressIsReachedAtTheBeaconsSender) {
  auto peer = responders({"--ip", "0.0.0.0"});   // the later --ip wins
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors), 1);
  ASSERT_EQ(seen.specs.size(), 1u);
  EXPECT_EQ(text(seen.specs[0].t.ip.address), nettest::kThereAddress);
}

TEST_F(BeaconDiscovery, DeviceKindsAndPortZeroAreNotReported) {
  auto device = responders({"--kind", "3", "--serial", "0x1"});
  auto portless = responders({"--port", "0", "--serial", "0x2"});
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors), 0);
  EXPECT_TRUE(seen.specs.empty());
  EXPECT_TRUE(device->waitFor("HEARD"));
}

TEST_F(BeaconDiscovery, ClientPublishesItsTextForTheListeningTimeOnly) {
  auto probe = BackgroundProcess::python(peerScript("beacon_probe.py"), {"--listen-ms", "3500"}, there_.pid());
  ASSERT_TRUE(probe->waitFor("READY"));
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors), 0);
  EXPECT_GE(elapsed, 2100);
  EXPECT_LE(elapsed, 2500);
  probe->waitFor("never", 1, 1500);   // the probe's listening time runs out
  int beacons = 0;
  long last = 0;
  for (const std::string& line : probe->linesWith("BEACON")) {
    char source[32] = {}, data[512] = {};
    long at = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%ld %31s %511s", &at, source, data), 3) << line;
    EXPECT_STREQ(source, nettest::kHereAddress);
    EXPECT_STREQ(data, "54616c6c6f7769636b322d446973636f76657279");   // the 20-byte text
    beacons++;
    last = at;
  }
  EXPECT_GE(beacons, 15);   // one every 100 ms while it listens
  EXPECT_LE(beacons, 26);
  EXPECT_LE(last, 2700);    // and silent afterwards
}

TEST_F(BeaconDiscovery, InterfaceNotOnTheHostAsksNobody) {
  auto probe = BackgroundProcess::python(peerScript("beacon_probe.py"), {"--listen-ms", "1000"}, there_.pid());
  ASSERT_TRUE(probe->waitFor("READY"));
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors, "198.51.100.7"), 0);
  EXPECT_LT(elapsed, 300);
  EXPECT_EQ(errors, "");
  probe->waitFor("never", 1, 1200);
  EXPECT_TRUE(probe->linesWith("BEACON").empty());
}

TEST_F(BeaconDiscovery, NoServerEndsAfterTheListeningTime) {
  Seen seen;
  long elapsed = 0;
  std::string errors;
  EXPECT_EQ(discover(seen, &elapsed, &errors), 0);
  EXPECT_GE(elapsed, 2100);
  EXPECT_LE(elapsed, 2500);
  EXPECT_EQ(errors, "");
}

}  // namespace

// The rows direct discovery keeps of the replies it gets: one per device, and no more
// than the cap, however many replies arrive.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "common/discovery/aDiscoveryParse.h"
#include "updater/DiscoveredDevices.h"

namespace {

linkSpec tcpip(uint32_t serial, const char* address) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = kLinkTypeTCPIP;
  spec.serialNumber = serial;
  inet_pton(AF_INET, address, &spec.t.ip.address);
  spec.t.ip.port = 10000;
  return spec;
}

struct Offer {
  linkSpec spec;
  bool counted;
  bool goOn;
};

TEST(DiscoveredDevices, RepeatsAreOneRowAndAddressesTellDevicesApart) {
  linkSpec usb;
  std::memset(&usb, 0, sizeof usb);
  usb.type = kLinkTypeUSB;
  usb.serialNumber = 0x1234ABCD;
  linkSpec otherPort = tcpip(0x1234ABCD, "192.0.2.1");
  otherPort.t.ip.port = 20000;
  const Offer offers[] = {
      {tcpip(0x1234ABCD, "192.0.2.1"), true, true},
      {tcpip(0x1234ABCD, "192.0.2.1"), false, true},  // the same reply again
      {otherPort, false, true},                       // the same device, another port
      {tcpip(0x1234ABCD, "192.0.2.2"), true, true},   // the same serial number elsewhere
      {tcpip(0x5678, "192.0.2.1"), true, true},
      {usb, true, true},                              // another kind of link
  };
  std::vector<DeviceInfo> rows;
  updater::Collection collection{&rows, 0, false};
  for (const Offer& o : offers) {
    bool found = false;
    EXPECT_EQ(updater::_discovered_device(&o.spec, &found, &collection), o.goOn);
    EXPECT_EQ(found, o.counted);
  }
  EXPECT_EQ(rows.size(), 4u);
  EXPECT_FALSE(collection.capped);
}

TEST(DiscoveredDevices, AFloodEndsTheListeningAtTheCap) {
  std::vector<DeviceInfo> rows(3);  // rows of an earlier kind do not count
  updater::Collection collection{&rows, rows.size(), false};
  uint32_t serial = 1;
  for (; serial <= updater::kMaxDevicesPerKind; serial++) {
    const linkSpec spec = tcpip(serial, "192.0.2.1");
    bool found = false;
    ASSERT_TRUE(updater::_discovered_device(&spec, &found, &collection));
    ASSERT_TRUE(found);
  }
  const linkSpec extra = tcpip(serial, "192.0.2.1");
  bool found = false;
  EXPECT_FALSE(updater::_discovered_device(&extra, &found, &collection));
  EXPECT_FALSE(found);
  EXPECT_TRUE(collection.capped);
  EXPECT_EQ(rows.size(), 3 + updater::kMaxDevicesPerKind);
}

// A reply as the wire brings it: fields from their bytes, short replies passed over.
TEST(DiscoveredDevices, RepliesBecomeSpecsFromTheirOwnBytes) {
  const uint8_t reply[20] = {0xFF, 0x06, 0x10, 0x27, 0xCD, 0xAB, 0x34, 0x12, 9, 9, 9, 9, 0x13, 9, 9, 9, 7, 7, 7, 7};
  const uint32_t from = htonl(0xC0000207);
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_ParseReply(reply, sizeof reply, from, &spec));
  EXPECT_EQ(spec.type, kLinkTypeTCPIP);
  EXPECT_EQ(spec.serialNumber, 0x1234ABCDu);
  EXPECT_EQ(spec.module, 6u);
  EXPECT_EQ(spec.router, 6u);
  EXPECT_EQ(spec.routerSerialNumber, 0x1234ABCDu);
  EXPECT_EQ(spec.model, 0x13u);
  EXPECT_EQ(spec.t.ip.address, from);
  EXPECT_EQ(spec.t.ip.port, 10000u);
  ASSERT_TRUE(aDiscovery_ParseReply(reply, 12, from, &spec));
  EXPECT_EQ(spec.model, 255u);  // no model byte
  linkSpec untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);
  EXPECT_FALSE(aDiscovery_ParseReply(reply, 7, from, &untouched));
  EXPECT_EQ(untouched.serialNumber, 0x5A5A5A5Au);

  uint32_t serial = 7;
  EXPECT_TRUE(aDiscovery_ParseSerialText("40f5849A", &serial));
  EXPECT_EQ(serial, 0x40F5849Au);
  for (const char* bad : {"40F5849", "40F5849AB", "40F5849G", " 40F5849", "", "0x40F584"}) {
    serial = 7;
    EXPECT_FALSE(aDiscovery_ParseSerialText(bad, &serial)) << bad;
    EXPECT_EQ(serial, 7u);
  }
}

}  // namespace

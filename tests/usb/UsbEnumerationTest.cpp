// USB enumeration into linkSpec records and the find functions built on it.
#include <cstring>

#include "common/discovery/aDiscovery.h"
#include "common/unix/aUSB.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/usb/UsbFixture.h"

using namespace usbemu;

namespace {

using UsbEnumeration = UsbTest;

struct Seen {
  std::vector<linkSpec> specs;
  int stopAfter = -1;
  int calls = 0;
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  seen->specs.push_back(*spec);
  *found = true;
  ++seen->calls;
  return seen->stopAfter < 0 || seen->calls < seen->stopAfter;
}

bool countNothing(const linkSpec*, bool*, void* reference) {
  ++static_cast<Seen*>(reference)->calls;
  return true;
}

const linkSpec* bySerial(const Seen& seen, uint32_t serial) {
  for (const linkSpec& spec : seen.specs)
    if (spec.serialNumber == serial) return &spec;
  return nullptr;
}

TEST_F(UsbEnumeration, ReportsOnlyEightHexDigitSerialsOfFamilyDevices) {
  bus->add(withSerial("000000A1", 0x1234));
  bus->add(withSerial("0000abcd", 0x0013));
  bus->add(withSerial("1234567"));      // 7 characters
  bus->add(withSerial("123456789"));    // 9 characters
  bus->add(withSerial("12G45678"));     // not hexadecimal
  bus->add(withSerial("0000 0A1"));
  bus->add(withSerial("7777AAAA", 0x8001));
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeUSB, collect, &seen, 0), 2);
  ASSERT_EQ(seen.specs.size(), 2u);

  const linkSpec* a1 = bySerial(seen, 0xA1);
  ASSERT_NE(a1, nullptr);
  EXPECT_EQ(a1->type, kLinkTypeUSB);
  EXPECT_EQ(a1->model, 0x34u);
  EXPECT_EQ(a1->module, 0u);
  EXPECT_EQ(a1->router, 0u);
  EXPECT_EQ(a1->routerSerialNumber, 0u);
  EXPECT_EQ(a1->t.usb.serialNumber, 0xA1u);
  const linkSpec* lower = bySerial(seen, 0xABCD);
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(lower->model, 0x13u);
}

TEST_F(UsbEnumeration, CountsOnlyWhatTheCallbackMarksAndStopsWhenAsked) {
  bus->add(withSerial("00000001"));
  bus->add(withSerial("00000002"));
  bus->add(withSerial("00000003"));
  Seen none;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeUSB, countNothing, &none, 0), 0);
  EXPECT_EQ(none.calls, 3);
  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeUSB, collect, &first, 0), 1);
  EXPECT_EQ(first.calls, 1);
}

TEST_F(UsbEnumeration, OtherKindsFindNothingAndNeverCallBack) {
  // Link-server kinds are looked for by their own discovery, which may send datagrams.
  NETTEST_ENTER_PRIVATE_NETWORK(false);
  bus->add(withSerial("00000001"));
  for (linkType type : {kLinkTypeNone, kLinkTypeSerial, 8, -1, kLinkTypeQuivel, kLinkTypeQuivelSerial}) {
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(type, collect, &seen, 0), 0) << type;
    EXPECT_EQ(seen.calls, 0) << type;
  }
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeUSB, nullptr, nullptr, 0), 0);
}

TEST_F(UsbEnumeration, FindModuleTakesTheFirstDeviceWithThatSerial) {
  bus->add(withSerial("00000007", 0x0011));
  bus->add(withSerial("CAFE0001", 0x0021));
  bus->add(withSerial("CAFE0001", 0x0022));
  EXPECT_EQ(aDiscovery_FindModule(kLinkTypeUSB, 0xCAFE0002, 0), nullptr);

  Seen order;
  aDiscovery_EnumerateModules(kLinkTypeUSB, collect, &order, 0);
  const linkSpec* firstInList = bySerial(order, 0xCAFE0001);
  ASSERT_NE(firstInList, nullptr);

  linkSpec* found = aDiscovery_FindModule(kLinkTypeUSB, 0xCAFE0001, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->serialNumber, 0xCAFE0001u);
  EXPECT_EQ(found->model, firstInList->model);
  EXPECT_EQ(std::memcmp(found, firstInList, sizeof *found), 0);
  EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&found), aErrParam);

  linkSpec* any = aDiscovery_FindFirstModule(kLinkTypeUSB, 0);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->serialNumber, order.specs.front().serialNumber);
  aLinkSpec_Destroy(&any);
}

TEST_F(UsbEnumeration, SeesADeviceThatIsOpenElsewhereAndNewDevicesAfterARefresh) {
  bus->add(withSerial("00000001"));
  twusb_device* open = twusb_create_usb(1);
  ASSERT_EQ(twusb_open_tallowick_device(open, "00000001"), aErrNone);
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeUSB, collect, &seen, 0), 1);

  bus->add(withSerial("00000002"));
  Tallowick_libusb_exit();
  Seen again;
  EXPECT_EQ(aDiscovery_EnumerateModules(kLinkTypeUSB, collect, &again, 0), 2);
  EXPECT_NE(bySerial(again, 2), nullptr);

  // The handle opened before the refresh still works and closes cleanly.
  const uint8_t byte = 0x55;
  EXPECT_EQ(twusb_write_to_device(open, &byte, 1), aErrNone);
  EXPECT_EQ(twusb_close_tallowick_device(open), aErrNone);
  twusb_destroy(&open);
}

}  // namespace

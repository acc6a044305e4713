// linkSpec records: their life cycle and their fixed 128-byte wire form.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/aLinkSpecifier.h"

namespace {

using Bytes = std::vector<uint8_t>;

void putLE(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes header(int32_t type, uint32_t serial, uint32_t module, uint32_t router, uint32_t routerSerial, uint32_t model) {
  Bytes b(128, 0);
  putLE(b, 0, static_cast<uint32_t>(type));
  putLE(b, 4, serial);
  putLE(b, 8, module);
  putLE(b, 12, router);
  putLE(b, 16, routerSerial);
  putLE(b, 20, model);
  return b;
}

Bytes serialize(const linkSpec& spec) {
  Bytes out(128, 0xEE);
  aLinkSpec_Serialize(&spec, out.data());
  return out;
}

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(kLinkTypeTCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, kLinkTypeTCPIP);
  EXPECT_EQ(serialize(*spec), header(2, 0, 0, 0, 0, 0));
  spec->serialNumber = 0xCAFE;
  linkSpec* copy = aLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  EXPECT_EQ(std::memcmp(copy, spec, sizeof *spec), 0);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  aLinkSpec_Destroy(&copy);
}

TEST(LinkSpec, WireFormHasFixedOffsetsForEveryForm) {
  linkSpec usb{};
  usb.type = kLinkTypeUSB;
  usb.serialNumber = 0x11223344;
  usb.model = 0x13;
  usb.t.usb.serialNumber = 0x11223344;
  Bytes usbWire = header(1, 0x11223344, 0, 0, 0, 0x13);
  putLE(usbWire, 24, 0x11223344);
  EXPECT_EQ(serialize(usb), usbWire);

  linkSpec ip{};
  ip.type = kLinkTypeQuivelTCPIP;
  ip.serialNumber = 0xA1B2C3D4;
  ip.module = 4;
  ip.router = 2;
  ip.routerSerialNumber = 0x55;
  ip.model = 0x21;
  inet_pton(AF_INET, "192.0.2.7", &ip.t.ip.address);
  ip.t.ip.port = 10000;
  Bytes ipWire = header(6, 0xA1B2C3D4, 4, 2, 0x55, 0x21);
  const uint8_t address[] = {192, 0, 2, 7};  // network order, as it stands
  std::memcpy(ipWire.data() + 24, address, 4);
  putLE(ipWire, 28, 10000);
  EXPECT_EQ(serialize(ip), ipWire);

  linkSpec serial{};
  serial.type = kLinkTypeSerial;
  serial.serialNumber = 7;
  serial.t.serial.baudRate = 115200;
  std::strcpy(serial.t.serial.portName, "/dev/ttyUSB0");
  Bytes serialWire = header(3, 7, 0, 0, 0, 0);
  putLE(serialWire, 24, 115200);
  std::memcpy(serialWire.data() + 28, "/dev/ttyUSB0", 12);
  EXPECT_EQ(serialize(serial), serialWire);

  for (const linkSpec* spec : {&usb, &ip, &serial}) {
    Bytes wire = serialize(*spec);
    linkSpec back;
    std::memset(&back, 0xEE, sizeof back);
    aLinkSpec_Deserialize(wire.data(), &back);
    EXPECT_EQ(std::memcmp(&back, spec, sizeof back), 0) << spec->type;
  }
}

TEST(LinkSpec, ReceivedPortNameIsAlwaysTerminated) {
  Bytes wire = header(3, 1, 0, 0, 0, 0);
  std::memset(wire.data() + 28, 'A', 100);
  linkSpec spec;
  aLinkSpec_Deserialize(wire.data(), &spec);
  EXPECT_EQ(std::strlen(spec.t.serial.portName), 99u);
}

// Where discovery found a USB device is this machine's business: it never goes on the
// wire, and a spec read from the wire knows no place (the device is looked for).
TEST(LinkSpec, TheBusPlaceOfAUsbSpecStaysOffTheWire) {
  linkSpec usb{};
  usb.type = kLinkTypeUSB;
  usb.serialNumber = 0x11223344;
  usb.t.usb.serialNumber = 0x11223344;
  const Bytes placeless = serialize(usb);
  usb.t.usb.bus = 3;
  usb.t.usb.address = 7;
  EXPECT_EQ(serialize(usb), placeless);
  linkSpec back;
  std::memset(&back, 0xEE, sizeof back);
  aLinkSpec_Deserialize(placeless.data(), &back);
  EXPECT_EQ(back.t.usb.bus, 0u);
  EXPECT_EQ(back.t.usb.address, 0u);
}

}  // namespace

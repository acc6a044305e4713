// The version line and the result printers, fed with hand-made data.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include "VersionLine.h"
#include "updater/cli/CLI_Display.h"
#include "updater/cli/Printers.h"
#include "tests/support/Subprocess.h"

using testsupport::RunInChild;
using testsupport::RunResult;

TEST(Printers, VersionLine) {
  RunResult r = RunInChild([] {
    CLI_Display display;
    _display_app_version(display);
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(clitest::VersionLineLength(r.out), r.out.size()) << r.out;
  EXPECT_NE(r.out.size(), 0u);
}

TEST(Printers, Fingerprint) {
  RunResult r = RunInChild([] {
    CLI_Display display;
    Fingerprint zero;
    _display_fingerprint(display, zero);
    Fingerprint f;
    f[0] = 0x1;
    f[1] = 0xDEADBEEF;
    f[2] = 0xabc;
    f[3] = 0xFFFFFFFF;
    _display_fingerprint(display, f);
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[ 00000000 00000000 00000000 00000000 ]\n[ 00000001 DEADBEEF 00000ABC FFFFFFFF ]\n");
  EXPECT_EQ(r.err, "");
}

TEST(Printers, BuildList) {
  RunResult r = RunInChild([] {
    CLI_Display display;
    std::map<std::string, std::string> none;
    _display_builds(display, none, 0x40F5849A);
    std::map<std::string, std::string> builds = {
        {"100", "1.2.3"},
        {"99528558", "2.0.10"},
        {"7", "1.10.0"},
        {"12345678901234567890", "3.0.0-a-very-long-version"},
    };
    _display_builds(display, builds, 0x1);
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "No builds found for device [40F5849A]\n"
            "Build List for device [00000001]:\n\n"
            "Build          \tVersion        \n"
            "123456789012345\t3.0.0-a-very-lo\n"
            "99528558       \t2.0.10         \n"
            "7              \t1.10.0         \n"
            "100            \t1.2.3          \n");
  EXPECT_EQ(r.err, "");
}

namespace {

DeviceInfo Device(linkType type, uint32_t serial, uint32_t module, uint32_t router, uint32_t model) {
  DeviceInfo d;
  d.spec.type = type;
  d.spec.serialNumber = serial;
  d.spec.module = module;
  d.spec.router = router;
  d.spec.model = model;
  return d;
}

}  // namespace

TEST(Printers, DeviceTable) {
  RunResult r = RunInChild([] {
    CLI_Display display;
    std::vector<DeviceInfo> none;
    _display_device_list(display, none, kLinkTypeUSB);
    _display_device_list(display, none, kLinkTypeTCPIP);

    DeviceInfo usb = Device(kLinkTypeUSB, 0x40F5849A, 0x2, 0x0, 4);
    usb.major = 2;
    usb.minor = 12;
    usb.patch = 3;
    usb.build = 99528558;
    usb.deviceName = "bench";
    usb.modelName = "never printed";
    DeviceInfo busy = Device(kLinkTypeUSB, 0xD272031D, 0x2, 0x0, 5);
    busy.error = 5;
    std::vector<DeviceInfo> direct = {usb, busy};
    _display_device_list(display, direct, kLinkTypeUSB);

    DeviceInfo tcp = Device(kLinkTypeTCPIP, 0x2181F0EE, 0x4, 0x6, 999);
    tcp.spec.t.ip.address = htonl(0xC0A8010Au);  // 192.168.1.10
    tcp.major = 1;
    tcp.minor = 0;
    tcp.patch = 17;
    tcp.build = 7;
    tcp.error = 9;  // not looked at for TCP/IP rows
    tcp.deviceName = "rack";
    std::vector<DeviceInfo> network = {tcp};
    _display_device_list(display, network, kLinkTypeTCPIP);

    // A router scan without -t: title and header of an unknown link, rows by their own type.
    std::vector<DeviceInfo> behindRouter = {Device(kLinkTypeUSB, 0x11, 0x10, 0x2, 13)};
    _display_device_list(display, behindRouter, kLinkTypeNone);
    return 0;
  });
  ASSERT_EQ(r.status, 0);
  const std::string usbHeader =
      "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n";
  const std::string ipHeader =
      "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name\n";
  EXPECT_EQ(r.out,
            "Discovered Devices: (USB)\n    No devices found.\n"
            "Discovered Devices: (TCPIP)\n    No devices found.\n"
            "Discovered Devices: (USB)\n" + usbHeader +
            "    40F5849A  02       00      Palvrik        2.12.3 (  99528558)         bench\n"
            "    D272031D  [Error (5): Device in use. Close all other Quenlark associated applications.]\n"
            "Discovered Devices: (TCPIP)\n" + ipHeader +
            "    2181F0EE  04       06      Unknown        1.0.17 (         7)        [192.168.1.10]     rack\n"
            "Discovered Devices: (Unknown)\n" + ipHeader +
            "    00000011  10       02      Quaspelline    0.0.0 (         0)         \n");
  EXPECT_EQ(r.err, "");
}

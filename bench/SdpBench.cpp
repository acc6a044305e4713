// sdp_bench: the loader transfer of the i.MX recovery (SDPLoader::writeLoader and the
// jump) of a 64 KiB loader through the simulated boot ROM, beside baselines measured in
// the same run:
//   - serial, paced at 115200 baud: the wire-time floor (bytes on the line / 11520 bytes
//     per second) and imx_uart loading the same image from the same simulator;
//   - USB HID (emulated hidraw): the number of reports times the emulator's own report
//     turnaround (raw hid_write of a 1025-byte report, nothing else).
// It re-executes itself under umockdev's preload library for the HID part.
//   sdp_bench [--kib N]
#include <hidapi.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/aLibusb.h"
#include "tests/support/Subprocess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/imx/HidrawEmulator.h"
#include "tests/imx/SdpHidFrontEnd.h"
#include "tests/sim/sdp/SdpRom.h"
#include "tests/sim/sdp/SdpSerialPty.h"
#include "tests/usb/UsbEmulator.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/IMX1050.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader_unix.h"

namespace {

constexpr uint32_t kBaud = 115200;
constexpr double kBytesPerSecond = kBaud / 10.0;
constexpr uint32_t kLoad = 0x20000000;
constexpr uint32_t kVectorTable = 0x20000400;
constexpr const char* kImxUart = "/usr/bin/imx_uart";

double now() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

void putLittle(std::vector<uint8_t>& b, size_t at, uint32_t value) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// An image with a vector table 0x400 bytes in and its boot data (no DCD), so that
// imx_uart loads it whole and jumps to the table.
std::vector<uint8_t> loaderImage(size_t length) {
  std::vector<uint8_t> b = birdgen::randomImage(length, 21);
  const size_t ivt = kVectorTable - kLoad;
  const uint8_t header[4] = {0xD1, 0x00, 0x20, 0x41};
  std::memcpy(&b[ivt], header, 4);
  putLittle(b, ivt + 4, kLoad + 0x800);
  putLittle(b, ivt + 8, 0);
  putLittle(b, ivt + 12, 0);
  putLittle(b, ivt + 16, kVectorTable + 0x20);
  putLittle(b, ivt + 20, kVectorTable);
  putLittle(b, ivt + 24, 0);
  putLittle(b, ivt + 28, 0);
  putLittle(b, ivt + 32, kLoad);
  putLittle(b, ivt + 36, static_cast<uint32_t>(length));
  putLittle(b, ivt + 40, 0);
  return b;
}

bool serial(const std::vector<uint8_t>& image) {
  std::printf("serial line, paced at %u baud, %zu-byte loader\n", kBaud, image.size());
  // The client.
  // Both run against the same simulator: a started program greets on its console line.
  const std::string banner = "Loader running\r\n";
  const std::vector<uint8_t> greeting(banner.begin(), banner.end());
  double ours = 0, oursFloor = 0;
  {
    sdpsim::Rom rom;
    sdpsim::SerialPty pty(rom, kBaud, greeting);
    SDPLoader loader;
    loader.setLoader(new Serial_SDPLoader(pty.path().c_str()));
    if (loader.init() != SDPLoader::SDP_OK) return false;
    const double start = now();
    const uint8_t result = loader.writeLoader(image, kLoad);
    const double written = now();
    loader.startLoader(kVectorTable);
    const double end = now();
    if (result != SDPLoader::SDP_OK || !rom.jumpAddress()) {
      std::printf("  SDPLoader failed: result %u\n%s", result, rom.dump().c_str());
      return false;
    }
    ours = end - start;
    oursFloor = static_cast<double>(pty.received().size() + pty.sent().size()) / kBytesPerSecond;
    std::printf("  SDPLoader  %8.3f s   floor %8.3f s (%zu bytes out, %zu back)   ratio %.3f"
                "   (image %.3f s, jump %.3f s)\n",
                ours, oursFloor, pty.received().size(), pty.sent().size(), ours / oursFloor, written - start,
                end - written);
  }
  // The independent peer against the same simulator.
  if (access(kImxUart, X_OK) != 0) {
    std::printf("  imx_uart   not installed\n");
    return true;
  }
  testsupport::TempDir dir;
  birdgen::writeFile(dir.sub("loader.imx"), image);
  testsupport::writeText(dir.sub("rt.conf"), "imxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,512K\n");
  sdpsim::Rom rom;
  sdpsim::SerialPty pty(rom, kBaud, greeting);
  testsupport::RunOptions o;
  o.timeoutMs = 120000;
  const double start = now();
  const auto r = testsupport::RunProgram(kImxUart, {"imx_uart", pty.path(), dir.sub("rt.conf"), dir.sub("loader.imx")}, o);
  const double peer = now() - start;
  if (r.status != 0 || !rom.jumpAddress()) {
    std::printf("  imx_uart failed: %s%s\n", r.out.c_str(), r.err.c_str());
    return false;
  }
  const double peerFloor = static_cast<double>(pty.received().size() + pty.sent().size()) / kBytesPerSecond;
  std::printf("  imx_uart   %8.3f s   floor %8.3f s (%zu bytes out, %zu back)   ratio %.3f\n", peer, peerFloor,
              pty.received().size(), pty.sent().size(), peer / peerFloor);
  std::printf("  SDPLoader / imx_uart: %.3f\n", ours / peer);
  return true;
}

bool hid(const std::vector<uint8_t>& image) {
  std::printf("USB HID (emulated hidraw), %zu-byte loader\n", image.size());
  usbemu::Bus bus;
  // The emulator's own turnaround: a device that takes reports and answers nothing.
  double turnaround = 0;
  {
    hidemu::HidSpec spec;
    spec.vendorId = 0x1FC9;
    spec.productId = 0x0131;
    spec.reportDescriptor = hidemu::sdpReportDescriptor();
    hidemu::HidrawDevice sink(bus.testbed(), spec, nullptr);
    hid_init();
    hid_device* handle = hid_open(0x1FC9, 0x0131, nullptr);
    if (handle == nullptr) return false;
    std::vector<uint8_t> report(1025, 0x5A);
    report[0] = 2;
    const int rounds = 2000;
    const double start = now();
    for (int i = 0; i < rounds; i++)
      if (hid_write(handle, report.data(), report.size()) != 1025) return false;
    turnaround = (now() - start) / rounds;
    hid_close(handle);
  }
  sdpsim::Rom rom;
  sdpsim::HidFrontEnd front(rom, bus.testbed());
  SDPLoader loader;
  loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  if (loader.init() != SDPLoader::SDP_OK) return false;
  const double start = now();
  const uint8_t result = loader.writeLoader(image, kLoad);
  const double written = now();
  loader.startLoader(kVectorTable);
  const double end = now();
  if (result != SDPLoader::SDP_OK || !rom.jumpAddress()) return false;
  const size_t reports = front.device().outputs().size();
  const double floor = static_cast<double>(reports) * turnaround;
  // Each answer ends with one read that waits its 100 ms for a further report (the
  // status answer, the completion, the jump's state): fixed by the protocol client.
  const double waits = 0.3;
  std::printf("  report turnaround %.1f us; %zu reports -> floor %.4f s\n", turnaround * 1e6, reports, floor);
  std::printf("  SDPLoader  %8.4f s (image %.4f s, jump %.4f s)   ratio %.2f\n", end - start, written - start,
              end - written, (end - start) / floor);
  std::printf("  without the three 100 ms answer waits: %.4f s   ratio %.2f\n", end - start - waits,
              (end - start - waits) / floor);
  Tallowick_libusb_exit();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t kib = 64;
  for (int i = 1; i + 1 < argc; i++)
    if (std::strcmp(argv[i], "--kib") == 0) kib = std::strtoul(argv[++i], nullptr, 10);
  if (!usbemu::inMockEnvironment()) {
    const char* old = std::getenv("LD_PRELOAD");
    const std::string preload = std::string("libumockdev-preload.so.0") + (old != nullptr ? std::string(":") + old : "");
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("sdp_bench: re-exec under umockdev");
    return 1;
  }
  const std::vector<uint8_t> image = loaderImage(kib * 1024);
  bool ok = serial(image);
  ok = hid(image) && ok;
  return ok ? 0 : 1;
}

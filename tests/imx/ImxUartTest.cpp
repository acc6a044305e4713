// A real independent peer against the simulated boot ROM on a serial line: Debian's
// imx_uart (package imx-usb-loader) associates, asks for the status, loads an image
// with an image vector table and jumps to that table. If the simulator understood the
// protocol only the way the product's own client speaks it, this would show.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/sim/sdp/SdpRom.h"
#include "tests/sim/sdp/SdpSerialPty.h"

namespace {

constexpr const char* kImxUart = "/usr/bin/imx_uart";
constexpr uint32_t kLoadAddress = 0x20000000;
constexpr uint32_t kVectorTable = 0x20000400;

void putLittle(std::vector<uint8_t>& b, size_t at, uint32_t value) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// An image as the boot ROM loads it: an image vector table 0x400 bytes in (tag 0xD1,
// length 0x20 big-endian, version 0x41; entry, reserved, DCD, boot data, self, CSF,
// reserved as little-endian words), its boot data right after it (start, length,
// plugin flag). No DCD, so no register writes come before the image.
std::vector<uint8_t> vectorTableImage(size_t length) {
  std::vector<uint8_t> b = birdgen::randomImage(length, 11);
  const size_t ivt = kVectorTable - kLoadAddress;
  const uint8_t header[4] = {0xD1, 0x00, 0x20, 0x41};
  std::memcpy(&b[ivt], header, 4);
  putLittle(b, ivt + 4, kLoadAddress + 0x800);  // entry
  putLittle(b, ivt + 8, 0);
  putLittle(b, ivt + 12, 0);                    // no DCD
  putLittle(b, ivt + 16, kVectorTable + 0x20);  // boot data
  putLittle(b, ivt + 20, kVectorTable);         // self
  putLittle(b, ivt + 24, 0);
  putLittle(b, ivt + 28, 0);
  putLittle(b, ivt + 32, kLoadAddress);
  putLittle(b, ivt + 36, static_cast<uint32_t>(length));
  putLittle(b, ivt + 40, 0);
  return b;
}

TEST(ImxUart, LoadsAVectorTableImageThroughThePacedSimulatorAndJumps) {
  if (access(kImxUart, X_OK) != 0) GTEST_SKIP() << kImxUart << " is missing (package imx-usb-loader)";
  testsupport::TempDir dir;
  const std::vector<uint8_t> image = vectorTableImage(8192);
  birdgen::writeFile(dir.sub("loader.imx"), image);
  // The target description: name, then transport, report size, DCD address and the RAM
  // areas (start, size) the image may go to.
  testsupport::writeText(dir.sub("rt.conf"), "imxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,512K\n");

  sdpsim::Rom rom;
  // A started program greets on its console line, which is what the tool waits for
  // after the jump.
  const std::string banner = "Loader running\r\n";
  sdpsim::SerialPty pty(rom, 115200, std::vector<uint8_t>(banner.begin(), banner.end()));

  testsupport::RunOptions options;
  options.timeoutMs = 60000;
  const auto r = testsupport::RunProgram(kImxUart, {"imx_uart", pty.path(), dir.sub("rt.conf"), dir.sub("loader.imx")},
                                     options);
  ASSERT_EQ(r.status, 0) << r.out << r.err << rom.dump();
  EXPECT_EQ(pty.associations(), 1u);
  ASSERT_EQ(rom.writes().size(), 1u) << rom.dump();
  EXPECT_EQ(rom.writes()[0].address, kLoadAddress);
  EXPECT_TRUE(rom.writes()[0].complete);
  EXPECT_EQ(rom.memory(kLoadAddress, image.size()), image);
  ASSERT_TRUE(rom.jumpAddress().has_value());
  EXPECT_EQ(*rom.jumpAddress(), kVectorTable);
}

}  // namespace

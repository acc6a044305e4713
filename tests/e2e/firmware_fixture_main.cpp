// firmware_fixture: writes a generated firmware build for the demo and the benchmark.
//   firmware_fixture BIRD_OUT BUILD VERSION SEED SERIAL_HEX FLASH_OUT [FIRST_SIZE [SECOND_SIZE]]
// BIRD_OUT receives the BIRD file, FLASH_OUT the image an update of the module with
// that serial number must leave in its flash.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/FirmwareBuild.h"

int main(int argc, char** argv) {
  if (argc != 7 && argc != 8 && argc != 9) {
    std::fprintf(stderr, "usage: firmware_fixture BIRD_OUT BUILD VERSION SEED SERIAL_HEX FLASH_OUT [FIRST [SECOND]]\n");
    return 2;
  }
  const uint32_t seed = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
  const uint32_t serial = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 16));
  const size_t first = argc > 7 ? std::strtoul(argv[7], nullptr, 10) : 5000;
  const size_t second = argc > 8 ? std::strtoul(argv[8], nullptr, 10) : 700;
  if (serial == 0 || first == 0) {
    std::fprintf(stderr, "firmware_fixture: serial number and first block size must not be 0\n");
    return 2;
  }
  const e2e::FirmwareBuild build(argv[2], argv[3], seed, "Hemblork", first, second);
  birdgen::writeFile(argv[1], build.file);
  birdgen::writeFile(argv[6], build.flash(serial));
  return 0;
}

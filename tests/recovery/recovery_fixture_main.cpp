// recovery_fixture: writes a recovery build for one LPC chip, for the demo.
//   recovery_fixture BIRD_OUT FLASH_OUT BUILD VERSION SERIAL_HEX W0,W1,W2,W3 SEED FIRST SECOND
// BIRD_OUT receives a BIRD file with two firmware images (FIRST bytes at 0, SECOND bytes
// at 0x10000), each keyed with the chip's four words, then the end marker and the
// identity record. FLASH_OUT receives what the chip's whole flash must hold after a
// recovery with it: the plain images on erased flash.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fakes/BirdGenerator.h"
#include "tests/sim/lpc/IspChip.h"

namespace {

constexpr uint32_t kSecondAddress = 0x10000;

bool number(const std::string& text, unsigned long max, int base, unsigned long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text.c_str(), &end, base);
  return !text.empty() && *end == '\0' && errno == 0 && out <= max;
}

bool words(const std::string& text, uint32_t out[4]) {
  size_t at = 0;
  for (int i = 0; i < 4; i++) {
    const size_t comma = text.find(',', at);
    if ((i < 3) != (comma != std::string::npos)) return false;
    unsigned long v = 0;
    if (!number(text.substr(at, i < 3 ? comma - at : std::string::npos), 0xFFFFFFFFul, 16, v)) return false;
    out[i] = static_cast<uint32_t>(v);
    at = comma + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t key[4] = {};
  unsigned long serial = 0, seed = 0, first = 0, second = 0;
  if (argc != 10 || !number(argv[5], 0xFFFFFFFFul, 16, serial) || serial == 0 || !words(argv[6], key) ||
      !number(argv[7], 0xFFFFFFFFul, 10, seed) || !number(argv[8], kSecondAddress, 10, first) || first == 0 ||
      !number(argv[9], lpcsim::kFlashSize - kSecondAddress, 10, second)) {
    std::fprintf(stderr,
                 "usage: recovery_fixture BIRD_OUT FLASH_OUT BUILD VERSION SERIAL_HEX W0,W1,W2,W3 SEED FIRST SECOND\n"
                 "  FIRST: 1..65536 bytes at 0, SECOND: 0..%u bytes at 0x10000\n",
                 lpcsim::kFlashSize - kSecondAddress);
    return 2;
  }
  const birdgen::Bytes images[2] = {birdgen::randomImage(first, static_cast<uint32_t>(seed)),
                                    birdgen::randomImage(second, static_cast<uint32_t>(seed) + 1)};
  const uint32_t addresses[2] = {0, kSecondAddress};
  char serialText[16];
  std::snprintf(serialText, sizeof serialText, "%08lX", serial);

  birdgen::BirdLayout layout;
  birdgen::Bytes flash(lpcsim::kFlashSize, 0xFF);
  for (int i = 0; i < 2; i++) {
    if (images[i].empty()) continue;
    layout.blocks.push_back(
        birdgen::imageBlock(birdgen::FIRMWARE, addresses[i], birdgen::encodeWithFingerprint(images[i], key)));
    std::copy(images[i].begin(), images[i].end(), flash.begin() + addresses[i]);
  }
  // The end marker: a firmware block of eight data bytes closes the images.
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, birdgen::Bytes(4, 0)));
  layout.blocks.push_back(birdgen::identityBlock(argv[3], argv[4], serialText, "Hemblork"));
  birdgen::writeFile(argv[1], birdgen::file(layout));
  birdgen::writeFile(argv[2], flash);
  return 0;
}

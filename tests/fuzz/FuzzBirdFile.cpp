// libFuzzer target: the BIRD reader on arbitrary bytes. The first byte chooses the
// road: odd - the bytes after it are a decompressed payload handed to the block
// parser; even - they are a whole file, read from disk through decompression. Every
// reader and in-memory change then runs on whatever was parsed.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "updater/firmware/BirdFile.h"

namespace {

void exercise(BirdFile& bird) {
  for (int type = 0; type < 32; type++) bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
  bird.FindSerialNumberOffsets();
  bird.ReplaceSerialNumber(0x40F5849A);
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  bird.DecodeFirmwareBlocks(key);
  bird.ReplaceVectorChecksum();
  const uint8_t pattern[3] = {0, 1, 2};
  bird.ValidateData(pattern, sizeof pattern);
  bird.ValidateModel("USBStem");
  bird.ValidateModel("");
  bird.ValidateSerialNumber(bird.GetSerialNumber());
  (void)bird.GetBuild();
  (void)bird.GetVersion();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    BirdFile bird;
    bird.dataSize = static_cast<uint32_t>(size - 1);
    bird.data.reset(new uint8_t[size]);
    std::memcpy(bird.data.get(), data + 1, size - 1);
    bird.ScanBlocks(bird.data.get(), bird.dataSize);
    exercise(bird);
    return 0;
  }
  static const std::string path = "/tmp/fuzz-bird-" + std::to_string(getpid()) + ".bird";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  }
  BirdFile::VerifyFile(path.c_str());
  try {
    BirdFile bird(path.c_str());
    exercise(bird);
  } catch (const std::runtime_error&) {
  }
  return 0;
}

// BIRD files read from generated fixtures: layout, identity, patching, decoding, and
// the refusal of files whose structure does not fit.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "tests/fakes/BirdGenerator.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "updater/firmware/BirdFile.h"

using birdgen::BirdLayout;
using birdgen::Bytes;

namespace {

class BirdFileTest : public ::testing::Test {
protected:
  std::string write(const Bytes& bytes, const std::string& name = "test.bird") {
    const std::string path = dir.sub(name);
    birdgen::writeFile(path, bytes);
    return path;
  }
  std::string write(const BirdLayout& layout, const std::string& name = "test.bird") {
    return write(birdgen::file(layout), name);
  }

  static Bytes image(const BirdBlock& block) { return Bytes(block.data + 4, block.data + block.length); }

  testsupport::TempDir dir;
};

BirdLayout everyBlockType(const Bytes& loader, const Bytes& firmware1, const Bytes& firmware2) {
  BirdLayout layout;
  layout.blocks.push_back(birdgen::identityBlock("12345", "2.10.4", "40F5849A", "MTM-USBStem"));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, 0x10000000, loader, 3));
  layout.blocks.push_back(birdgen::serialOffsetsBlock(0x00001010, 0x00001100));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x00001000, firmware1, 5));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x00008000, firmware2, 7));
  layout.blocks.push_back(birdgen::rawBlock(3, {0xAA, 0xBB}));
  layout.blocks.push_back(birdgen::loaderEntryBlock(0x10000401));
  return layout;
}

TEST_F(BirdFileTest, LoadsEveryBlockTypeInFileOrder) {
  const Bytes loader = birdgen::randomImage(300, 1), fw1 = birdgen::randomImage(1024, 2), fw2 = birdgen::randomImage(77, 3);
  BirdLayout layout = everyBlockType(loader, fw1, fw2);
  layout.checksum = 0x01020304;
  BirdFile bird(write(layout).c_str());

  EXPECT_EQ(bird.signature, 0x62697264u);
  EXPECT_EQ(bird.version, 0x0101u);
  EXPECT_EQ(bird.blockCount, 7u);
  ASSERT_EQ(bird.blocks.size(), 7u);
  EXPECT_EQ(bird.fileChecksum, 0x01020304u);
  const uint8_t types[] = {4, 0, 2, 1, 1, 3, 5};
  for (size_t i = 0; i < 7; i++) EXPECT_EQ(bird.blocks[i].type, types[i]) << i;

  const auto loaders = bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER);
  ASSERT_EQ(loaders.size(), 1u);
  EXPECT_EQ(loaders[0].address, 0x10000000u);
  EXPECT_EQ(loaders[0].flags, 3);
  EXPECT_EQ(loaders[0].length, loader.size() + 4);
  EXPECT_EQ(image(loaders[0]), loader);

  const auto firmware = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  ASSERT_EQ(firmware.size(), 2u);
  EXPECT_EQ(firmware[0].address, 0x1000u);
  EXPECT_EQ(firmware[0].flags, 5);
  EXPECT_EQ(image(firmware[0]), fw1);
  EXPECT_EQ(firmware[1].address, 0x8000u);
  EXPECT_EQ(firmware[1].flags, 7);
  EXPECT_EQ(image(firmware[1]), fw2);

  // Only loader and firmware blocks carry an address.
  EXPECT_EQ(bird.blocks[5].address, 0u);
  EXPECT_EQ(bird.blocks[5].length, 2u);
  EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(9)).empty());

  EXPECT_TRUE(bird.hasSerialOffsets);
  EXPECT_EQ(bird.serialOffset, 0x1010u);
  EXPECT_EQ(bird.descriptorOffset, 0x1100u);

  const auto entry = bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER_ENTRY);
  ASSERT_EQ(entry.size(), 1u);
  EXPECT_EQ(entry[0].length, 4u);
  EXPECT_EQ(entry[0].data[0], 0x10);
  EXPECT_EQ(entry[0].data[3], 0x01);

  EXPECT_EQ(bird.GetBuild(), 12345u);
  EXPECT_EQ(bird.GetVersion(), "2.10.4");
  EXPECT_EQ(bird.GetSerialNumber(), 0x40F5849Au);
  EXPECT_TRUE(bird.ValidateSerialNumber(0x40F5849A));
  EXPECT_FALSE(bird.ValidateSerialNumber(0x40F5849B));
}

TEST_F(BirdFileTest, MovedFileKeepsItsBlocksValid) {
  const Bytes fw = birdgen::randomImage(4096, 9);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, fw));
  BirdFile target;
  EXPECT_EQ(target.blockCount, 0u);
  EXPECT_TRUE(target.blocks.empty());
  {
    BirdFile loaded(write(layout).c_str());
    target = std::move(loaded);
  }
  const auto blocks = target.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(image(blocks[0]), fw);
}

TEST_F(BirdFileTest, VerifyFileChecksOnlyTheHeader) {
  const Bytes body = birdgen::compress(birdgen::payload(BirdLayout()));
  const uint8_t good[2] = {1, 1}, lowZero[2] = {1, 0}, highZero[2] = {0, 1};
  struct Case {
    const char* name;
    Bytes bytes;
    bool verifies;
  } cases[] = {
      {"good", birdgen::fileFromBody("bird", good, body), true},
      {"signature", birdgen::fileFromBody("bire", good, body), false},
      {"capitals", birdgen::fileFromBody("BIRD", good, body), false},
      {"version 01 00", birdgen::fileFromBody("bird", lowZero, body), false},
      {"version 00 01", birdgen::fileFromBody("bird", highZero, body), false},
      {"five bytes", Bytes{'b', 'i', 'r', 'd', 1}, false},
      {"empty", Bytes{}, false},
      // The header alone verifies; loading it is another matter.
      {"six bytes", Bytes{'b', 'i', 'r', 'd', 1, 1}, true},
  };
  for (const Case& c : cases) EXPECT_EQ(BirdFile::VerifyFile(write(c.bytes, c.name).c_str()), c.verifies) << c.name;
  EXPECT_FALSE(BirdFile::VerifyFile(dir.sub("missing").c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(BirdFileTest, LoadIgnoresSignatureAndVersion) {
  BirdLayout layout;
  layout.signature = "xxxx";
  layout.version[0] = 0;
  layout.version[1] = 0;
  layout.blocks.push_back(birdgen::identityBlock("7", "1.2.3", "1", "M"));
  const std::string path = write(layout);
  EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
  BirdFile bird(path.c_str());
  EXPECT_EQ(bird.GetVersion(), "1.2.3");
}

struct UnfitFile {
  const char* name;
  Bytes bytes;
};

// Files whose header is right and whose structure does not fit, one fault each.
std::vector<UnfitFile> unfitFiles() {
  const Bytes fw = birdgen::randomImage(64, 4);
  const uint8_t v[2] = {1, 1};
  BirdLayout good;
  good.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x100, fw));
  const Bytes goodFile = birdgen::file(good);

  auto withBlock = [&](birdgen::Block block) {
    BirdLayout layout;
    layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, 0, fw));
    layout.blocks.push_back(block);
    return birdgen::file(layout);
  };
  auto withLength = [&](uint32_t length) {
    birdgen::Block b = birdgen::imageBlock(birdgen::FIRMWARE, 0x100, fw);
    b.lengthOverride = true;
    b.length = length;
    return withBlock(b);
  };
  Bytes corrupt = goodFile;
  for (size_t i = 8; i < corrupt.size(); i += 3) corrupt[i] ^= 0x5A;
  Bytes badAdler = goodFile;
  badAdler.back() ^= 0x01;

  return {
      {"header only", Bytes{'b', 'i', 'r', 'd', 1, 1}},
      {"truncated stream", Bytes(goodFile.begin(), goodFile.begin() + goodFile.size() / 2)},
      {"stream without its check word", Bytes(goodFile.begin(), goodFile.end() - 2)},
      {"corrupt stream", corrupt},
      {"wrong check word", badAdler},
      {"not zlib at all", birdgen::fileFromBody("bird", v, Bytes(40, 0x41))},
      {"payload of 7 bytes", birdgen::fileFromBody("bird", v, birdgen::compress(Bytes{0, 0, 0, 0, 1, 2, 3}))},
      {"empty payload", birdgen::fileFromBody("bird", v, birdgen::compress(Bytes{}))},
      {"block past the payload", withLength(static_cast<uint32_t>(fw.size() + 4 + 100))},
      {"block into the checksum", withLength(static_cast<uint32_t>(fw.size() + 4 + 2))},
      {"length near 2^32", withLength(0xFFFFFFFEu)},
      {"length 2^32-1", withLength(0xFFFFFFFFu)},
      {"loader under 4 bytes", withBlock(birdgen::rawBlock(birdgen::LOADER, {1, 2, 3}))},
      {"firmware under 4 bytes", withBlock(birdgen::rawBlock(birdgen::FIRMWARE, {}))},
      {"serial offsets under 8", withBlock(birdgen::rawBlock(birdgen::SERIAL_OFFSETS, Bytes(7, 1)))},
      {"identity under 64", withBlock(birdgen::rawBlock(birdgen::IDENTITY, Bytes(63, ' ')))},
  };
}

// Every structural fault refuses the whole file; nothing is read out of bounds (the
// ASan configuration runs these too).
TEST_F(BirdFileTest, RefusesFilesThatDoNotFit) {
  for (const UnfitFile& c : unfitFiles()) {
    const std::string path = write(c.bytes, c.name);
    EXPECT_THROW({ BirdFile bird(path.c_str()); }, std::runtime_error) << c.name;
  }
  EXPECT_THROW({ BirdFile bird(dir.sub("missing.bird").c_str()); }, std::runtime_error);
  try {
    BirdFile bird(write(Bytes{'b', 'i', 'r', 'd', 1, 1}).c_str());
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
}

// The check that keeps a bad download out of the store: downloaded bytes replace a stored
// build only when they carry the header and load whole. A page that is no BIRD file, a
// file with a foreign header and every structural fault are refused, from memory, with
// nothing written.
TEST_F(BirdFileTest, VerifyDataTakesOnlyBytesThatLoadWhole) {
  const Bytes fw = birdgen::randomImage(300, 9);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x100, fw));
  layout.blocks.push_back(birdgen::identityBlock("5000", "2.12.3", "00000000", "Hemblork"));
  const Bytes good = birdgen::file(layout);
  EXPECT_TRUE(BirdFile::VerifyData(good.data(), good.size()));
  // Loadable by path (the loader ignores the header), but not as a download.
  BirdLayout foreign = layout;
  foreign.signature = "xxxx";
  const Bytes foreignFile = birdgen::file(foreign);
  BirdLayout zeroVersion = layout;
  zeroVersion.version[1] = 0;
  const Bytes zeroVersionFile = birdgen::file(zeroVersion);
  const std::string page = "<html><body>Service unavailable</body></html>\n";
  std::vector<UnfitFile> refused = unfitFiles();
  refused.push_back({"foreign signature", foreignFile});
  refused.push_back({"version byte 0", zeroVersionFile});
  refused.push_back({"an HTML page", Bytes(page.begin(), page.end())});
  refused.push_back({"five bytes", Bytes{'b', 'i', 'r', 'd', 1}});
  for (const UnfitFile& c : refused) EXPECT_FALSE(BirdFile::VerifyData(c.bytes.data(), c.bytes.size())) << c.name;
  EXPECT_FALSE(BirdFile::VerifyData(nullptr, 0));
  EXPECT_TRUE(testsupport::listDirectory(dir.path()).empty());
}

TEST_F(BirdFileTest, ShortLoaderEntryAndUnknownTypesAreKept) {
  BirdLayout layout;
  layout.blocks.push_back(birdgen::rawBlock(birdgen::LOADER_ENTRY, {1, 2}));
  layout.blocks.push_back(birdgen::rawBlock(31, {}, 7));
  BirdFile bird(write(layout).c_str());
  ASSERT_EQ(bird.blockCount, 2u);
  EXPECT_EQ(bird.blocks[0].length, 2u);
  EXPECT_EQ(bird.blocks[1].type, 31);
  EXPECT_EQ(bird.blocks[1].flags, 7);
}

TEST_F(BirdFileTest, CountMismatchIsLoggedAndTolerated) {
  LogCapture log(0x8);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(8, 1)));
  layout.countOverride = true;
  layout.count = 3;
  BirdFile bird(write(layout).c_str());
  EXPECT_EQ(bird.blockCount, 1u);
  EXPECT_TRUE(log.contains("BIRDFILE: Block parsing mismatch in number of blocks. (1 != 3)\n")) << log.text();
  EXPECT_FALSE(bird.hasSerialOffsets);
  EXPECT_FALSE(bird.FindSerialNumberOffsets());
}

TEST_F(BirdFileTest, LeftoverBytesThatFormABlockAreParsedAsOne) {
  // Five bytes after the checksum: the checksum position is read as a zero-length
  // block of type 3, and the count no longer matches.
  LogCapture log(0x8);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(8, 1)));
  layout.checksum = 0x03000000;
  layout.trailing = {0, 0xDE, 0xAD, 0xBE, 0xEF};
  BirdFile bird(write(layout).c_str());
  EXPECT_EQ(bird.blockCount, 2u);
  EXPECT_EQ(bird.fileChecksum, 0xDEADBEEFu);
  EXPECT_TRUE(log.contains("mismatch in number of blocks. (2 != 1)")) << log.text();
}

// A growing buffer replaces the fixed eight-to-one capacity: an image of long runs
// compresses far better than that and still loads; only the hard cap refuses.
TEST_F(BirdFileTest, HighlyCompressiblePayloadLoadsUpToTheCap) {
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(2u << 20, 0xFF)));
  const Bytes file = birdgen::file(layout);
  ASSERT_GT(birdgen::payload(layout).size(), 8 * (file.size() - 6));
  BirdFile bird(write(file).c_str());
  ASSERT_EQ(bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE).size(), 1u);
  EXPECT_EQ(bird.dataSize, birdgen::payload(layout).size());

  BirdLayout huge;
  huge.level = 1;
  huge.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(BirdFile::MAX_PAYLOAD_SIZE, 0)));
  const std::string hugePath = write(birdgen::file(huge), "huge.bird");
  EXPECT_THROW({ BirdFile b(hugePath.c_str()); }, std::runtime_error);
}

BirdLayout patchable(uint32_t serialAt, uint32_t descriptorAt, const Bytes& fw1, const Bytes& fw2) {
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, 0x2000, Bytes(32, 0x11)));
  layout.blocks.push_back(birdgen::serialOffsetsBlock(serialAt, descriptorAt));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x1000, fw1));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x4000, fw2));
  return layout;
}

TEST_F(BirdFileTest, SerialNumberPatchIsLittleEndianAndDescriptorGetsEveryOtherByte) {
  const Bytes fw1 = birdgen::randomImage(0x100, 5), fw2 = birdgen::randomImage(0x100, 6);
  // Serial word in the second image, descriptor at the end of the first.
  BirdFile bird(write(patchable(0x4010, 0x10F0, fw1, fw2)).c_str());
  ASSERT_TRUE(bird.hasSerialOffsets);
  ASSERT_TRUE(bird.ReplaceSerialNumber(0x40F5849A));

  const auto firmware = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  Bytes expected1 = fw1, expected2 = fw2;
  const uint8_t le[4] = {0x9A, 0x84, 0xF5, 0x40};
  std::memcpy(&expected2[0x10], le, 4);
  const char* hex = "40F5849A";
  for (int i = 0; i < 8; i++) expected1[0xF0 + 2 * i] = static_cast<uint8_t>(hex[i]);
  EXPECT_EQ(image(firmware[0]), expected1);
  EXPECT_EQ(image(firmware[1]), expected2);
  // The loader is never patched.
  EXPECT_EQ(image(bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)[0]), Bytes(32, 0x11));

  // Loading again gives the file as it is on disk.
  BirdFile again(bird.path.c_str());
  EXPECT_EQ(image(again.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[1]), fw2);
}

TEST_F(BirdFileTest, SerialNumberPatchOutsideEveryImage) {
  const Bytes fw1 = birdgen::randomImage(0x100, 7), fw2 = birdgen::randomImage(0x100, 8);
  struct Case {
    const char* name;
    uint32_t serialAt, descriptorAt;
    bool result;
  } cases[] = {
      {"serial address uncovered", 0x9000, 0, true},
      {"serial word straddles the image end", 0x10FE, 0, true},
      {"descriptor uncovered", 0, 0x9000, false},
      {"descriptor straddles the image end", 0, 0x10F8, false},
      {"addresses that wrap past 2^32", 0xFFFFFFFE, 0xFFFFFFF8, true},
  };
  for (const Case& c : cases) {
    BirdFile bird(write(patchable(c.serialAt, c.descriptorAt, fw1, fw2), std::string(c.name) + ".bird").c_str());
    EXPECT_EQ(bird.ReplaceSerialNumber(0x12345678), c.result) << c.name;
    const auto firmware = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
    EXPECT_EQ(image(firmware[0]), fw1) << c.name;
    EXPECT_EQ(image(firmware[1]), fw2) << c.name;
  }
}

TEST_F(BirdFileTest, SerialNumberPatchAtTheImageEdges) {
  // The word in the last four bytes of the image and the descriptor at its start.
  const Bytes fw = birdgen::randomImage(0x40, 10);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::serialOffsetsBlock(0x103C, 0x1000));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x1000, fw));
  BirdFile bird(write(layout).c_str());
  ASSERT_TRUE(bird.ReplaceSerialNumber(0xA1B2C3D4));
  const Bytes patched = image(bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0]);
  EXPECT_EQ(Bytes(patched.end() - 4, patched.end()), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(patched[0], 'A');
  EXPECT_EQ(patched[1], fw[1]);
  EXPECT_EQ(patched[14], '4');
}

TEST_F(BirdFileTest, FingerprintDecodingRestartsPerFirmwareBlock) {
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00FF00FF};
  const Bytes plain1 = birdgen::randomImage(1000, 11), plain2 = birdgen::randomImage(33, 12);
  const Bytes loader = birdgen::randomImage(40, 13);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, 0x20000000, loader));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x0, birdgen::encodeWithFingerprint(plain1, key)));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0x8000, birdgen::encodeWithFingerprint(plain2, key)));
  BirdFile bird(write(layout).c_str());
  ASSERT_TRUE(bird.DecodeFirmwareBlocks(key));
  const auto firmware = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  EXPECT_EQ(image(firmware[0]), plain1);
  EXPECT_EQ(image(firmware[1]), plain2);
  EXPECT_EQ(firmware[0].address, 0u);
  EXPECT_EQ(firmware[1].address, 0x8000u);
  EXPECT_EQ(image(bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)[0]), loader);
}

TEST_F(BirdFileTest, IdentityFieldsInTheirPaddedForms) {
  struct Case {
    const char* name;
    birdgen::Block identity;
    uint32_t build;
    std::string version;
    uint32_t serial;
  } cases[] = {
      {"blank padded", birdgen::identityBlock("12345", "2.10.4", "40F5849A", "USBStem"), 12345, "2.10.4", 0x40F5849A},
      {"NUL padded", birdgen::identityBlock("678", "1.0.0", "0000BEEF", "X", '\0'), 678, "1.0.0", 0xBEEF},
      {"leading blanks in build", birdgen::identityBlock("   42abc", "3.1.4 beta", "DEADDEAD", "X"), 42, "3.1.4", 0xDEADDEAD},
      {"full sixteen characters", birdgen::identityBlock("1234567890123456", "1234567890ABCDEF", "123456789", "X"),
       static_cast<uint32_t>(123456789012345ull), "1234567890ABCDE", 0x12345678},
  };
  for (Case& c : cases) {
    BirdLayout layout;
    layout.blocks.push_back(c.identity);
    BirdFile bird(write(layout, std::string(c.name) + ".bird").c_str());
    EXPECT_EQ(bird.GetVersion(), c.version) << c.name;
    EXPECT_EQ(bird.GetSerialNumber(), c.serial) << c.name;
    if (std::string(c.name) != "full sixteen characters") {
      EXPECT_EQ(bird.GetBuild(), c.build) << c.name;
    }
  }
}

TEST_F(BirdFileTest, ValidateModelIsAPrefixTestOnTheTrimmedField) {
  BirdLayout layout;
  layout.blocks.push_back(birdgen::identityBlock("1", "1.0.0", "1", "MTM-USBStem"));
  layout.blocks.push_back(birdgen::identityBlock("2", "9.9.9", "2", "Other"));  // only the first counts
  BirdFile bird(write(layout).c_str());
  LogCapture log(0x8);
  const struct {
    const char* model;
    bool matches;
  } cases[] = {{"MTM-USBStem", true}, {"MTM", true}, {"", true}, {"MTM-USBStem ", false},
               {"MTM-USBStemX", false}, {"Other", false}, {"mtm-usbstem", false}};
  for (const auto& c : cases) EXPECT_EQ(bird.ValidateModel(c.model), c.matches) << c.model;
  EXPECT_FALSE(bird.ValidateModel(nullptr));
  EXPECT_TRUE(log.contains("Model matches model number ([MTM-USBStem] == [MTM])\n"));
  EXPECT_EQ(bird.GetVersion(), "1.0.0");
}

TEST_F(BirdFileTest, NoIdentityBlock) {
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(4, 0)));
  BirdFile bird(write(layout).c_str());
  EXPECT_EQ(bird.GetSerialNumber(), 0u);
  EXPECT_EQ(bird.GetBuild(), 0u);
  EXPECT_EQ(bird.GetVersion(), "");
  EXPECT_FALSE(bird.ValidateModel(""));
  EXPECT_TRUE(bird.ValidateSerialNumber(0));
}

TEST_F(BirdFileTest, MaintenanceMembers) {
  Bytes vectors = birdgen::randomImage(64, 14);
  BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, vectors));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, Bytes(8, 0)));  // too small for a vector table
  BirdFile bird(write(layout).c_str());
  ASSERT_TRUE(bird.ReplaceVectorChecksum());
  const Bytes patched = image(bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0]);
  uint32_t sum = 0;
  for (int w = 0; w < 8; w++) {
    if (w == 5) continue;
    uint32_t word = 0;
    for (int i = 3; i >= 0; i--) word = (word << 8) | patched[4 * w + i];
    sum += word;
  }
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(Bytes(patched.begin() + 32, patched.end()), Bytes(vectors.begin() + 32, vectors.end()));

  const uint8_t pattern[3] = {vectors[40], vectors[41], vectors[42]};
  EXPECT_TRUE(bird.ValidateData(pattern, 3));
  const uint8_t absent[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_FALSE(bird.ValidateData(absent, 9));
  EXPECT_FALSE(bird.ValidateData(nullptr, 0));
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aDefs.h"
#include "common/aPacket.h"
#include "common/aUEI.h"
#include "common/aVersion.h"

namespace {

struct PackCase {
  int major, minor, patch;
  uint32_t packed;
};

TEST(Version, PackChoosesLayout) {
  const PackCase cases[] = {
      {2, 14, 7, 0x2E000007u}, {2, 15, 0, 0x2F020F00u}, {3, 0, 1, 0x2F030001u},
      {1, 10, 0x45, 0x1A000045u}, {0, 0, 0, 0u}, {2, 12, 3, 0x2C000003u},
  };
  for (const PackCase& c : cases) {
    EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed) << c.major << "." << c.minor << "." << c.patch;
  }
}

struct ParseCase {
  uint32_t packed;
  bool legacy;
  int major, minor;
  uint32_t patch;
  const char* text;
};

TEST(Version, ParseBothLayouts) {
  const ParseCase cases[] = {
      {0x2F020F00u, false, 2, 15, 0, "2.15.0"},
      {0x1A012345u, true, 1, 10, 74565, "1.10.74565"},
      {0x2F010203u, false, 1, 2, 3, "1.2.3"},
      {0x2EFFFFFFu, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
      {0x30000000u, false, 0, 0, 0, "0.0.0"},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy) << std::hex << c.packed;
    EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major) << std::hex << c.packed;
    EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor) << std::hex << c.packed;
    EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch) << std::hex << c.packed;
    char text[32];
    EXPECT_EQ(aVersion_ParseString(c.packed, text, sizeof text), static_cast<int>(strlen(c.text)));
    EXPECT_STREQ(text, c.text);
  }
  char tiny[4];
  EXPECT_EQ(aVersion_ParseString(0x2F010203u, tiny, sizeof tiny), 5);  // full length reported
  EXPECT_STREQ(tiny, "1.2");                                             // cut and terminated
}

TEST(Version, Compare) {
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 3, 2, 12, 3));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 3, 2, 13, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 2, 2, 12, 3));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(0x103, 0, 0, 2, 0, 0));  // cut to 8 bits: 3 > 2
  EXPECT_FALSE(aVersion_IsAtLeastCompare(0x101, 0, 0, 2, 0, 0)); // 1 < 2
}

TEST(Version, LibraryVersionAndFeatures) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 3u);
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 3));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 4));
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(ModelNames, Table) {
  const std::pair<uint32_t, const char*> cases[] = {
      {4, "Palvrik"}, {5, "Dornequil"}, {13, "Quaspelline"}, {19, "Hemblork"}, {27, "Brimholt"},
      {0, "Unknown"}, {3, "Unknown"}, {6, "Unknown"}, {12, "Unknown"}, {28, "Unknown"},
      {255, "Unknown"}, {0x104, "Unknown"},
  };
  for (const auto& c : cases) EXPECT_STREQ(aDefs_GetModelName(c.first), c.second) << c.first;
}

TEST(UEIBytes, BigEndianRoundTrip) {
  uint8_t b[4];
  aUEI_StoreShort(b, 0xA1B2);
  EXPECT_EQ(b[0], 0xA1);
  EXPECT_EQ(b[1], 0xB2);
  EXPECT_EQ(aUEI_RetrieveShort(b), 0xA1B2);
  aUEI_StoreInt(b, 0x01020304u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[3], 4);
  EXPECT_EQ(aUEI_RetrieveInt(b), 0x01020304u);

  uint32_t words[2];
  const uint8_t raw[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 1};
  memcpy(words, raw, 8);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0xDEADBEEFu);
  EXPECT_EQ(words[1], 1u);
}

aPacket* makePacket(std::vector<uint8_t> data) {
  return aPacket_CreateWithData(4, static_cast<uint8_t>(data.size()), data.data());
}

TEST(UEIPackets, Classification) {
  struct Case {
    std::vector<uint8_t> data;
    bool uei, stream;
  };
  const Case cases[] = {
      {{0x5D, 0x05, 0x41, 0, 0}, true, true},
      {{0x5D, 0x05, 0x41, 0}, true, false},        // length 4: no room for a sample
      {{0x5D, 0x45, 0x41, 0, 0}, true, false},     // option with the set bit
      {{0x5D, 0x05, 0x01, 0, 0}, true, false},     // index without the stream bit
      {{0x49, 0x05, 0x41, 0, 0}, false, false},    // module information command
      {{0x5F, 0x00, 0x40, 0, 0}, false, false},    // upgrade command
      {{0xAD, 0x00}, false, false},
      {{0x17}, false, false},
      {{0x03, 0x01}, true, false},
  };
  for (const Case& c : cases) {
    aPacket* p = makePacket(c.data);
    EXPECT_EQ(aUEI_isUEIPayload(p), c.uei) << int(c.data[0]);
    EXPECT_EQ(aUEI_isNotUEIPayload(p), !c.uei) << int(c.data[0]);
    EXPECT_EQ(aUEI_isStreamPacket(p), c.stream) << int(c.data[0]) << " " << c.data.size();
    aPacket_Destroy(&p);
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(UEIPackets, ByteSequenceChunks) {
  std::vector<uint8_t> full(28, 0x11);
  full[27] = 0x83;
  aPacket* p = makePacket(full);
  EXPECT_EQ(aUEI_getBytesSequence(p), 3);
  EXPECT_EQ(aUEI_getBytesContinue(p), 1);
  EXPECT_TRUE(aUEI_getBytesFullPacket(p));
  aPacket_Destroy(&p);

  p = makePacket({0x10, 0x20, 0x05});
  EXPECT_EQ(aUEI_getBytesSequence(p), 5);
  EXPECT_EQ(aUEI_getBytesContinue(p), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(p));
  aPacket_Destroy(&p);

  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

}  // namespace

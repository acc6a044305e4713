#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/aErr.h"
#include "common/aPacket.h"

namespace {

struct PacketGuard {
  aPacket* p;
  explicit PacketGuard(aPacket* packet) : p(packet) {}
  ~PacketGuard() {
    if (p) aPacket_Destroy(&p);
  }
};

struct FeedCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;   // one per byte
  bool complete;               // after the last byte
};

class PacketFeed : public ::testing::TestWithParam<FeedCase> {};

TEST_P(PacketFeed, AssemblesByteByByte) {
  const FeedCase& c = GetParam();
  PacketGuard g(aPacket_Create());
  ASSERT_NE(g.p, nullptr);
  for (size_t i = 0; i < c.bytes.size(); i++) {
    EXPECT_EQ(aPacket_AddByte(g.p, c.bytes[i]), c.results[i]) << c.name << " byte " << i;
  }
  EXPECT_EQ(aPacket_IsComplete(g.p), c.complete) << c.name;
}

std::vector<uint8_t> fullPacketPlus(size_t extra) {
  std::vector<uint8_t> b = {0x10, 28};
  for (int i = 0; i < 28; i++) b.push_back(static_cast<uint8_t>(i + 1));
  for (size_t i = 0; i < extra; i++) b.push_back(0x55);
  return b;
}

std::vector<aErr> okTimes(size_t n, std::vector<aErr> tail = {}) {
  std::vector<aErr> r(n, aErrNone);
  r.insert(r.end(), tail.begin(), tail.end());
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketFeed,
    ::testing::Values(
        FeedCase{"empty data", {0x04, 0x00}, {aErrNone, aErrNone}, true},
        FeedCase{"two data", {0x06, 0x02, 0xAA, 0xBB}, {aErrNone, aErrNone, aErrNone, aErrNone}, true},
        FeedCase{"half", {0x06, 0x02, 0xAA}, {aErrNone, aErrNone, aErrNone}, false},
        FeedCase{"address zero", {0x00}, {aErrPacket}, false},
        FeedCase{"length 29", {0x06, 29}, {aErrNone, aErrPacket}, false},
        FeedCase{"byte after empty packet", {0x04, 0x00, 0x01}, {aErrNone, aErrNone, aErrPacket}, false},
        FeedCase{"byte after two data", {0x06, 0x02, 1, 2, 3}, {aErrNone, aErrNone, aErrNone, aErrNone, aErrPacket}, false},
        FeedCase{"length 28 accepted", fullPacketPlus(0), okTimes(30), true},
        FeedCase{"31st byte overruns", fullPacketPlus(1), okTimes(30, {aErrOverrun}), false}),
    [](const ::testing::TestParamInfo<FeedCase>& param) {
      std::string n = param.param.name;
      for (char& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST(Packet, AddressZeroLeavesPacketEmptyButCounted) {
  PacketGuard g(aPacket_Create());
  EXPECT_EQ(aPacket_AddByte(g.p, 0), aErrPacket);
  EXPECT_EQ(g.p->address, 0);
  EXPECT_EQ(g.p->received, 1);
  EXPECT_EQ(g.p->dataSize, 0);
}

TEST(Packet, CreateWithDataAndCopy) {
  const uint8_t data[3] = {0x11, 0x22, 0x33};
  EXPECT_EQ(aPacket_CreateWithData(4, 0, nullptr), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);

  PacketGuard empty(aPacket_CreateWithData(4, 0, data));
  ASSERT_NE(empty.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(empty.p));
  uint8_t wire[30];
  uint64_t written = 0;
  EXPECT_EQ(aPacket_GetBytes(empty.p, wire, sizeof wire, &written), aErrNone);
  EXPECT_EQ(written, 2u);

  // A copy of a half-assembled packet is complete and carries what was taken in.
  PacketGuard partial(aPacket_Create());
  aPacket_AddByte(partial.p, 8);
  aPacket_AddByte(partial.p, 3);
  aPacket_AddByte(partial.p, 0x99);
  PacketGuard copy(aPacket_Copy(partial.p));
  ASSERT_NE(copy.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(copy.p));
  EXPECT_EQ(copy.p->address, 8);
  EXPECT_EQ(copy.p->dataSize, 3);
  EXPECT_EQ(copy.p->data[0], 0x99);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(Packet, WireFormAndBufferSizes) {
  const uint8_t data[3] = {0xA1, 0xB2, 0xC3};
  PacketGuard g(aPacket_CreateWithData(0x0A, 3, data));
  uint8_t wire[5] = {};
  uint64_t written = 99;
  EXPECT_EQ(aPacket_GetBytes(g.p, wire, 4, &written), aErrOverrun);
  EXPECT_EQ(written, 99u);
  EXPECT_EQ(wire[0], 0);  // nothing written
  EXPECT_EQ(aPacket_GetBytes(g.p, wire, 5, &written), aErrNone);
  EXPECT_EQ(written, 5u);
  const uint8_t expected[5] = {0x0A, 3, 0xA1, 0xB2, 0xC3};
  EXPECT_EQ(std::memcmp(wire, expected, 5), 0);
  EXPECT_EQ(aPacket_GetBytes(g.p, nullptr, 5, &written), aErrParam);
  EXPECT_EQ(aPacket_GetBytes(nullptr, wire, 5, &written), aErrParam);
}

TEST(Packet, FieldAccessors) {
  const uint8_t data[3] = {0x42, 0xFF, 0xFF};
  PacketGuard g(aPacket_CreateWithData(2, 3, data));
  uint8_t v = 0;
  EXPECT_EQ(aPacket_GetCmd(g.p, &v), aErrNone);
  EXPECT_EQ(v, 0x42);
  EXPECT_EQ(aPacket_GetOption(g.p, &v), aErrNone);
  EXPECT_EQ(v, 0x3F);
  EXPECT_EQ(aPacket_GetIndex(g.p, &v), aErrNone);
  EXPECT_EQ(v, 0x1F);
  EXPECT_EQ(aPacket_GetCmd(g.p, nullptr), aErrParam);

  PacketGuard shortOne(aPacket_CreateWithData(2, 1, data));
  EXPECT_EQ(aPacket_GetOption(shortOne.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(Packet, ResetAndDestroy) {
  const uint8_t data[2] = {1, 2};
  aPacket* p = aPacket_CreateWithData(6, 2, data);
  EXPECT_EQ(aPacket_Reset(p), aErrNone);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->dataSize, 0);
  EXPECT_EQ(p->received, 0);
  EXPECT_EQ(p->data[0], 0);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

  aPacket bogus{};
  EXPECT_EQ(aPacket_AddByte(&bogus, 4), aErrParam);  // no check word
  EXPECT_FALSE(aPacket_IsComplete(&bogus));
}

TEST(ErrorText, NamesAndDescriptions) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorText(18), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorText(34), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorText(0xFFFFFFFFu), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorText(27), "aErrShortCommand");
  EXPECT_STREQ(aError_GetErrorDescription(27), "Tallowick command to short");
  EXPECT_STREQ(aError_GetErrorDescription(11), "Not ready, no bytes available");
  EXPECT_STREQ(aError_GetErrorDescription(35), "Unknown error");
}

}  // namespace

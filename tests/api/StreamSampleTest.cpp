// Stream sample packets as a module sends them, typed by hand: which packets are
// samples, of which type, and what they carry.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "api/Link.h"

namespace {

using Quenlark::Tallowick::Link;
using Bytes = std::vector<uint8_t>;

struct SampleCase {
  std::string name;
  Bytes data;
  Link::STREAM_PACKET type;
  bool known;      // getStreamPacketType's result
  bool sample;     // isStreamSample
  aErr decoded;    // getStreamSample
  uint32_t value;
  uint8_t subindex;
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }

class StreamSample : public ::testing::TestWithParam<SampleCase> {};

TEST_P(StreamSample, IsClassifiedAndDecoded) {
  const SampleCase& c = GetParam();
  aPacket* p = aPacket_CreateWithData(0x02, static_cast<uint8_t>(c.data.size()), c.data.data());
  ASSERT_NE(p, nullptr);
  Link::STREAM_PACKET type = Link::STREAM_PACKET_U32;
  EXPECT_EQ(Link::getStreamPacketType(p, &type), c.known);
  EXPECT_EQ(type, c.type);
  EXPECT_EQ(Link::isStreamSample(p), c.sample);
  uint64_t ts = 7;
  uint32_t value = 7;
  uint8_t subindex = 7;
  EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &subindex), c.decoded);
  if (c.decoded == aErrNone) {
    EXPECT_EQ(ts, 0x0000000100000002ull);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(subindex, c.subindex);
    EXPECT_EQ(Link::getStreamSample(p, nullptr, nullptr, nullptr), aErrNone);
  } else {
    EXPECT_EQ(ts, 7u);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(subindex, 7u);
  }
  aPacket_Destroy(&p);
}

// Command 3, option 7, index 0, timestamp 0x00000001_00000002.
INSTANTIATE_TEST_SUITE_P(
    Packets, StreamSample,
    ::testing::Values(
        SampleCase{"u8", {0x03, 0x07, 0x40, 0x01, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x00},
                   Link::STREAM_PACKET_U8, true, true, aErrNone, 0x7F, 0},
        SampleCase{"u16", {0x03, 0x07, 0x40, 0x02, 0, 0, 0, 1, 0, 0, 0, 2, 0x12, 0x34, 0x00},
                   Link::STREAM_PACKET_U16, true, true, aErrNone, 0x1234, 0},
        SampleCase{"u32", {0x03, 0x07, 0x40, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0x00},
                   Link::STREAM_PACKET_U32, true, true, aErrNone, 0xDEADBEEF, 0},
        SampleCase{"index 3 of u32", {0x03, 0x07, 0x43, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0x00},
                   Link::STREAM_PACKET_U32, true, true, aErrNone, 0xDEADBEEF, 0},
        SampleCase{"subindexed_u8", {0x03, 0x07, 0x40, 0x05, 0x05, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x00},
                   Link::STREAM_PACKET_SUBINDEX_U8, true, true, aErrNone, 0x7F, 5},
        SampleCase{"subindexed_u16", {0x03, 0x07, 0x40, 0x06, 0x05, 0, 0, 0, 1, 0, 0, 0, 2, 0x12, 0x34, 0x00},
                   Link::STREAM_PACKET_SUBINDEX_U16, true, true, aErrNone, 0x1234, 5},
        SampleCase{"subindexed_u32",
                   {0x03, 0x07, 0x40, 0x07, 0x05, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0x00},
                   Link::STREAM_PACKET_SUBINDEX_U32, true, true, aErrNone, 0xDEADBEEF, 5},
        // The right type byte with a byte missing: still a stream packet, no sample.
        SampleCase{"u8 one byte short", {0x03, 0x07, 0x40, 0x01, 0, 0, 0, 1, 0, 0, 0, 2, 0x00},
                   Link::STREAM_PACKET_U8, true, false, aErrPacket, 0, 0},
        SampleCase{"u8 one byte long", {0x03, 0x07, 0x40, 0x01, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x01, 0x00},
                   Link::STREAM_PACKET_U8, true, false, aErrPacket, 0, 0},
        SampleCase{"u32 one byte long",
                   {0x03, 0x07, 0x40, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x00},
                   Link::STREAM_PACKET_U32, true, false, aErrPacket, 0, 0},
        // A last byte other than 0 (a sequence number, the continue bit): a byte sequence.
        SampleCase{"byte sequence", {0x03, 0x07, 0x40, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0x81},
                   Link::STREAM_PACKET_BYTES, true, false, aErrSize, 0, 0},
        SampleCase{"type 0", {0x03, 0x07, 0x40, 0x00, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x00},
                   Link::STREAM_PACKET_INVALID, false, false, aErrPacket, 0, 0},
        SampleCase{"type 8", {0x03, 0x07, 0x40, 0x08, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x00},
                   Link::STREAM_PACKET_INVALID, false, false, aErrPacket, 0, 0},
        SampleCase{"a GET reply", {0x03, 0x07, 0x00, 0xDE, 0xAD, 0xBE, 0xEF},
                   Link::STREAM_PACKET_INVALID, false, false, aErrPacket, 0, 0},
        SampleCase{"option byte with GET", {0x03, 0x47, 0x40, 0x01, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x00},
                   Link::STREAM_PACKET_INVALID, false, false, aErrPacket, 0, 0},
        SampleCase{"store-slot command", {0x04, 0x07, 0x40, 0x01, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0x00},
                   Link::STREAM_PACKET_INVALID, false, false, aErrPacket, 0, 0},
        SampleCase{"four bytes", {0x03, 0x07, 0x40, 0x01}, Link::STREAM_PACKET_INVALID, false, false, aErrPacket,
                   0, 0}));

// Every sample width at its own length and one byte either side, each packet built from
// the wire form below; only the exact length is a sample. The type byte stays right and
// the last byte stays 0, so a refusal can come from the length alone.
struct SampleWidth {
  const char* name;
  Link::STREAM_PACKET type;
  uint8_t typeByte;
  bool subindexed;     // a subindex byte follows the type byte
  size_t valueBytes;   // the value's width on the wire
  uint32_t value;
};

const SampleWidth kWidths[] = {
    {"u8", Link::STREAM_PACKET_U8, 1, false, 1, 0x7F},
    {"u16", Link::STREAM_PACKET_U16, 2, false, 2, 0x1234},
    {"u32", Link::STREAM_PACKET_U32, 3, false, 4, 0xDEADBEEF},
    {"subindexed_u8", Link::STREAM_PACKET_SUBINDEX_U8, 5, true, 1, 0x7F},
    {"subindexed_u16", Link::STREAM_PACKET_SUBINDEX_U16, 6, true, 2, 0x1234},
    {"subindexed_u32", Link::STREAM_PACKET_SUBINDEX_U32, 7, true, 4, 0xDEADBEEF},
};

constexpr uint8_t kSubindex = 5;

// Command 3, option 7, index 0 with the stream bit, the type byte, the subindex when the
// type has one, timestamp 0x00000001_00000002 as two big-endian halves, the value
// big-endian in valueBytes bytes, and the sequence byte 0.
Bytes encodeSample(const SampleWidth& w, size_t valueBytes) {
  Bytes d = {0x03, 0x07, 0x40, w.typeByte};
  if (w.subindexed) d.push_back(kSubindex);
  for (uint8_t b : {0, 0, 0, 1, 0, 0, 0, 2}) d.push_back(b);
  for (size_t i = valueBytes; i-- > 0;) d.push_back(i < 4 ? static_cast<uint8_t>(w.value >> (8 * i)) : 0);
  d.push_back(0x00);
  return d;
}

struct LengthCase {
  std::string name;
  SampleWidth width;
  int extraBytes;   // -1, 0 or +1 value bytes against the width
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

std::vector<LengthCase> lengthCases() {
  std::vector<LengthCase> cases;
  for (const SampleWidth& w : kWidths) {
    cases.push_back({std::string(w.name) + "_exact", w, 0});
    cases.push_back({std::string(w.name) + "_one_byte_short", w, -1});
    cases.push_back({std::string(w.name) + "_one_byte_long", w, +1});
  }
  return cases;
}

class StreamSampleLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(StreamSampleLength, OnlyTheWidthsOwnLengthIsASample) {
  const LengthCase& c = GetParam();
  const Bytes data = encodeSample(c.width, c.width.valueBytes + c.extraBytes);
  aPacket* p = aPacket_CreateWithData(0x02, static_cast<uint8_t>(data.size()), data.data());
  ASSERT_NE(p, nullptr);
  Link::STREAM_PACKET type = Link::STREAM_PACKET_INVALID;
  EXPECT_TRUE(Link::getStreamPacketType(p, &type));
  EXPECT_EQ(type, c.width.type);
  const bool exact = c.extraBytes == 0;
  EXPECT_EQ(Link::isStreamSample(p), exact) << data.size() << " data bytes";
  uint64_t ts = 7;
  uint32_t value = 7;
  uint8_t subindex = 7;
  EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &subindex), exact ? aErrNone : aErrPacket)
      << data.size() << " data bytes";
  if (exact) {
    EXPECT_EQ(ts, 0x0000000100000002ull);
    EXPECT_EQ(value, c.width.value);
    EXPECT_EQ(subindex, c.width.subindexed ? kSubindex : 0);
  } else {
    EXPECT_EQ(value, 7u);
  }
  aPacket_Destroy(&p);
}

INSTANTIATE_TEST_SUITE_P(EveryWidth, StreamSampleLength, ::testing::ValuesIn(lengthCases()),
                         [](const ::testing::TestParamInfo<LengthCase>& p) { return p.param.name; });

TEST(StreamSampleParts, TimestampHalves) {
  uint32_t high = 0, low = 0;
  Link::getTimestampParts(0x0000000100000002ull, &high, &low);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(low, 2u);
  Link::getTimestampParts(0xFEDCBA9876543210ull, &high, nullptr);
  EXPECT_EQ(high, 0xFEDCBA98u);
  Link::getTimestampParts(0xFEDCBA9876543210ull, nullptr, &low);
  EXPECT_EQ(low, 0x76543210u);
  EXPECT_TRUE(Link::isSubindexType(Link::STREAM_PACKET_SUBINDEX_U8));
  EXPECT_FALSE(Link::isSubindexType(Link::STREAM_PACKET_U32));
  EXPECT_FALSE(Link::isSubindexType(Link::STREAM_PACKET_BYTES));
  EXPECT_FALSE(Link::getStreamPacketType(nullptr, nullptr));
  EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), aErrPacket);
}

}  // namespace

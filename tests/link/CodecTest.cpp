// CRC-8, COBS and the COBS stream's framing, over an in-process inner transport whose
// bytes the tests see exactly. Expected frames come from the simulator's own codec.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "common/transport/aCOBS.h"
#include "common/transport/aCRC8.h"
#include "tests/sim/SimWire.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Crc8, PublishedValues) {
  const char* check = "123456789";
  EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(check), 9), 0xA1);
  EXPECT_EQ(crc8_create(nullptr, 0), 0);
  const Bytes b = {0x02, 0x01, 0x05};
  EXPECT_EQ(crc8_create(b.data(), b.size()), devsim::crc8Bitwise(b.data(), b.size()));
  EXPECT_TRUE(crc8_check(b.data(), b.size(), devsim::crc8Bitwise(b.data(), b.size())));
}

struct CobsCase {
  const char* name;
  Bytes raw;
};

class CobsRoundTrip : public ::testing::TestWithParam<CobsCase> {};

TEST_P(CobsRoundTrip, EncodesLikeTheReferenceAndDecodesBack) {
  const Bytes& raw = GetParam().raw;
  const Bytes expected = devsim::stuff(raw);
  Bytes out(raw.size() + raw.size() / 254 + 2, 0xEE);
  const uint64_t n = cobs_encode(raw.data(), raw.size(), out.data());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), expected);
  Bytes inplace = raw;
  inplace.resize(raw.size() + raw.size() / 254 + 2);
  const uint64_t m = cobs_encode_inplace(inplace.data(), raw.size());
  EXPECT_EQ(Bytes(inplace.begin(), inplace.begin() + static_cast<long>(m)), expected);
  for (uint64_t i = 0; i < n; i++) EXPECT_NE(out[i], 0) << "at " << i;
  Bytes back(n + 1);
  const uint64_t k = cobs_decode(out.data(), n, back.data());
  EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(k)), raw);
  EXPECT_EQ(cobs_decode_inplace(out.data(), n), raw.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(raw.size())), raw);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CobsRoundTrip,
    ::testing::Values(CobsCase{"Empty", {}}, CobsCase{"OneZero", {0x00}},
                      CobsCase{"ZerosAround", {0x00, 0x11, 0x00, 0x00, 0x22, 0x00}},
                      CobsCase{"Frame", {0x02, 0x01, 0x05, 0x9C}},
                      CobsCase{"Run254", Bytes(254, 0x07)}, CobsCase{"Run255", Bytes(255, 0x07)},
                      CobsCase{"Run600WithZero", [] {
                                 Bytes b(600, 0x31);
                                 b[300] = 0;
                                 return b;
                               }()}),
    [](const ::testing::TestParamInfo<CobsCase>& i) { return std::string(i.param.name); });

TEST(Cobs, DecodeRefusesCodePastTheEnd) {
  const Bytes body = {0x09, 0x01, 0x02, 0x03};
  Bytes out(16);
  EXPECT_EQ(cobs_decode(body.data(), body.size(), out.data()), 0u);
}

TEST(Cobs, InPlaceEncodingGivesUpBeforeOverwritingUnreadInput) {
  // Nine or more 254-byte runs would let the output catch up with the look-ahead.
  Bytes b(254 * 12, 0x55);
  b.resize(b.size() + 16);
  EXPECT_EQ(cobs_encode_inplace(b.data(), 254 * 12), 0u);
}

// The inner transport of a COBS stream under test.
struct Inner {
  std::deque<uint8_t> input;
  std::vector<Bytes> writes;
  bool deleted = false;
  static aErr get(uint8_t* byte, void* ref) {
    Inner* s = static_cast<Inner*>(ref);
    if (s->input.empty()) return aErrNotReady;
    *byte = s->input.front();
    s->input.pop_front();
    return aErrNone;
  }
  static aErr put(const uint8_t* byte, void* ref) { return write(byte, 1, ref); }
  static aErr write(const uint8_t* data, uint64_t length, void* ref) {
    static_cast<Inner*>(ref)->writes.emplace_back(data, data + length);
    return aErrNone;
  }
  static aErr del(void* ref) {
    static_cast<Inner*>(ref)->deleted = true;
    return aErrNone;
  }
};

class CobsStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateCobsEncoding(Inner::get, Inner::put, Inner::write, Inner::del, &inner, &stream),
              aErrNone);
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
    EXPECT_TRUE(inner.deleted);
  }
  // Reads until count packet bytes came out or the input ran dry; returns the results.
  std::vector<aErr> readAll(Bytes& out) {
    std::vector<aErr> results;
    while (!inner.input.empty() || results.empty() || results.back() == aErrNone || pendingByte()) {
      uint8_t b = 0;
      const aErr e = aStream_Read(stream, &b, 1);
      results.push_back(e);
      if (e == aErrNone) out.push_back(b);
      if (inner.input.empty() && e != aErrNone && !pendingByte()) break;
    }
    return results;
  }
  bool pendingByte() { return aStream_InputPending(stream); }
  static devsim::WirePacket packet(uint8_t address, Bytes data) {
    devsim::WirePacket p;
    p.address = address;
    p.data = std::move(data);
    return p;
  }

  Inner inner;
  aStream* stream = nullptr;
};

TEST_F(CobsStream, WritesOneCheckedFramePerPacket) {
  const Bytes wire = {0x02, 0x01, 0x05, 0x04, 0x02, 0x00, 0x00};
  ASSERT_EQ(aStream_Write(stream, wire.data(), wire.size()), aErrNone);
  ASSERT_EQ(inner.writes.size(), 2u);
  EXPECT_EQ(inner.writes[0], devsim::serialFrame(packet(0x02, {0x05})));
  EXPECT_EQ(inner.writes[1], devsim::serialFrame(packet(0x04, {0x00, 0x00})));
  for (size_t i = 0; i + 1 < inner.writes[1].size(); i++) EXPECT_NE(inner.writes[1][i], 0);
  Bytes full = {0x06, 28};
  for (uint8_t i = 0; i < 28; i++) full.push_back(i);   // a zero among them
  ASSERT_EQ(aStream_Write(stream, full.data(), full.size()), aErrNone);
  ASSERT_EQ(inner.writes.size(), 3u);
  EXPECT_EQ(inner.writes[2].size(), 33u);
}

TEST_F(CobsStream, ByteRefusedByTheAssemblerDoesNotBlockLaterPackets) {
  const Bytes wire = {0x00, 0x02, 0x01, 0x05};
  ASSERT_EQ(aStream_Write(stream, wire.data(), wire.size()), aErrNone);
  ASSERT_EQ(inner.writes.size(), 1u);
  EXPECT_EQ(inner.writes[0], devsim::serialFrame(packet(0x02, {0x05})));
}

TEST_F(CobsStream, ReadsFramesBackAfterTheDelimiter) {
  const Bytes frame = devsim::serialFrame(packet(0x02, {0x05}));
  inner.input.assign(frame.begin(), frame.end());
  std::vector<aErr> results;
  Bytes out;
  for (size_t i = 0; i < frame.size(); i++) {
    uint8_t b;
    results.push_back(aStream_Read(stream, &b, 1));
  }
  for (aErr e : results) EXPECT_EQ(e, aErrNotReady);
  for (int i = 0; i < 3; i++) {
    uint8_t b = 0;
    ASSERT_EQ(aStream_Read(stream, &b, 1), aErrNone);
    out.push_back(b);
  }
  EXPECT_EQ(out, (Bytes{0x02, 0x01, 0x05}));
  uint8_t b;
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
}

struct BadFrame {
  const char* name;
  Bytes frame;
};

class CobsBadFrame : public CobsStream, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(CobsBadFrame, IsReportedOnceAndTheNextFrameArrives) {
  const Bytes good = devsim::serialFrame(packet(0x04, {0x00, 0x11}));
  inner.input.assign(GetParam().frame.begin(), GetParam().frame.end());
  inner.input.insert(inner.input.end(), good.begin(), good.end());
  Bytes out;
  const std::vector<aErr> results = readAll(out);
  size_t packetErrors = 0;
  for (aErr e : results) packetErrors += e == aErrPacket;
  EXPECT_EQ(packetErrors, GetParam().frame.size() > 1 ? 1u : 0u);
  EXPECT_EQ(out, (Bytes{0x04, 0x02, 0x00, 0x11}));
}

Bytes badCrc() {
  Bytes raw = {0x02, 0x01, 0x05};
  raw.push_back(static_cast<uint8_t>(devsim::crc8Bitwise(raw.data(), raw.size()) ^ 0x01));
  Bytes f = devsim::stuff(raw);
  f.push_back(0);
  return f;
}
Bytes lengthMismatch() {
  Bytes raw = {0x02, 0x05, 1, 2, 3, 4};   // says 5, carries 4
  raw.push_back(devsim::crc8Bitwise(raw.data(), raw.size()));
  Bytes f = devsim::stuff(raw);
  f.push_back(0);
  return f;
}
Bytes tooLong() {
  Bytes f(40, 0x01);
  f.push_back(0);
  return f;
}

INSTANTIATE_TEST_SUITE_P(Frames, CobsBadFrame,
                         ::testing::Values(BadFrame{"WrongCrc", badCrc()}, BadFrame{"LengthMismatch", lengthMismatch()},
                                           BadFrame{"LongerThanAnyPacket", tooLong()},
                                           BadFrame{"BareDelimiters", {0x00}}),
                         [](const ::testing::TestParamInfo<BadFrame>& i) { return std::string(i.param.name); });

}  // namespace

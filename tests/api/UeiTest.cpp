// UEI and raw packet exchange over a Link: the wire form of requests, the decoding of
// replies, byte sequences in chunks, time-outs and the common checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "api/Entity.h"
#include "api/SystemClass.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

using devsim::model::kCmdSystem;

class Uei : public ConnectedFixture {
 protected:
  uint8_t addr() const { return front->address(); }
  uei record(uint8_t command, uint8_t option, uint8_t specifier, int32_t type) const {
    uei r;
    std::memset(&r, 0, sizeof r);
    r.module = addr();
    r.command = command;
    r.option = option;
    r.specifier = specifier;
    r.type = type;
    return r;
  }
  // Answers requests for (command, option byte) with the given replies instead of the module.
  void answer(uint8_t command, uint8_t optionByte, std::vector<Bytes> replies) {
    network->setIntercept([=](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
      if (in.data.size() < 2 || in.data[0] != command || in.data[1] != optionByte) return false;
      for (const auto& r : replies) {
        devsim::WirePacket p;
        p.address = in.address;
        p.data = r;
        out.push_back(p);
      }
      return true;
    });
  }
};

TEST_F(Uei, EveryOperationChecksTheLinkFirstThenTheAddress) {
  Link unconnected("Link");
  uei r = record(3, 0x47, 0x20, ueiTypeNone);
  uint8_t count = 1, out[28];
  const uint8_t match = 3;
  r.module = 0x05;
  EXPECT_EQ(unconnected.sendUEI(r), aErrConnection);
  EXPECT_EQ(unconnected.sendUEI(r, 1), aErrConnection);
  EXPECT_EQ(unconnected.receiveUEI(5, 3, 7, 0, &r), aErrConnection);
  EXPECT_EQ(unconnected.dropMatchingUEIPackets(5, 3, 7, 0), aErrConnection);
  EXPECT_EQ(unconnected.sendPacket(5, 3, 0, nullptr), aErrConnection);
  EXPECT_EQ(unconnected.receivePacket(5, &match, &count, out), aErrConnection);
  for (uint8_t bad : {uint8_t(0), uint8_t(5)}) {
    r.module = bad;
    EXPECT_EQ(link->sendUEI(r), aErrPacket);
    EXPECT_EQ(link->sendUEI(r, 1), aErrPacket);
    EXPECT_EQ(link->receiveUEI(bad, 3, 7, 0, &r), aErrPacket);
    EXPECT_EQ(link->dropMatchingUEIPackets(bad, 3, 7, 0), aErrPacket);
    EXPECT_EQ(link->sendPacket(bad, 3, 0, nullptr), aErrPacket);
    EXPECT_EQ(link->receivePacket(bad, &match, &count, out), aErrPacket);
  }
  expectOnlyTheFenceReceived();
}

// The request bytes of the typed operations as the module sees them.
TEST_F(Uei, RequestWireForm) {
  SystemClass sys;
  sys.init(&module, 0);
  uint8_t v8 = 0;
  uint32_t v32 = 0;
  struct Case {
    std::function<aErr()> call;
    Bytes request;
  } cases[] = {
      {[&] { return sys.getUEI8(7, &v8); }, {0x03, 0x47, 0x20}},
      {[&] { return sys.getUEI32(39, 2, &v32); }, {0x03, 0x67, 0x20, 0x02}},
      {[&] { return sys.getUEI32(39, 3, &v32); }, {0x03, 0x67, 0x20, 0x03}},
      {[&] { return sys.setUEI8(20, 1); }, {0x03, 0x94, 0x20, 0x01}},
      {[&] { return sys.reset(); }, {0x03, 0x8B, 0x20}},
      {[&] { return sys.setPowerLimitMax(0x01020304); }, {0x03, 0xA2, 0x20, 0x01, 0x02, 0x03, 0x04}},
      {[&] { return sys.getModel(&v8); }, {0x03, 0x48, 0x20}},
  };
  for (const auto& c : cases) {
    device->clearReceived();
    EXPECT_EQ(c.call(), aErrNone);
    const auto got = sent(addr());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], c.request);
  }
  EXPECT_EQ(front->acknowledged(kCmdSystem, 11), 1u);
  EXPECT_EQ(front->value(kCmdSystem, 20), 1u);
  EXPECT_EQ(front->value(kCmdSystem, 34), 0x01020304u);
}

TEST_F(Uei, SubindexAndValueWidthsOfSets) {
  EntityClass e;
  e.init(&module, kCmdSystem, 0);
  devsim::model::OptionSpec s;
  s.option = 50;
  s.kind = devsim::model::Kind::U16;
  s.subindexes = 4;
  front->setOption(s);
  EXPECT_EQ(e.setUEI16(50, 3, 0xBEEF), aErrNone);
  EXPECT_EQ(sent(addr()).back(), (Bytes{0x03, 0xB2, 0x20, 0x03, 0xBE, 0xEF}));
  EXPECT_EQ(front->value(kCmdSystem, 50, 3), 0xBEEFu);
  uint16_t v = 0;
  EXPECT_EQ(e.getUEI16(50, 3, &v), aErrNone);
  EXPECT_EQ(v, 0xBEEF);
  EXPECT_EQ(e.setUEI16(50, 9, 1), aErrIndexRange);   // the module's refusals come back
  EXPECT_EQ(e.setUEI8(50, 1, 1), aErrParam);
}

TEST_F(Uei, ReplyDecodingByLength) {
  struct Case {
    Bytes reply;
    int32_t type;
    uint32_t value;
  } cases[] = {
      {{0x03, 0x07, 0x00}, ueiTypeNone, 0x5A5A5A5A},
      {{0x03, 0x07, 0x00, 0x12}, ueiTypeByte, 0x12},
      {{0x03, 0x07, 0x20, 0x12, 0x34}, ueiTypeShort, 0x1234},
      {{0x03, 0x07, 0x00, 0x01, 0x02, 0x03, 0x04}, ueiTypeInt, 0x01020304},
      // A length with no value form is accepted and leaves value and type alone.
      {{0x03, 0x07, 0x00, 0x01, 0x02, 0x03}, 99, 0x5A5A5A5A},
  };
  for (const auto& c : cases) {
    reply(addr(), c.reply);
    uei r = record(3, 0x07, 0x00, 99);
    r.v.intVal = 0x5A5A5A5A;
    ASSERT_EQ(link->receiveUEI(addr(), 3, 7, 0, &r), aErrNone);
    EXPECT_EQ(r.type, c.type);
    const uint32_t got = c.type == ueiTypeByte ? r.v.byteVal : c.type == ueiTypeShort ? r.v.shortVal : r.v.intVal;
    EXPECT_EQ(got, c.value);
  }
}

TEST_F(Uei, MatchNeedsAddressCommandExactOptionAndIndex) {
  reply(addr() + 2, {0x03, 0x07, 0x00, 0x01});   // other module
  reply(addr(), {0x04, 0x07, 0x00, 0x02});       // other command
  reply(addr(), {0x03, 0x47, 0x00, 0x03});       // option byte not exact
  reply(addr(), {0x03, 0x07, 0x01, 0x04});       // other index
  reply(addr(), {0x03, 0x07, 0x60, 0x05});       // a stream sample of the option
  reply(addr(), {0x03, 0x07, 0x20, 0x06});       // the reply (request bit ignored)
  uei r = record(3, 0x07, 0x00, ueiTypeNone);
  ASSERT_EQ(link->receiveUEI(addr(), 3, 7, 0, &r), aErrNone);
  EXPECT_EQ(r.v.byteVal, 6);
}

TEST_F(Uei, ErrorRepliesCarryTheDeviceCode) {
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t v = 0xCAFE;
  answer(3, 0x47, {{0x03, 0x07, 0x80, 0x15}});
  EXPECT_EQ(sys.getUEI32(7, &v), aErrUnimplemented);
  EXPECT_EQ(v, 0xCAFEu);
  uei r = record(3, 0x07, 0x00, ueiTypeNone);
  link->sendUEI(record(3, 0x47, 0x20, ueiTypeNone));
  ASSERT_EQ(link->receiveUEI(addr(), 3, 7, 0, &r), aErrNone);
  EXPECT_EQ(r.specifier, 0x80);
  EXPECT_EQ(r.v.byteVal, 0x15);
}

// An error reply is a failure even when it carries no code, or code 0.
TEST_F(Uei, ErrorReplyWithoutCodeIsNoSuccess) {
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t v = 0xCAFE;
  answer(3, 0x47, {{0x03, 0x07, 0x80}});
  EXPECT_EQ(sys.getUEI32(7, &v), aErrUnknown);
  answer(3, 0x47, {{0x03, 0x07, 0x80, 0x00}});
  EXPECT_EQ(sys.getUEI32(7, &v), aErrUnknown);
  EXPECT_EQ(v, 0xCAFEu);
  answer(3, 0x94, {{0x03, 0xD4, 0x80}});
  EXPECT_EQ(sys.routeToMe(1), aErrUnknown);
}

// A stream sample of the option that arrives while a GET waits is not its answer.
TEST_F(Uei, LateStreamSampleIsNotAGetReply) {
  SystemClass sys;
  sys.init(&module, 0);
  const Bytes sample = {0x03, 0x09, 0x40, 0x03, 0, 0, 0, 1, 0, 0, 0, 2, 0xDE, 0xAD, 0xBE, 0xEF, 0x00};
  answer(3, 0x49, {sample, {0x03, 0x09, 0x00, 0x12, 0x34, 0xAB, 0xCD}});
  uint32_t serial = 0;
  EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x1234ABCDu);
}

TEST_F(Uei, GetterWithoutAValueInTheReply) {
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t v = 0xCAFE;
  answer(3, 0x67, {{0x03, 0x27, 0x00}});
  EXPECT_EQ(sys.getUEI32(39, 2, &v), aErrPacket);
  answer(3, 0x47, {{0x03, 0x07, 0x00, 1, 2, 3}});
  EXPECT_EQ(sys.getUEI32(7, &v), aErrPacket);
  EXPECT_EQ(v, 0xCAFEu);
  // A narrower reply is zero-extended, never mixed with the request's subindex.
  answer(3, 0x67, {{0x03, 0x27, 0x00, 0x07}});
  EXPECT_EQ(sys.getUEI32(39, 2, &v), aErrNone);
  EXPECT_EQ(v, 7u);
}

TEST_F(Uei, StaleRepliesAreDrained) {
  answer(3, 0x49, {{0x03, 0x09, 0x00, 0, 0, 0, 1}, {0x03, 0x09, 0x00, 0, 0, 0, 2}});
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t v = 0;
  ASSERT_EQ(sys.getSerialNumber(&v), aErrNone);
  EXPECT_EQ(v, 1u);
  ASSERT_TRUE(waitSent(addr(), {0x03, 0x49, 0x20}));
  // A later round trip: the module's replies come in order, so once this one is back the
  // surplus reply has landed too.
  uint8_t model = 0;
  ASSERT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(sys.drainUEI(9), aErrNone);
  network->setIntercept(nullptr);
  ASSERT_EQ(sys.getSerialNumber(&v), aErrNone);
  EXPECT_EQ(v, 0x1234ABCDu);
}

TEST_F(Uei, UnsupportedTypesSendNothing) {
  uei r = record(3, 0x87, 0x20, 3);
  EXPECT_EQ(link->sendUEI(r), aErrParam);
  r.type = ueiTypeBytes;
  EXPECT_EQ(link->sendUEI(r, 1), aErrParam);
  expectOnlyTheFenceReceived();
}

// Byte sequences: chunks of 24, sequence byte after each, continue bit on all but the
// last, numbers modulo 128.
TEST_F(Uei, ByteSequenceChunks) {
  struct Case {
    size_t length;
    size_t packets;
  } cases[] = {{0, 1}, {1, 1}, {24, 1}, {25, 2}, {48, 2}, {3100, 130}};
  for (const auto& c : cases) {
    device->clearReceived();
    Bytes data(c.length);
    std::iota(data.begin(), data.end(), uint8_t(1));
    uei r = record(3, 0xA0, 0x20, ueiTypeBytes);
    r.v.bytes.data = data.data();
    r.v.bytes.length = data.size();
    ASSERT_EQ(link->sendUEI(r), aErrNone);
    // Every chunk has arrived once the fence behind them is answered; one more would
    // show up before the fence's request.
    ASSERT_EQ(fence(), aErrNone);
    auto got = sent(addr());
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), fenceRequest());
    got.pop_back();
    ASSERT_EQ(got.size(), c.packets) << c.length;
    Bytes joined;
    for (size_t i = 0; i < got.size(); i++) {
      const Bytes& p = got[i];
      ASSERT_GE(p.size(), 4u);
      EXPECT_EQ((Bytes{p[0], p[1], p[2]}), (Bytes{0x03, 0xA0, 0x20}));
      const bool last = i + 1 == got.size();
      EXPECT_EQ(p.back(), static_cast<uint8_t>((last ? 0x00 : 0x80) | (i % 128))) << c.length << " " << i;
      if (!last) {
        EXPECT_EQ(p.size(), 28u);
      }
      joined.insert(joined.end(), p.begin() + 3, p.end() - 1);
    }
    EXPECT_EQ(joined, data);
  }
  // The 129th packet of 3100 bytes carries number 0 again with the continue bit.
  EXPECT_EQ(sent(addr())[128].back(), 0x80);
}

TEST_F(Uei, ReceiveTimeoutGrowsForLongByteSequences) {
  uei r = record(3, 0x3F, 0x00, ueiTypeBytes);
  r.v.bytes.length = 1000;
  aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(link->receiveUEI(addr(), 3, 0x3F, 0, &r), aErrTimeout);
  const aTime shortWait = aTime_GetMonotonicMSTicks() - start;
  r.v.bytes.length = 1001;
  start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(link->receiveUEI(addr(), 3, 0x3F, 0, &r), aErrTimeout);
  const aTime longWait = aTime_GetMonotonicMSTicks() - start;
  EXPECT_GE(shortWait, 950u);
  EXPECT_GE(longWait, 3950u);
  EXPECT_LT(shortWait, longWait);
}

TEST_F(Uei, RawPackets) {
  Bytes payload(27);
  std::iota(payload.begin(), payload.end(), uint8_t(0x40));
  EXPECT_EQ(link->sendPacket(addr(), 0x30, 27, payload.data()), aErrNone);
  Bytes expected(1 + payload.size());
  expected[0] = 0x30;
  std::copy(payload.begin(), payload.end(), expected.begin() + 1);
  EXPECT_TRUE(waitSent(addr(), expected));
  Bytes tooLong(28);
  EXPECT_EQ(link->sendPacket(addr(), 0x30, 28, tooLong.data()), aErrParam);

  // A match of one byte takes any module's packet and reports its whole length.
  reply(0x20, {0x31, 9, 8, 7});
  const uint8_t match = 0x31;
  uint8_t count = 1, out[28] = {};
  ASSERT_EQ(link->receivePacket(addr(), &match, &count, out), aErrNone);
  EXPECT_EQ(count, 4);
  EXPECT_EQ((Bytes(out, out + 4)), (Bytes{0x31, 9, 8, 7}));
  count = 29;
  EXPECT_EQ(link->receivePacket(addr(), &match, &count, out), aErrParam);
  count = 1;
  EXPECT_EQ(link->receivePacket(addr(), &match, &count, out), aErrTimeout);
}

}  // namespace
}  // namespace apitest

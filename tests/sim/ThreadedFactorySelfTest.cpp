// The factory-data entity of the simulated module, reached over a bare socket with
// requests and answers written by hand from the factory-data protocol's table.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/sim/ModelSim.h"
#include "tests/sim/RawHost.h"

namespace {

using devsim::model::ReplyFault;
using simtest::Bytes;
using simtest::ModelSim;
using simtest::RawHost;
using simtest::run;
using simtest::wire;

TEST(SimFactory, ThirtyBytesGoInAsTwentySixAndFourThenTheCountedEnd) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  const Bytes data = run(0xA0, 30);
  // Slot 1: the first chunk 0x50 | 1 with 26 bytes, then 0x10 | 1 with 4, then the end
  // with the count 30; each answered [5E 01], the end [5E 00].
  EXPECT_EQ(host.ask(wire({0x04, 0x1C, 0x5E, 0x51}, run(0xA0, 26)), 4), (Bytes{0x04, 0x02, 0x5E, 0x01}));
  EXPECT_EQ(sim.module->factoryData(1), Bytes());   // nothing takes effect before the end
  EXPECT_EQ(host.ask(wire({0x04, 0x06, 0x5E, 0x11}, run(0xBA, 4)), 4), (Bytes{0x04, 0x02, 0x5E, 0x01}));
  EXPECT_EQ(host.ask({0x04, 0x04, 0x5E, 0x20, 0x00, 0x1E}, 4), (Bytes{0x04, 0x02, 0x5E, 0x00}));
  EXPECT_EQ(sim.module->factoryData(1), data);
}

TEST(SimFactory, FiftyTwoBytesComeBackAsTwoFullRepliesAndAnEmptyOne) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setFactoryData(2, run(1, 52));
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.ask({0x04, 0x02, 0x5E, 0x42}, 30), wire({0x04, 0x1C, 0x5E, 0x02}, run(1, 26)));
  EXPECT_EQ(host.ask({0x04, 0x02, 0x5E, 0x02}, 30), wire({0x04, 0x1C, 0x5E, 0x02}, run(27, 26)));
  EXPECT_EQ(host.ask({0x04, 0x02, 0x5E, 0x02}, 4), (Bytes{0x04, 0x02, 0x5E, 0x02}));
  EXPECT_EQ(host.ask({0x04, 0x04, 0x5E, 0x20, 0x00, 0x34}, 4), (Bytes{0x04, 0x02, 0x5E, 0x00}));
  // A new first request starts from the beginning again; a short slot is one reply.
  sim.module->setFactoryData(2, run(1, 3));
  EXPECT_EQ(host.ask({0x04, 0x02, 0x5E, 0x42}, 7), (Bytes{0x04, 0x05, 0x5E, 0x02, 0x01, 0x02, 0x03}));
}

struct Exchange {
  Bytes request;
  Bytes reply;   // empty: no answer
};

struct Case {
  std::string name;
  int packet;                        // the FactoryPacket the fault is on; -1 for none
  ReplyFault fault;
  std::vector<Exchange> exchanges;   // slot 3 holds [01 02 03] at the start
  Bytes slot3After;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

ReplyFault fault(ReplyFault::Kind kind, uint8_t code = 0) {
  ReplyFault f;
  f.kind = kind;
  f.code = code;
  return f;
}

const Bytes kWriteFirst = {0x04, 0x04, 0x5E, 0x53, 0x77, 0x88};
const Bytes kWriteEnd = {0x04, 0x04, 0x5E, 0x20, 0x00, 0x02};
const Bytes kWritten = {0x04, 0x02, 0x5E, 0x03};
const Bytes kEnded = {0x04, 0x02, 0x5E, 0x00};
const Bytes kOld = {0x01, 0x02, 0x03};
const Bytes kNew = {0x77, 0x88};

class SimFactoryAnswers : public ::testing::TestWithParam<Case> {};

TEST_P(SimFactoryAnswers, FollowTheKnobsAndTheTransfer) {
  const Case& c = GetParam();
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setFactoryData(3, kOld);
  if (c.packet >= 0) sim.module->failFactory(static_cast<devsim::model::FactoryPacket>(c.packet), c.fault);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  for (size_t i = 0; i < c.exchanges.size(); i++) {
    const Exchange& e = c.exchanges[i];
    ASSERT_TRUE(host.send(e.request));
    if (e.reply.empty())
      EXPECT_EQ(host.quiet(200), Bytes()) << "exchange " << i;
    else
      EXPECT_EQ(host.read(e.reply.size()), e.reply) << "exchange " << i;
  }
  EXPECT_EQ(host.quiet(50), Bytes());
  EXPECT_EQ(sim.module->factoryData(3), c.slot3After);
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, SimFactoryAnswers,
    ::testing::Values(
        Case{"PlainWrite", -1, ReplyFault(), {{kWriteFirst, kWritten}, {kWriteEnd, kEnded}}, kNew},
        // A refused chunk (busy, 5): [5E 83 05]; the same with code 0; without code.
        Case{"RefusedChunk", devsim::model::kFactoryWrite, fault(ReplyFault::kRefuse, 0x05),
             {{kWriteFirst, {0x04, 0x03, 0x5E, 0x83, 0x05}}}, kOld},
        Case{"RefusedChunkCodeZero", devsim::model::kFactoryWrite, fault(ReplyFault::kRefuse, 0x00),
             {{kWriteFirst, {0x04, 0x03, 0x5E, 0x83, 0x00}}}, kOld},
        Case{"ChunkErrorWithoutCode", devsim::model::kFactoryWrite, fault(ReplyFault::kNoCode),
             {{kWriteFirst, {0x04, 0x02, 0x5E, 0x83}}}, kOld},
        // A three-byte answer to a chunk that is no error.
        Case{"LongChunkAnswer", devsim::model::kFactoryWrite, fault(ReplyFault::kLong),
             {{kWriteFirst, {0x04, 0x03, 0x5E, 0x03, 0x00}}, {kWriteEnd, kEnded}}, kNew},
        Case{"SilentEndStillTakesEffect", devsim::model::kFactoryEnd, fault(ReplyFault::kSilent),
             {{kWriteFirst, kWritten}, {kWriteEnd, {}}}, kNew},
        Case{"RefusedEnd", devsim::model::kFactoryEnd, fault(ReplyFault::kRefuse, 0x06),
             {{kWriteFirst, kWritten}, {kWriteEnd, {0x04, 0x03, 0x5E, 0x80, 0x06}}}, kOld},
        Case{"EndErrorWithoutCode", devsim::model::kFactoryEnd, fault(ReplyFault::kNoCode),
             {{kWriteFirst, kWritten}, {kWriteEnd, {0x04, 0x02, 0x5E, 0x80}}}, kOld},
        // A read reply one byte short, and its end with the count the host got.
        Case{"ShortRead", devsim::model::kFactoryRead, fault(ReplyFault::kShort),
             {{{0x04, 0x02, 0x5E, 0x43}, {0x04, 0x04, 0x5E, 0x03, 0x01, 0x02}},
              {{0x04, 0x04, 0x5E, 0x20, 0x00, 0x02}, {0x04, 0x03, 0x5E, 0x80, 0x0E}}}, kOld},
        // The module's own refusals: a count that differs from the bytes taken (size,
        // 14); a chunk of a write that never began (mode, 7); an end with no transfer
        // and count 0 is nothing to refuse; an end that names a slot (parameter, 2).
        Case{"EndWithWrongCount", -1, ReplyFault(),
             {{kWriteFirst, kWritten}, {{0x04, 0x04, 0x5E, 0x20, 0x00, 0x03}, {0x04, 0x03, 0x5E, 0x80, 0x0E}}}, kOld},
        Case{"ChunkWithoutStart", -1, ReplyFault(), {{{0x04, 0x03, 0x5E, 0x13, 0x77}, {0x04, 0x03, 0x5E, 0x83, 0x07}}}, kOld},
        Case{"EmptyEnd", -1, ReplyFault(), {{{0x04, 0x04, 0x5E, 0x20, 0x00, 0x00}, kEnded}}, kOld},
        Case{"EndNamingASlot", -1, ReplyFault(), {{{0x04, 0x04, 0x5E, 0x23, 0x00, 0x00}, {0x04, 0x03, 0x5E, 0x83, 0x02}}}, kOld}),
    [](const ::testing::TestParamInfo<Case>& i) { return i.param.name; });

}  // namespace

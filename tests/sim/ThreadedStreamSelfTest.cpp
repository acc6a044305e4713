// The stream entity of the simulated module, reached over a bare socket: requests and
// the expected samples are written by hand from the wire form of stream control and
// samples, never produced by the library.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/sim/ModelSim.h"
#include "tests/sim/RawHost.h"

namespace {

using devsim::model::Kind;
using devsim::model::OptionSpec;
using simtest::Bytes;
using simtest::ModelSim;
using simtest::RawHost;

// Timestamp 0x00000001_00000002 as a sample carries it.
const Bytes kStamp = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02};

Bytes sample(Bytes head, const Bytes& value) {
  Bytes b = simtest::wire(std::move(head), kStamp);
  b.insert(b.end(), value.begin(), value.end());
  b.push_back(0x00);
  return b;
}

TEST(SimStream, EnableSamplesCurrentValueUntilDisabled) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setSamplePeriodMs(20);
  sim.module->setStreamTimestamp(0x0000000100000002ull);
  sim.module->setValue(0x03, 7, 0, 0xDEADBEEF);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());

  // Stream system option 7 (a 32-bit value) of module 4, index 0.
  EXPECT_EQ(host.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x07, 0x00}, 5), (Bytes{0x04, 0x03, 0x5D, 0xC1, 0x00}));
  EXPECT_EQ(host.packet(), sample({0x04, 0x11, 0x03, 0x07, 0x40, 0x03}, {0xDE, 0xAD, 0xBE, 0xEF}));

  // Samples carry the value as it is when they leave.
  sim.module->setValue(0x03, 7, 0, 0x01020304);
  const Bytes changed = sample({0x04, 0x11, 0x03, 0x07, 0x40, 0x03}, {0x01, 0x02, 0x03, 0x04});
  Bytes p;
  for (int i = 0; i < 20 && p != changed; i++) p = host.packet();
  EXPECT_EQ(p, changed);
  EXPECT_EQ(host.packet(), changed);

  ASSERT_TRUE(host.send({0x04, 0x03, 0x5D, 0x41, 0x20}));
  EXPECT_EQ(host.answer(), (Bytes{0x04, 0x04, 0x5D, 0x01, 0x00, 0x01}));

  // Samples made before the disable arrive before its acknowledgement; none after it.
  ASSERT_TRUE(host.send({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0x03, 0x07, 0x00}));
  EXPECT_EQ(host.answer(), (Bytes{0x04, 0x03, 0x5D, 0xC2, 0x00}));
  EXPECT_EQ(host.quiet(150), Bytes());
  EXPECT_EQ(host.ask({0x04, 0x03, 0x5D, 0x41, 0x20}, 6), (Bytes{0x04, 0x04, 0x5D, 0x01, 0x00, 0x00}));
  EXPECT_TRUE(sim.module->streamPatterns().empty());
}

struct SampleCase {
  std::string name;
  std::vector<OptionSpec> options;   // added to the module's table first
  Bytes enable;                      // the enable request
  std::vector<Bytes> round;          // one round of samples, in order
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }

class SimStreamSamples : public ::testing::TestWithParam<SampleCase> {};

OptionSpec option(uint8_t command, uint8_t number, Kind kind, bool writeOnly = false) {
  OptionSpec s;
  s.command = command;
  s.option = number;
  s.kind = kind;
  s.writeOnly = writeOnly;
  if (kind == Kind::Bytes) s.maxBytes = 8;
  return s;
}

TEST_P(SimStreamSamples, OneRoundHasTheSampleFormOfEachMatchingOption) {
  const SampleCase& c = GetParam();
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  for (const auto& o : c.options) sim.module->setOption(o);
  sim.module->setValue(0x30, 1, 0, 0x5A);
  sim.module->setValue(0x30, 2, 0, 0xBEEF);
  sim.module->setSamplePeriodMs(30);
  sim.module->setStreamTimestamp(0x0000000100000002ull);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.send(c.enable));
  EXPECT_EQ(host.packet(), (Bytes{0x04, 0x03, 0x5D, 0xC1, 0x00}));
  for (size_t i = 0; i < c.round.size(); i++) EXPECT_EQ(host.packet(), c.round[i]) << "sample " << i;
  // The next round starts over with the first.
  EXPECT_EQ(host.packet(), c.round.front());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SimStreamSamples,
    ::testing::Values(
        // The model number, an 8-bit value: type 1, 14 data bytes.
        SampleCase{"Plain8", {}, {0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x08, 0x00},
                   {sample({0x04, 0x0E, 0x03, 0x08, 0x40, 0x01}, {0x13})}},
        // The identifier, 32 bits in four subindexes: type 7, the subindex before the time.
        SampleCase{"Subindexed32", {}, {0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x27, 0x00},
                   {sample({0x04, 0x12, 0x03, 0x27, 0x40, 0x07, 0x00}, {0x11, 0x11, 0x11, 0x11}),
                    sample({0x04, 0x12, 0x03, 0x27, 0x40, 0x07, 0x01}, {0x22, 0x22, 0x22, 0x22}),
                    sample({0x04, 0x12, 0x03, 0x27, 0x40, 0x07, 0x02}, {0x33, 0x33, 0x33, 0x33}),
                    sample({0x04, 0x12, 0x03, 0x27, 0x40, 0x07, 0x03}, {0x44, 0x44, 0x44, 0x44})}},
        // Wildcard option and index over an entity of four options: the byte sequence
        // and the write-only option are not sampled.
        SampleCase{"WildcardSkipsWhatCannotBeRead",
                   {option(0x30, 1, Kind::U8), option(0x30, 2, Kind::U16), option(0x30, 3, Kind::Bytes),
                    option(0x30, 4, Kind::U32, true)},
                   {0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x30, 0xFF, 0xFF},
                   {sample({0x04, 0x0E, 0x30, 0x01, 0x40, 0x01}, {0x5A}),
                    sample({0x04, 0x0F, 0x30, 0x02, 0x40, 0x02}, {0xBE, 0xEF})}}),
    [](const ::testing::TestParamInfo<SampleCase>& i) { return i.param.name; });

TEST(SimStream, DisableWithWildcardEndsEveryPatternItCovers) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setSamplePeriodMs(0);   // control only
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  const Bytes ack = {0x04, 0x03, 0x5D, 0xC1, 0x00};
  EXPECT_EQ(host.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x07, 0x00}, 5), ack);
  EXPECT_EQ(host.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x08, 0x00}, 5), ack);
  EXPECT_EQ(host.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x5C, 0x00, 0x00}, 5), ack);
  EXPECT_EQ(host.ask({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x08, 0x00}, 5), ack);   // again: still one
  EXPECT_EQ(sim.module->streamPatterns(), (std::vector<uint32_t>{0x04030700, 0x04030800, 0x045C0000}));
  EXPECT_EQ(host.ask({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0x03, 0xFF, 0x00}, 5), (Bytes{0x04, 0x03, 0x5D, 0xC2, 0x00}));
  EXPECT_EQ(sim.module->streamPatterns(), (std::vector<uint32_t>{0x045C0000}));
  EXPECT_EQ(host.ask({0x04, 0x03, 0x5D, 0x41, 0x20}, 6), (Bytes{0x04, 0x04, 0x5D, 0x01, 0x00, 0x01}));
}

struct RefusalCase {
  std::string name;
  Bytes request;
  Bytes reply;
  bool failDisable = false;   // the failure knob on option 2, code 5
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class SimStreamRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SimStreamRefusals, AreErrorRepliesAndStartNothing) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setSamplePeriodMs(10);
  if (GetParam().failDisable) sim.module->failOption(0x5D, 2, 0x05);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.ask(GetParam().request, GetParam().reply.size()), GetParam().reply);
  EXPECT_EQ(host.quiet(100), Bytes());
  EXPECT_TRUE(sim.module->streamPatterns().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SimStreamRefusals,
    ::testing::Values(
        // Another module's pattern: parameter error (2).
        RefusalCase{"OtherModule", {0x04, 0x07, 0x5D, 0x81, 0x20, 0x06, 0x03, 0x07, 0x00},
                    {0x04, 0x04, 0x5D, 0xC1, 0x80, 0x02}},
        RefusalCase{"PatternCut", {0x04, 0x06, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x07}, {0x04, 0x04, 0x5D, 0xC1, 0x80, 0x02}},
        // Index 1: no such entity (28).
        RefusalCase{"IndexOne", {0x04, 0x07, 0x5D, 0x81, 0x21, 0x04, 0x03, 0x07, 0x00},
                    {0x04, 0x04, 0x5D, 0xC1, 0x81, 0x1C}},
        // Reading the disable command: wrong mode (7); an unknown option (29).
        RefusalCase{"GetOfDisable", {0x04, 0x03, 0x5D, 0x42, 0x20}, {0x04, 0x04, 0x5D, 0x02, 0x80, 0x07}},
        RefusalCase{"UnknownOption", {0x04, 0x07, 0x5D, 0x83, 0x20, 0x04, 0x03, 0x07, 0x00},
                    {0x04, 0x04, 0x5D, 0xC3, 0x80, 0x1D}},
        // The failure knob on option 2 refuses every disable with its code.
        RefusalCase{"FailureKnob", {0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0x03, 0x07, 0x00},
                    {0x04, 0x04, 0x5D, 0xC2, 0x80, 0x05}, true}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return i.param.name; });

TEST(SimStream, MutedEnableIsNeitherAnsweredNorCarriedOut) {
  ModelSim sim;
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->muteOption(0x5D, 1);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  ASSERT_TRUE(host.send({0x04, 0x07, 0x5D, 0x81, 0x20, 0x04, 0x03, 0x07, 0x00}));
  EXPECT_EQ(host.quiet(200), Bytes());
  EXPECT_TRUE(sim.module->streamPatterns().empty());
  EXPECT_EQ(host.ask({0x04, 0x02, 0x17, 0x01}, 4), (Bytes{0x04, 0x02, 0x17, 0x01}));   // still alive
}

}  // namespace

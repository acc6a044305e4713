// The store-slot entity of the simulated module, reached over a bare socket with
// requests and answers written by hand from the slot protocol's tables.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
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

// Module 2 throughout: [02 04 04 02 01 03] asks it for the size of store 1, slot 3.
constexpr uint8_t kModule = 0x02;

TEST(SimSlots, SixtyBytesGoInAsSummedChunksAndComeBackInOrder) {
  ModelSim sim(kModule);
  ASSERT_TRUE(sim.tcp->ok());
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());

  // Open store 0, slot 1 for writing: handle 1.
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x04, 0x00, 0x01}, 7), (Bytes{0x02, 0x05, 0x04, 0x04, 0x00, 0x01, 0x01}));
  // Bytes 1 to 60 in chunks of 25, 25 and 10, each acknowledged with its 8-bit sum.
  EXPECT_EQ(host.ask(wire({0x02, 0x1C, 0x04, 0x07, 0x01}, run(1, 25)), 6), (Bytes{0x02, 0x04, 0x04, 0x07, 0x01, 0x45}));
  EXPECT_EQ(host.ask(wire({0x02, 0x1C, 0x04, 0x07, 0x01}, run(26, 25)), 6), (Bytes{0x02, 0x04, 0x04, 0x07, 0x01, 0xB6}));
  EXPECT_EQ(host.ask(wire({0x02, 0x0D, 0x04, 0x07, 0x01}, run(51, 10)), 6), (Bytes{0x02, 0x04, 0x04, 0x07, 0x01, 0x2B}));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x08, 0x01}, 6), (Bytes{0x02, 0x04, 0x04, 0x08, 0x01, 0x00}));
  EXPECT_EQ(sim.module->slotBytes(0, 1), run(1, 60));

  // Size 60 (0x3C) of a slot of 4096 (0x1000) bytes.
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x02, 0x00, 0x01}, 8), (Bytes{0x02, 0x06, 0x04, 0x02, 0x00, 0x01, 0x00, 0x3C}));
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x01, 0x00, 0x01}, 8), (Bytes{0x02, 0x06, 0x04, 0x01, 0x00, 0x01, 0x10, 0x00}));

  // Read back: the freed handle 1 again, chunks of 25, 25, 10, then the end (EOF, 10).
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x03, 0x00, 0x01}, 7), (Bytes{0x02, 0x05, 0x04, 0x03, 0x00, 0x01, 0x01}));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x01}, 30), wire({0x02, 0x1C, 0x04, 0x06, 0x01}, run(1, 25)));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x01}, 30), wire({0x02, 0x1C, 0x04, 0x06, 0x01}, run(26, 25)));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x01}, 15), wire({0x02, 0x0D, 0x04, 0x06, 0x01}, run(51, 10)));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x01}, 6), (Bytes{0x02, 0x04, 0x04, 0x86, 0x01, 0x0A}));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x08, 0x01}, 6), (Bytes{0x02, 0x04, 0x04, 0x08, 0x01, 0x00}));
  EXPECT_EQ(sim.module->openSlotHandles(), 0u);
}

TEST(SimSlots, SizeOfAFilledSlotAndHandlesSideBySide) {
  ModelSim sim(kModule);
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setSlot(1, 3, 100, run(0, 40));
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x02, 0x01, 0x03}, 8), (Bytes{0x02, 0x06, 0x04, 0x02, 0x01, 0x03, 0x00, 0x28}));
  // Two readers at once get handles 1 and 2 and keep their own places.
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x03, 0x01, 0x03}, 7), (Bytes{0x02, 0x05, 0x04, 0x03, 0x01, 0x03, 0x01}));
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x03, 0x01, 0x03}, 7), (Bytes{0x02, 0x05, 0x04, 0x03, 0x01, 0x03, 0x02}));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x01}, 30), wire({0x02, 0x1C, 0x04, 0x06, 0x01}, run(0, 25)));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x02}, 30), wire({0x02, 0x1C, 0x04, 0x06, 0x02}, run(0, 25)));
  EXPECT_EQ(host.ask({0x02, 0x03, 0x04, 0x06, 0x01}, 20), wire({0x02, 0x12, 0x04, 0x06, 0x01}, run(25, 15)));
  EXPECT_EQ(sim.module->openSlotHandles(), 2u);
}

struct Exchange {
  Bytes request;
  Bytes reply;   // empty: no answer
};

struct FaultCase {
  std::string name;
  uint8_t op;
  ReplyFault fault;
  std::vector<Exchange> exchanges;   // after opening store 0, slot 1 for writing as handle 1 (unless op 4)
  size_t handlesAfter;
  size_t bytesAfter;                 // in store 0, slot 1
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

ReplyFault fault(ReplyFault::Kind kind, uint8_t code = 0, unsigned skip = 0, int count = -1) {
  ReplyFault f;
  f.kind = kind;
  f.code = code;
  f.skip = skip;
  f.count = count;
  return f;
}

const Bytes kOpenWrite = {0x02, 0x04, 0x04, 0x04, 0x00, 0x01};

class SimSlotFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimSlotFaults, ShapeTheAnswerAsAsked) {
  const FaultCase& c = GetParam();
  ModelSim sim(kModule);
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->failSlot(c.op, c.fault);
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  if (c.op != 0x04) {
    ASSERT_EQ(host.ask(kOpenWrite, 7), (Bytes{0x02, 0x05, 0x04, 0x04, 0x00, 0x01, 0x01}));
  }
  for (size_t i = 0; i < c.exchanges.size(); i++) {
    const Exchange& e = c.exchanges[i];
    ASSERT_TRUE(host.send(e.request));
    if (e.reply.empty())
      EXPECT_EQ(host.quiet(200), Bytes()) << "exchange " << i;
    else
      EXPECT_EQ(host.read(e.reply.size()), e.reply) << "exchange " << i;
  }
  // Nothing beyond what was expected, and the module still answers.
  EXPECT_EQ(host.ask({0x02, 0x04, 0x04, 0x01, 0x01, 0x00}, 8), (Bytes{0x02, 0x06, 0x04, 0x01, 0x01, 0x00, 0x10, 0x00}));
  EXPECT_EQ(sim.module->openSlotHandles(), c.handlesAfter);
  EXPECT_EQ(sim.module->slotBytes(0, 1).size(), c.bytesAfter);
}

const Bytes kChunk1 = wire({0x02, 0x1C, 0x04, 0x07, 0x01}, run(1, 25));
const Bytes kChunk2 = wire({0x02, 0x1C, 0x04, 0x07, 0x01}, run(26, 25));
const Bytes kChunk3 = wire({0x02, 0x0D, 0x04, 0x07, 0x01}, run(51, 10));
const Bytes kClose = {0x02, 0x03, 0x04, 0x08, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Knobs, SimSlotFaults,
    ::testing::Values(
        // A refused open (busy, 5); the same with code 0; an error reply without code.
        FaultCase{"RefusedOpen", 0x04, fault(ReplyFault::kRefuse, 0x05), {{kOpenWrite, {0x02, 0x05, 0x04, 0x84, 0x00, 0x01, 0x05}}}, 0, 0},
        FaultCase{"RefusedOpenCodeZero", 0x04, fault(ReplyFault::kRefuse, 0x00), {{kOpenWrite, {0x02, 0x05, 0x04, 0x84, 0x00, 0x01, 0x00}}}, 0, 0},
        FaultCase{"OpenErrorWithoutCode", 0x04, fault(ReplyFault::kNoCode), {{kOpenWrite, {0x02, 0x04, 0x04, 0x84, 0x00, 0x01}}}, 0, 0},
        // "Slot opened" without its handle byte: the module did open it.
        FaultCase{"ShortOpen", 0x04, fault(ReplyFault::kShort), {{kOpenWrite, {0x02, 0x04, 0x04, 0x04, 0x00, 0x01}}}, 1, 0},
        // The second chunk's sum is one too high; the bytes are stored all the same.
        FaultCase{"WrongSumOnSecondChunk", 0x07, fault(ReplyFault::kWrongSum, 0, 1, 1),
                  {{kChunk1, {0x02, 0x04, 0x04, 0x07, 0x01, 0x45}},
                   {kChunk2, {0x02, 0x04, 0x04, 0x07, 0x01, 0xB7}},
                   {kChunk3, {0x02, 0x04, 0x04, 0x07, 0x01, 0x2B}}}, 1, 60},
        FaultCase{"LongChunkAcknowledgement", 0x07, fault(ReplyFault::kLong), {{kChunk1, {0x02, 0x05, 0x04, 0x07, 0x01, 0x45, 0x00}}}, 1, 25},
        FaultCase{"ShortChunkAcknowledgement", 0x07, fault(ReplyFault::kShort), {{kChunk1, {0x02, 0x03, 0x04, 0x07, 0x01}}}, 1, 25},
        FaultCase{"ChunkErrorWithoutCode", 0x07, fault(ReplyFault::kNoCode, 0, 0, 1),
                  {{kChunk1, {0x02, 0x03, 0x04, 0x87, 0x01}}, {kChunk1, {0x02, 0x04, 0x04, 0x07, 0x01, 0x45}}}, 1, 25},
        // A silent close still closes; a refused one does not.
        FaultCase{"SilentClose", 0x08, fault(ReplyFault::kSilent), {{kClose, {}}}, 0, 0},
        FaultCase{"RefusedClose", 0x08, fault(ReplyFault::kRefuse, 0x06), {{kClose, {0x02, 0x04, 0x04, 0x88, 0x01, 0x06}}}, 1, 0}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return i.param.name; });

struct RefusalCase {
  std::string name;
  Bytes request;
  Bytes reply;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class SimSlotRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SimSlotRefusals, NameTheTargetAndTheReason) {
  ModelSim sim(kModule);
  ASSERT_TRUE(sim.tcp->ok());
  sim.module->setSlot(0, 2, 10, {});
  RawHost host(sim.tcp->port());
  ASSERT_TRUE(host.ok());
  // Handle 1 writes store 0, slot 2 (10 bytes), handle 2 reads store 0, slot 0.
  ASSERT_EQ(host.ask({0x02, 0x04, 0x04, 0x04, 0x00, 0x02}, 7), (Bytes{0x02, 0x05, 0x04, 0x04, 0x00, 0x02, 0x01}));
  ASSERT_EQ(host.ask({0x02, 0x04, 0x04, 0x03, 0x00, 0x00}, 7), (Bytes{0x02, 0x05, 0x04, 0x03, 0x00, 0x00, 0x02}));
  EXPECT_EQ(host.ask(GetParam().request, GetParam().reply.size()), GetParam().reply);
  EXPECT_EQ(host.quiet(50), Bytes());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SimSlotRefusals,
    ::testing::Values(
        // No store 7 (index range, 26); a size request without its slot (parameter, 2).
        RefusalCase{"UnknownSlot", {0x02, 0x04, 0x04, 0x01, 0x07, 0x00}, {0x02, 0x05, 0x04, 0x81, 0x07, 0x00, 0x1A}},
        RefusalCase{"SizeWithoutSlot", {0x02, 0x03, 0x04, 0x02, 0x00}, {0x02, 0x04, 0x04, 0x82, 0x00, 0x02}},
        // Handle 9 is not open (3); reading a write handle, writing a read handle (7).
        RefusalCase{"HandleNotOpen", {0x02, 0x03, 0x04, 0x06, 0x09}, {0x02, 0x04, 0x04, 0x86, 0x09, 0x03}},
        RefusalCase{"ReadOnWriteHandle", {0x02, 0x03, 0x04, 0x06, 0x01}, {0x02, 0x04, 0x04, 0x86, 0x01, 0x07}},
        RefusalCase{"WriteOnReadHandle", {0x02, 0x04, 0x04, 0x07, 0x02, 0x33}, {0x02, 0x04, 0x04, 0x87, 0x02, 0x07}},
        // Eleven bytes into a slot of ten (size, 14); a write of no bytes (2).
        RefusalCase{"PastCapacity", wire({0x02, 0x0E, 0x04, 0x07, 0x01}, run(1, 11)), {0x02, 0x04, 0x04, 0x87, 0x01, 0x0E}},
        RefusalCase{"EmptyWrite", {0x02, 0x03, 0x04, 0x07, 0x01}, {0x02, 0x04, 0x04, 0x87, 0x01, 0x02}},
        // Operation 5 is no operation of the module (invalid option, 29).
        RefusalCase{"OperationFive", {0x02, 0x03, 0x04, 0x05, 0x01}, {0x02, 0x04, 0x04, 0x85, 0x01, 0x1D}}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return i.param.name; });

}  // namespace

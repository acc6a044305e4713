#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/aPacket.h"
#include "common/aPacketFifo.h"

namespace {

// A packet whose first data byte tells test packets apart.
aPacket* makePacket(uint8_t tag, uint8_t address = 0x04) {
  const uint8_t data[2] = {tag, static_cast<uint8_t>(~tag)};
  return aPacket_CreateWithData(address, 2, data);
}

aErr putTag(aPacketFifoId id, uint8_t tag) {
  aPacket* p = makePacket(tag);
  const aErr err = aPacketFifo_Put(id, p);
  aPacket_Destroy(&p);
  return err;
}

// Takes everything left with aPacketFifo_Get and returns the tags in order.
std::vector<uint8_t> takeAllTags(aPacketFifoId id) {
  std::vector<uint8_t> tags;
  while (aPacket* p = aPacketFifo_Get(id)) {
    tags.push_back(p->data[0]);
    aPacket_Destroy(&p);
  }
  return tags;
}

struct Fifo {
  aPacketFifoId id = aPacketFifo_Create();
  ~Fifo() {
    if (id != 0) aPacketFifo_Destroy(&id);
  }
};

uint8_t matchTag3(const aPacket* p, void*) { return p->data[0] == 3; }
uint8_t matchEvenTag(const aPacket* p, void*) { return p->data[0] % 2 == 0; }
uint8_t matchNothing(const aPacket*, void*) { return 0; }
uint8_t matchAll(const aPacket*, void*) { return 1; }

struct OfferLog {
  std::vector<uint8_t> offered;
  uint8_t accept = 0xFF;   // tag to accept; none by default
};
uint8_t logOffers(const aPacket* p, void* reference) {
  OfferLog* log = static_cast<OfferLog*>(reference);
  log->offered.push_back(p->data[0]);
  return p->data[0] == log->accept;
}

// The "threadsafe" style re-runs the test binary for the statement alone: a fresh
// process whose registry has made nothing yet.
TEST(PacketFifoDeathTest, FirstFifoOfAProcessGetsIdOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const aPacketFifoId first = aPacketFifo_Create();
        const aPacketFifoId second = aPacketFifo_Create();
        std::_Exit(first == 1 && second == 2 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PacketFifo, IdsAreDistinctNonZeroAndNotReused) {
  aPacketFifoId a = aPacketFifo_Create();
  aPacketFifoId b = aPacketFifo_Create();
  ASSERT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);
  const aPacketFifoId oldA = a;
  ASSERT_EQ(aPacketFifo_Destroy(&a), aErrNone);
  EXPECT_EQ(a, 0u);
  aPacketFifoId c = aPacketFifo_Create();
  EXPECT_NE(c, oldA);
  EXPECT_GT(c, b);
  aPacketFifo_Destroy(&b);
  aPacketFifo_Destroy(&c);
}

TEST(PacketFifo, PutAndTakeKeepOrderAndCopyEachWay) {
  Fifo f;
  aPacket* mine = makePacket(1);
  ASSERT_EQ(aPacketFifo_Put(f.id, mine), aErrNone);
  // The caller's record is its own: changing or freeing it does not reach the FIFO.
  mine->data[0] = 99;
  aPacket_Destroy(&mine);
  ASSERT_EQ(putTag(f.id, 2), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 2u);

  aPacket* first = aPacketFifo_Get(f.id);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(aVALIDPACKET(first));
  EXPECT_EQ(first->address, 0x04);
  EXPECT_EQ(first->dataSize, 2);
  EXPECT_EQ(first->data[0], 1);
  EXPECT_EQ(first->data[1], 0xFE);
  aPacket_Destroy(&first);
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({2}));
  EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
}

TEST(PacketFifo, PutRefusesBadPacketsAndUnknownFifos) {
  Fifo f;
  aPacket* good = makePacket(1);
  aPacket badCheck = *good;
  badCheck.check = 0x1234;
  aPacket tooLong = *good;
  tooLong.dataSize = aPACKET_MAX_DATA + 1;
  struct Case {
    const char* what;
    aPacketFifoId id;
    const aPacket* packet;
  } cases[] = {
      {"null packet", f.id, nullptr},
      {"check word not 0xBEEF", f.id, &badCheck},
      {"length above 28", f.id, &tooLong},
      {"unknown id", f.id + 1000, good},
      {"id 0", 0, good},
  };
  for (const Case& c : cases) EXPECT_EQ(aPacketFifo_Put(c.id, c.packet), aErrParam) << c.what;
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
  aPacket_Destroy(&good);
}

TEST(PacketFifo, UnknownIdGivesNullOrZeroEverywhere) {
  aPacketFifoId gone = aPacketFifo_Create();
  const aPacketFifoId id = gone;
  ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
  for (aPacketFifoId unknown : {aPacketFifoId{0}, id}) {
    EXPECT_EQ(aPacketFifo_Get(unknown), nullptr);
    EXPECT_EQ(aPacketFifo_Await(unknown, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(unknown, matchAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(unknown, matchAll, nullptr, 10), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(unknown, matchAll, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(unknown), 0u);
    EXPECT_EQ(putTag(unknown, 1), aErrParam);
  }
}

TEST(PacketFifo, DestroyReportsUnknownIdsAndNullPointer) {
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  aPacketFifoId id = aPacketFifo_Create();
  const aPacketFifoId kept = id;
  ASSERT_EQ(putTag(id, 1), aErrNone);
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  aPacketFifoId again = kept;
  EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
  EXPECT_EQ(again, kept);   // left as it was
}

TEST(PacketFifo, BoundOf1000ReportsTheLossAndStartsOver) {
  Fifo f;
  for (int i = 0; i < aPACKETFIFO_MAX_LENGTH; i++) ASSERT_EQ(putTag(f.id, static_cast<uint8_t>(i)), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 1000u);
  // The 1001st put empties the FIFO and says so: never a silent success on lost data.
  EXPECT_EQ(putTag(f.id, 0xAA), aErrOverrun);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
  EXPECT_EQ(putTag(f.id, 0xBB), aErrNone);
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({0xBB}));
}

TEST(PacketFifo, AwaitWithTimeoutZero) {
  Fifo f;
  EXPECT_EQ(aPacketFifo_Await(f.id, 0), nullptr);
  ASSERT_EQ(putTag(f.id, 7), aErrNone);
  aPacket* p = aPacketFifo_Await(f.id, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 7);
  aPacket_Destroy(&p);
}

TEST(PacketFifo, GetFirstTakesTheMatchAndLeavesTheRestInOrder) {
  Fifo f;
  for (uint8_t t = 1; t <= 5; t++) putTag(f.id, t);
  aPacket* p = aPacketFifo_GetFirst(f.id, matchTag3, nullptr);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 3);
  aPacket_Destroy(&p);
  EXPECT_EQ(aPacketFifo_GetFirst(f.id, matchTag3, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(f.id, nullptr, nullptr), nullptr);
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({1, 2, 4, 5}));
}

TEST(PacketFifo, DrainRemovesMatchesStablyAndKeepsTheWindow) {
  Fifo f;
  for (uint8_t t = 1; t <= 6; t++) putTag(f.id, t);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, matchEvenTag, nullptr), 3u);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, matchNothing, nullptr), 0u);
  // The packets left must still be new to an await: each is offered exactly once.
  OfferLog log;
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, logOffers, &log, 0), nullptr);
  EXPECT_EQ(log.offered, std::vector<uint8_t>({1, 3, 5}));
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({1, 3, 5}));
}

TEST(PacketFifo, DrainOfTheFrontMovesTheWindowToTheNewFront) {
  Fifo f;
  for (uint8_t t = 0; t < 4; t++) putTag(f.id, t);
  // Tags 0 and 2 go; an await that starts now must still see 1 and 3.
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, matchEvenTag, nullptr), 2u);
  OfferLog log;
  log.accept = 3;
  aPacket* p = aPacketFifo_AwaitFirst(f.id, logOffers, &log, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 3);
  aPacket_Destroy(&p);
  EXPECT_EQ(log.offered, std::vector<uint8_t>({1, 3}));
}

TEST(PacketFifo, AwaitFirstOffersEachQueuedPacketOnce) {
  Fifo f;
  for (uint8_t t = 1; t <= 4; t++) putTag(f.id, t);
  OfferLog log;
  log.accept = 4;
  aPacket* p = aPacketFifo_AwaitFirst(f.id, logOffers, &log, 1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 4);
  aPacket_Destroy(&p);
  EXPECT_EQ(log.offered, std::vector<uint8_t>({1, 2, 3, 4}));
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({1, 2, 3}));
}

// Match functions are the caller's code: one that throws must not take the FIFO with it.
uint8_t throwOnTag2(const aPacket* p, void*) {
  if (p->data[0] == 2) throw std::runtime_error("match failed");
  return p->data[0] == 3;
}

TEST(PacketFifo, ThrowingMatchLeavesTheQueueWhole) {
  Fifo f;
  for (uint8_t t = 1; t <= 3; t++) putTag(f.id, t);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, throwOnTag2, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, throwOnTag2, nullptr, 0), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(f.id, throwOnTag2, nullptr), nullptr);
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({1, 2, 3}));
}

TEST(PacketFifo, TakenPacketIsIndependentOfTheFifo) {
  Fifo f;
  putTag(f.id, 1);
  putTag(f.id, 2);
  aPacket* p = aPacketFifo_Get(f.id);
  ASSERT_NE(p, nullptr);
  std::memset(p->data, 0, sizeof p->data);
  aPacket_Destroy(&p);
  EXPECT_EQ(takeAllTags(f.id), std::vector<uint8_t>({2}));
}

}  // namespace

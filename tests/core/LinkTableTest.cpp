#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/internal/aLinkTable.h"

namespace {

// The table only stores link records, which the link engine defines; a stand-in record
// handed over as an opaque aLink* is enough here.
struct FakeRecord {
  uint32_t marker;
};
aLink* asLink(FakeRecord* r) { return reinterpret_cast<aLink*>(r); }
const FakeRecord* record(const aLink* l) { return reinterpret_cast<const FakeRecord*>(l); }

int gReleased = 0;
void releaseRecord(aLink* link) {
  gReleased++;
  delete reinterpret_cast<FakeRecord*>(link);
}

// Every test uses identities of its own, so the process-wide table's other entries
// never get in the way.
struct Entries {
  std::vector<aLinkRef> ids;
  aLinkRef add(uint32_t i0, uint32_t i1, uint32_t i2, uint32_t type) {
    const aLinkRef id = sCreate2(i0, i1, i2, type, asLink(new FakeRecord{i0}), releaseRecord);
    ids.push_back(id);
    return id;
  }
  ~Entries() {
    for (aLinkRef id : ids) sExtractEntry(id);
  }
};

// The "threadsafe" style re-runs the test binary for the statement alone: a fresh
// process whose table is still empty.
TEST(LinkTableDeathTest, FirstEntryOfAProcessGetsIdOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(sCreate(0x0DD0, 0, 1, nullptr, nullptr) == 1 ? 0 : 3), ::testing::ExitedWithCode(0), "");
}

TEST(LinkTable, IdsRiseByOneAndAreNotGivenOutAgain) {
  Entries e;
  const aLinkRef a = e.add(0x1001, 0, 0, 1);
  const aLinkRef b = e.add(0x1002, 0, 0, 1);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);
  EXPECT_NE(sExtractEntry(b), nullptr);
  const aLinkRef c = e.add(0x1003, 0, 0, 1);
  EXPECT_EQ(c, b + 1);
  EXPECT_EQ(sLookupEntryByID(b), nullptr);
  EXPECT_EQ(sGetLink(b), nullptr);
  EXPECT_EQ(sExtractEntry(b), nullptr);
}

TEST(LinkTable, NewEntryCarriesItsIdentityAndNothingElse) {
  Entries e;
  const aLinkRef id = e.add(0x2001, 0x7F000001, 9000, 2);
  aLinkEntryPtr entry = sLookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->id, id);
  EXPECT_EQ(entry->ident0, 0x2001u);
  EXPECT_EQ(entry->ident1, 0x7F000001u);
  EXPECT_EQ(entry->ident2, 9000u);
  EXPECT_EQ(entry->type, 2u);
  EXPECT_EQ(entry->linkedId.load(), 0u);
  EXPECT_EQ(entry->server.load(), nullptr);
  EXPECT_EQ(sGetUseCount(entry), 0);
  ASSERT_NE(entry->link, nullptr);
  EXPECT_EQ(record(entry->link)->marker, 0x2001u);
  EXPECT_EQ(sGetLink(id).get(), entry->link);
  // sCreate leaves ident2 at 0.
  const aLinkRef two = sCreate(0x2002, 5, 3, nullptr, nullptr);
  e.ids.push_back(two);
  aLinkEntryPtr second = sLookupEntryByID(two);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->ident2, 0u);
  EXPECT_EQ(sGetLink(two), nullptr);   // an entry without a record
}

TEST(LinkTable, LookupsFindTheNewestMatch) {
  Entries e;
  const aLinkRef older = e.add(0x3001, 0, 0, 1);
  const aLinkRef newer = e.add(0x3001, 0, 0, 1);
  const aLinkRef otherType = e.add(0x3001, 0, 0, 3);
  struct Case {
    const char* what;
    aLinkEntryPtr found;
    aLinkRef expected;
  } cases[] = {
      {"identifier: newest of two", sLookupEntryByIdentifier(0x3001, 1), newer},
      {"identifier: by type", sLookupEntryByIdentifier(0x3001, 3), otherType},
      {"trident: whatever the type", sLookupEntryByTrident(0x3001, 0, 0), otherType},
      {"id", sLookupEntryByID(older), older},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.found, nullptr) << c.what;
    EXPECT_EQ(c.found->id, c.expected) << c.what;
  }
  EXPECT_EQ(sLookupEntryByIdentifier(0x3001, 2), nullptr);
  EXPECT_EQ(sLookupEntryByTrident(0x3001, 1, 0), nullptr);
  EXPECT_EQ(sLookupEntryByID(0), nullptr);
  sExtractEntry(newer);
  ASSERT_NE(sLookupEntryByIdentifier(0x3001, 1), nullptr);
  EXPECT_EQ(sLookupEntryByIdentifier(0x3001, 1)->id, older);
}

TEST(LinkTable, RecordIsReleasedOnceWhenTheLastHolderLetsGo) {
  Entries e;
  const int before = gReleased;
  const aLinkRef id = e.add(0x4001, 0, 0, 1);
  aLinkEntryPtr held = sLookupEntryByID(id);
  std::shared_ptr<aLink> link = sGetLink(id);
  aLinkEntryPtr extracted = sExtractEntry(id);
  ASSERT_EQ(extracted, held);
  extracted.reset();
  held.reset();
  EXPECT_EQ(gReleased, before);   // the link pointer still holds the entry
  EXPECT_EQ(record(link.get())->marker, 0x4001u);
  link.reset();
  EXPECT_EQ(gReleased, before + 1);
}

TEST(LinkTable, UseCountsStayInRange) {
  Entries e;
  aLinkEntryPtr entry = sLookupEntryByID(e.add(0x5001, 0, 0, 1));
  int16_t count = 0;
  EXPECT_EQ(sChangeUseCount(entry, 1, &count), aErrNone);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(sChangeUseCount(entry, INT16_MAX - 1, &count), aErrNone);
  EXPECT_EQ(count, INT16_MAX);
  // Wrapping to a negative count would free a link that is still in use.
  EXPECT_EQ(sChangeUseCount(entry, 1, &count), aErrRange);
  EXPECT_EQ(sGetUseCount(entry), INT16_MAX);
  EXPECT_EQ(sRetainEntryByID(entry->id), nullptr);
  EXPECT_EQ(sChangeUseCount(nullptr, 1), aErrParam);
}

TEST(LinkTable, RetainAndReleaseCountUsesAndExtractAtZero) {
  Entries e;
  const aLinkRef id = e.add(0x6001, 0, 0, 1);
  ASSERT_NE(sRetainEntryByIdentifier(0x6001, 1, true), nullptr);
  ASSERT_NE(sRetainEntryByID(id), nullptr);
  EXPECT_EQ(sRetainEntryByIdentifier(0x6001, 2, false), nullptr);
  EXPECT_EQ(sRetainEntryByID(id + 1000), nullptr);
  aLinkEntryPtr extracted;
  EXPECT_EQ(sReleaseUse(id, &extracted), aErrNone);
  EXPECT_EQ(extracted, nullptr);
  EXPECT_NE(sLookupEntryByID(id), nullptr);
  EXPECT_EQ(sReleaseUse(id, &extracted), aErrNone);
  ASSERT_NE(extracted, nullptr);
  EXPECT_EQ(extracted->id, id);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
  EXPECT_EQ(sReleaseUse(id, &extracted), aErrParam);
  EXPECT_EQ(extracted, nullptr);
}

TEST(LinkTable, RetainRefusesAServedEntryWhenAsked) {
  Entries e;
  const aLinkRef id = e.add(0x7001, 0, 0, 1);
  aLinkEntryPtr entry = sLookupEntryByID(id);
  entry->server = reinterpret_cast<aServer*>(0x1);   // only compared, never used
  aLinkEntryPtr found = sRetainEntryByIdentifier(0x7001, 1, true);
  ASSERT_EQ(found, entry);
  EXPECT_EQ(sGetUseCount(entry), 0);   // found, but not counted
  EXPECT_NE(sRetainEntryByIdentifier(0x7001, 1, false), nullptr);
  EXPECT_EQ(sGetUseCount(entry), 1);
  entry->server = nullptr;
}

}  // namespace

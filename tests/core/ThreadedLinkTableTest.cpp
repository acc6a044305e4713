#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "common/internal/aLinkTable.h"

namespace {

// A stand-in for the link engine's record, handed over as an opaque aLink*.
struct FakeRecord {
  std::atomic<uint32_t> uses{0};
};
aLink* newRecord() { return reinterpret_cast<aLink*>(new FakeRecord); }

std::atomic<int> gReleased{0};
void releaseRecord(aLink* link) {
  gReleased++;
  delete reinterpret_cast<FakeRecord*>(link);
}

TEST(ThreadedLinkTable, ConcurrentCreationGivesUniqueIds) {
  constexpr int kThreads = 8, kEach = 40;
  std::vector<std::vector<aLinkRef>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; i++) {
        made[t].push_back(sCreate(0xA0000000u + t, static_cast<uint32_t>(i), 1, newRecord(), releaseRecord));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<aLinkRef> ids;
  for (int t = 0; t < kThreads; t++) {
    for (int i = 0; i < kEach; i++) {
      const aLinkRef id = made[t][i];
      ASSERT_NE(id, 0u);
      ids.insert(id);
      aLinkEntryPtr entry = sLookupEntryByID(id);
      ASSERT_NE(entry, nullptr);
      EXPECT_EQ(entry->ident0, 0xA0000000u + t);
      EXPECT_EQ(entry->ident1, static_cast<uint32_t>(i));
    }
    // Creations of one thread are ordered, so its newest entry is found first.
    EXPECT_EQ(sLookupEntryByIdentifier(0xA0000000u + t, 1)->id, made[t].back());
  }
  EXPECT_EQ(ids.size(), size_t{kThreads * kEach});
  for (aLinkRef id : ids) EXPECT_NE(sExtractEntry(id), nullptr);
}

TEST(ThreadedLinkTable, ExtractionWhileOthersUseTheEntryIsSafe) {
  for (int round = 0; round < 20; round++) {
    const int before = gReleased.load();
    const aLinkRef id = sCreate(0xB0000001u, 0, 1, newRecord(), releaseRecord);
    ASSERT_NE(id, 0u);
    std::atomic<bool> go{false};
    std::vector<std::thread> users;
    for (int u = 0; u < 4; u++) {
      users.emplace_back([&go, id] {
        while (!go) std::this_thread::yield();
        // Whatever a look-up found stays valid while it is held.
        for (int i = 0; i < 200; i++) {
          std::shared_ptr<aLink> link = sGetLink(id);
          if (!link) break;
          reinterpret_cast<FakeRecord*>(link.get())->uses++;
        }
      });
    }
    go = true;
    std::this_thread::yield();
    aLinkEntryPtr gone = sExtractEntry(id);
    ASSERT_NE(gone, nullptr);
    gone.reset();
    for (auto& u : users) u.join();
    EXPECT_EQ(gReleased.load(), before + 1);
  }
}

TEST(ThreadedLinkTable, RacingRetainAndReleaseKeepTheCountExact) {
  const aLinkRef id = sCreate(0xB0000002u, 0, 1, newRecord(), releaseRecord);
  ASSERT_NE(sRetainEntryByID(id), nullptr);   // the creator's use keeps it alive
  constexpr int kThreads = 6, kRounds = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([] {
      for (int i = 0; i < kRounds; i++) {
        aLinkEntryPtr entry = sRetainEntryByIdentifier(0xB0000002u, 1, false);
        if (!entry) continue;
        aLinkEntryPtr extracted;
        EXPECT_EQ(sReleaseUse(entry->id, &extracted), aErrNone);
        EXPECT_EQ(extracted, nullptr);
      }
    });
  }
  for (auto& t : threads) t.join();
  aLinkEntryPtr entry = sLookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(sGetUseCount(entry), 1);
  aLinkEntryPtr extracted;
  EXPECT_EQ(sReleaseUse(id, &extracted), aErrNone);
  EXPECT_EQ(extracted, entry);
}

}  // namespace

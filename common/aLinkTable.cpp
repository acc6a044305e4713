#include "common/internal/aLinkTable.h"

#include <atomic>
#include <list>
#include <new>

#include "common/unix/aMutex.h"

struct aLinkTableAccess {
  static int16_t& useCount(aLinkManagedEntry& entry) { return entry.useCount; }
};

aLinkManagedEntry::aLinkManagedEntry(aLinkRef entryId, uint32_t word0, uint32_t word1, uint32_t word2,
                                     uint32_t linkType, aLink* record, aLinkRecordRelease releaseRecord)
    : id(entryId),
      linkedId(0),
      server(nullptr),
      ident0(word0),
      ident1(word1),
      ident2(word2),
      type(linkType),
      link(record),
      useCount(0),
      release(releaseRecord) {}

aLinkManagedEntry::~aLinkManagedEntry() {
  if (link != nullptr && release != nullptr) release(link);
}

namespace {

struct LinkTable {
  std::list<aLinkEntryPtr> entries;   // newest first
  uint32_t nextId = 1;
  aMutex* mutex = nullptr;
  // Raised (under the mutex) whenever an entry leaves the list: the link records a
  // thread looked up last stay good for it until then (see sGetLink).
  std::atomic<uint64_t> removals{0};
};

// Built once, before main and under the language's own once-only guard, and never torn
// down: link threads may still look links up while the process exits.
LinkTable& sTable() {
  static LinkTable* table = [] {
    LinkTable* t = new LinkTable;
    t->mutex = aMutex_Create("aLink_Managed");
    return t;
  }();
  return *table;
}
[[maybe_unused]] LinkTable& sEarlyTable = sTable();

// Holds the table mutex for a scope; ok() is false when the mutex could not be made or
// taken, and the operation then fails as for a missing entry.
class TableHold {
 public:
  explicit TableHold(LinkTable& table) : mTable(table), mHeld(aMutex_Lock(table.mutex) == aErrNone) {}
  ~TableHold() {
    if (mHeld) aMutex_Unlock(mTable.mutex);
  }
  TableHold(const TableHold&) = delete;
  TableHold& operator=(const TableHold&) = delete;
  bool ok() const { return mHeld; }

 private:
  LinkTable& mTable;
  bool mHeld;
};

template <typename Match>
aLinkEntryPtr sFindLocked(LinkTable& table, Match match) {
  for (const aLinkEntryPtr& entry : table.entries) {
    if (match(*entry)) return entry;
  }
  return nullptr;
}

aLinkEntryPtr sFindByIdLocked(LinkTable& table, aLinkRef id) {
  if (id == 0) return nullptr;
  return sFindLocked(table, [id](const aLinkManagedEntry& e) { return e.id == id; });
}

bool sAddLocked(aLinkManagedEntry& entry, int16_t change) {
  int16_t& count = aLinkTableAccess::useCount(entry);
  const int32_t next = static_cast<int32_t>(count) + change;
  if (next > INT16_MAX || next < INT16_MIN) return false;
  count = static_cast<int16_t>(next);
  return true;
}

}  // namespace

aLinkRef sCreate(uint32_t ident0, uint32_t ident1, uint32_t type, aLink* link, aLinkRecordRelease release) {
  return sCreate2(ident0, ident1, 0, type, link, release);
}

aLinkRef sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type, aLink* link,
                  aLinkRecordRelease release) {
  // Memory is got before the table mutex is taken where it can be, and a record that
  // cannot be entered is released after the mutex is let go: a release function is
  // never run under the table mutex.
  std::list<aLinkEntryPtr> node;
  aLinkRef id = 0;
  try {
    node.emplace_back();
    LinkTable& table = sTable();
    TableHold hold(table);
    // An exhausted counter refuses: ids are never given out twice.
    if (hold.ok() && table.nextId != 0) {
      node.front() = std::make_shared<aLinkManagedEntry>(table.nextId, ident0, ident1, ident2, type, link, release);
      table.entries.splice(table.entries.begin(), node);
      id = table.nextId++;
    }
  } catch (...) {
    id = 0;
  }
  if (id == 0 && link != nullptr && release != nullptr) release(link);
  return id;
}

aLinkEntryPtr sLookupEntryByID(aLinkRef id) {
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return nullptr;
  return sFindByIdLocked(table, id);
}

aLinkEntryPtr sLookupEntryByIdentifier(uint32_t ident0, uint32_t type) {
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return nullptr;
  return sFindLocked(table, [=](const aLinkManagedEntry& e) { return e.ident0 == ident0 && e.type == type; });
}

aLinkEntryPtr sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return nullptr;
  return sFindLocked(table, [=](const aLinkManagedEntry& e) {
    return e.ident0 == ident0 && e.ident1 == ident1 && e.ident2 == ident2;
  });
}

aLinkEntryPtr sExtractEntry(aLinkRef id) {
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok() || id == 0) return nullptr;
  for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
    if ((*it)->id == id) {
      aLinkEntryPtr entry = std::move(*it);
      table.entries.erase(it);
      table.removals++;
      return entry;   // the caller holds it, so nothing is freed under the mutex
    }
  }
  return nullptr;
}

aErr sChangeUseCount(const aLinkEntryPtr& entry, int16_t change, int16_t* count) {
  if (!entry) return aErrParam;
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return aErrResource;
  if (!sAddLocked(*entry, change)) return aErrRange;
  if (count != nullptr) *count = aLinkTableAccess::useCount(*entry);
  return aErrNone;
}

int16_t sGetUseCount(const aLinkEntryPtr& entry) {
  if (!entry) return 0;
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return 0;
  return aLinkTableAccess::useCount(*entry);
}

aLinkEntryPtr sRetainEntryByIdentifier(uint32_t ident0, uint32_t type, bool refuseServed) {
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return nullptr;
  aLinkEntryPtr entry =
      sFindLocked(table, [=](const aLinkManagedEntry& e) { return e.ident0 == ident0 && e.type == type; });
  if (!entry) return nullptr;
  if (refuseServed && entry->server.load() != nullptr) return entry;
  return sAddLocked(*entry, 1) ? entry : nullptr;
}

aLinkEntryPtr sRetainEntryByID(aLinkRef id) {
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return nullptr;
  aLinkEntryPtr entry = sFindByIdLocked(table, id);
  if (!entry) return nullptr;
  return sAddLocked(*entry, 1) ? entry : nullptr;
}

aErr sReleaseUse(aLinkRef id, aLinkEntryPtr* extracted) {
  if (extracted != nullptr) extracted->reset();
  aLinkEntryPtr dropped;   // declared first: a last reference goes after the mutex is let go
  LinkTable& table = sTable();
  TableHold hold(table);
  if (!hold.ok()) return aErrResource;
  for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
    if ((*it)->id != id) continue;
    int16_t& count = aLinkTableAccess::useCount(**it);
    if (count > INT16_MIN) count--;
    if (count <= 0) {
      dropped = std::move(*it);
      table.entries.erase(it);
      table.removals++;
      if (extracted != nullptr) *extracted = dropped;
    }
    return aErrNone;
  }
  return aErrParam;
}

std::shared_ptr<aLink> sGetLink(aLinkRef id) {
  // Every operation on a link starts here, once per packet put: a thread keeps the
  // record it found last, weakly (a released link is not kept alive by it), and takes
  // it again without the table mutex while no entry has left the table since.
  struct Last {
    aLinkRef id = 0;
    uint64_t removals = 0;
    std::weak_ptr<aLink> link;
  };
  thread_local Last last;
  LinkTable& table = sTable();
  const uint64_t removals = table.removals.load();
  if (id != 0 && last.id == id && last.removals == removals) {
    std::shared_ptr<aLink> link = last.link.lock();
    if (link) return link;
  }
  aLinkEntryPtr entry = sLookupEntryByID(id);
  if (!entry || entry->link == nullptr) return nullptr;
  // Shares the entry's ownership: the record lives as long as this pointer.
  std::shared_ptr<aLink> link(entry, entry->link);
  last.id = id;
  last.removals = removals;
  last.link = link;
  return link;
}

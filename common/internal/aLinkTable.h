#pragma once
// The process-wide table of core links: link ids mapped to their entries (identity,
// use count, attached link server, link record), newest first. Ids start at 1, rise by
// 1 per entry and are never given out again.
//
// Entries are held through shared ownership: an entry found by a look-up stays valid
// memory, link record included, for as long as the caller holds the pointer, even when
// another thread extracts it meanwhile. The table mutex is held only inside each
// operation below, never across a call into the link engine, a stream or a server.
//
// Internal to the core: callers outside it hold links by id through common/aLink.h.
#include <atomic>
#include <cstdint>
#include <memory>
#include "common/aErr.h"
#include "common/aLink.h"

struct aLink;     // the link record, defined by the link engine
struct aServer;   // a link server

// Identity word 0 of a link over a caller's own stream (type 0).
#define aLINK_IDENT_STREAM 0xFFFFFFFFu

// Frees a link record; runs once, when the last holder of its entry lets go.
typedef void (*aLinkRecordRelease)(aLink* link);

struct aLinkManagedEntry {
  aLinkManagedEntry(aLinkRef id, uint32_t ident0, uint32_t ident1, uint32_t ident2,
                    uint32_t type, aLink* link, aLinkRecordRelease release);
  ~aLinkManagedEntry();
  aLinkManagedEntry(const aLinkManagedEntry&) = delete;
  aLinkManagedEntry& operator=(const aLinkManagedEntry&) = delete;

  const aLinkRef id;
  // For a client link made in front of a link server: the device link behind it; else 0.
  std::atomic<uint32_t> linkedId;
  // The link server attached to this device link, or null.
  std::atomic<aServer*> server;
  const uint32_t ident0;
  const uint32_t ident1;
  const uint32_t ident2;
  const uint32_t type;    // linkType value
  // Owned by the entry; freed by release when the entry itself goes.
  aLink* const link;

 private:
  friend struct aLinkTableAccess;
  int16_t useCount;       // only under the table mutex: see sChangeUseCount
  const aLinkRecordRelease release;
};

typedef std::shared_ptr<aLinkManagedEntry> aLinkEntryPtr;

// Adds a new entry at the head with the next id and returns the id, 0 when memory is
// exhausted. The entry takes ownership of link (which may be null) in every case: on
// failure it is released at once. The use count starts at 0. sCreate is sCreate2 with
// ident2 = 0.
aLinkRef sCreate(uint32_t ident0, uint32_t ident1, uint32_t type, aLink* link,
                 aLinkRecordRelease release);
aLinkRef sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type,
                  aLink* link, aLinkRecordRelease release);

// The entry with that id, or null (also for id 0).
aLinkEntryPtr sLookupEntryByID(aLinkRef id);
// The newest entry with that ident0 and type, or null.
aLinkEntryPtr sLookupEntryByIdentifier(uint32_t ident0, uint32_t type);
// The newest entry with those three identity words, whatever its type, or null.
aLinkEntryPtr sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);
// Unlinks the entry with that id and returns it (null when there is none). The entry
// and its link record are freed when the last holder lets go.
aLinkEntryPtr sExtractEntry(aLinkRef id);

// Adds change to the use count under the table mutex; *count (when given) receives the
// new value. aErrParam for a null entry; aErrRange when the count would leave the
// signed 16-bit range (nothing changes).
aErr sChangeUseCount(const aLinkEntryPtr& entry, int16_t change, int16_t* count = nullptr);
int16_t sGetUseCount(const aLinkEntryPtr& entry);

// For link creation, in one hold of the table mutex: finds the newest entry with ident0
// and type; when refuseServed is set and a server is attached, returns it unchanged
// (the caller tests entry->server); otherwise raises its use count and returns it.
// Null when there is no such entry or the count cannot be raised.
aLinkEntryPtr sRetainEntryByIdentifier(uint32_t ident0, uint32_t type, bool refuseServed);
// As above for the entry with that id (no server test).
aLinkEntryPtr sRetainEntryByID(aLinkRef id);
// For link release, in one hold of the table mutex: lowers the use count of entry id
// by 1; when it falls to 0 or below the entry is extracted and handed back through
// *extracted (left null otherwise). aErrParam for an unknown id.
aErr sReleaseUse(aLinkRef id, aLinkEntryPtr* extracted);

// The link record of the entry with that id, or null; the pointer keeps the entry alive.
std::shared_ptr<aLink> sGetLink(aLinkRef id);

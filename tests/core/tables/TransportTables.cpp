// A transport's two tables as its files write them: the stream operations and the link
// creation. CTest compiles this file with the core library's own flags (see
// tests/core/CMakeLists.txt): as it stands it must compile without a word, and with
// LEAVE_OUT_STREAM_MEMBER or LEAVE_OUT_LINK_MEMBER one table stops a member short, as a
// transport that forgot its last member would, and the compile must fail.
#include "common/aStream.h"
#include "common/internal/aLinkInternal.h"

namespace {

aErr get(uint8_t*, void*) { return aErrNone; }
aErr put(const uint8_t*, void*) { return aErrNone; }
aErr write(const uint8_t*, uint64_t, void*) { return aErrNone; }
aErr del(void*) { return aErrNone; }
bool pending(const void*) { return false; }
int waitDescriptor(const void*) { return -1; }
uint64_t connection(const void*) { return 1; }

aErr make(const aLinkManagedEntry&, void*, aStream**) { return aErrNone; }
aErr remake(const aLinkManagedEntry&, aStream**) { return aErrNone; }

}  // namespace

// Whichever member a transport forgets, its list is one entry short at the end: the
// last member is the one left without an initializer.
#ifdef LEAVE_OUT_STREAM_MEMBER
extern const aStreamOps kOps = {get, put, write, del, pending, waitDescriptor, /*promptWrites*/ false};
#else
extern const aStreamOps kOps = {get, put, write, del, pending, waitDescriptor, /*promptWrites*/ false, connection};
#endif

#ifdef LEAVE_OUT_LINK_MEMBER
extern const aLinkTransport kTransport = {make};
#else
extern const aLinkTransport kTransport = {make, remake};
#endif

#pragma once
// Helpers shared by the link tests that run against the simulated module.
#include <arpa/inet.h>

#include <functional>

#include "common/aLink.h"
#include "common/unix/aTime.h"
#include "tests/sim/SimDevice.h"

namespace linktest {

inline bool waitFor(const std::function<bool()>& cond, int timeoutMs = 3000) {
  const aTime end = aTime_GetMonotonicMSTicks() + static_cast<aTime>(timeoutMs);
  while (!cond()) {
    if (aTime_GetMonotonicMSTicks() >= end) return false;
    aTime_MSSleep(2);
  }
  return true;
}

inline uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

inline bool isSync(const devsim::WirePacket& p) { return p.address == 0xAD && p.data.empty(); }
inline bool isRoute(const devsim::WirePacket& p, uint8_t on) {
  return p.address == 0xAF && p.data.size() == 1 && p.data[0] == on;
}

struct ModelReply {
  uint8_t address;
};
inline uint8_t matchModelReply(const aPacket* p, void* ref) {
  const ModelReply* m = static_cast<const ModelReply*>(ref);
  return p->address == m->address && p->dataSize == 4 && p->data[0] == 0x03 && p->data[1] == 0x08;
}

// Sends the system entity's model query and returns the model, or -1 without a reply.
inline int queryModel(aLinkRef id, uint8_t address, uint64_t timeoutMs = 2000) {
  const uint8_t request[] = {0x03, 0x48, 0x20};
  aPacket* q = aPacket_CreateWithData(address, 3, request);
  if (q == nullptr) return -1;
  const aErr put = aLink_PutPacket(id, q);
  aPacket_Destroy(&q);
  if (put != aErrNone) return -1;
  ModelReply m{address};
  aPacket* r = aLink_AwaitFirst(id, matchModelReply, &m, timeoutMs);
  if (r == nullptr) return -1;
  const int model = r->data[3];
  aPacket_Destroy(&r);
  return model;
}

// A packet written while the device's close or reset is still on its way is lost with
// the old connection, as on any TCP link; the query is asked again then.
inline int queryModelAfterReconnect(aLinkRef id, uint8_t address) {
  int model = -1;
  for (int attempt = 0; attempt < 3 && model < 0; attempt++) model = queryModel(id, address, 700);
  return model;
}

inline uint8_t acceptAll(const aPacket*, void*) { return 1; }

}  // namespace linktest

// libFuzzer target: the packets a device sends after a request, as the link server's
// worker matches them into the request's answer (common/server/aServerReply.h). A model
// of the target's own, written from the rule, says which packets the answer is: the
// first packet that answers the request (from the module it went to, with its command,
// and for UEI requests its option code and entity index; for a sync request, a packet
// without data) and, while the packet taken announces more (a full UEI chunk with the
// continue flag), the next one that answers it; nothing when the run passes 1024 packets.
// The packets stand in the order the device sent them, as the device link's incoming
// packets do; a packet taken is gone, the others stay for the next look.
//
// Input: the request [address][length][data], then the device's packets the same way
// (lengths above 28 are cut to 28; a packet cut short by the end is dropped).
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <set>
#include <vector>

#include "common/aPacket.h"
#include "common/server/aServer.h"
#include "common/server/aServerReply.h"

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool ok) {
  if (!ok) std::abort();
}

bool isUeiPayload(const Bytes& p) {
  static const std::set<uint8_t> notUei = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  return p.size() > 2 && notUei.count(p[2]) == 0;
}

bool announcesMore(const Bytes& p) {
  const size_t n = p.size() - 2;
  return isUeiPayload(p) && (n == 27 || n == 28) && (p.back() & 0x80) != 0;
}

bool answers(const Bytes& request, const Bytes& p) {
  if (request[0] == 0xAD) return p.size() == 2;
  if (p[0] != request[0]) return false;
  if (request.size() == 2) return true;
  if (p.size() == 2 || p[2] != request[2]) return false;
  const bool uei = request.size() >= 5 && isUeiPayload(request);
  if (uei && p.size() >= 5 && ((p[3] & 0x3F) != (request[3] & 0x3F) || (p[4] & 0x1F) != (request[4] & 0x1F)))
    return false;
  return true;
}

bool takePacket(const uint8_t* data, size_t size, size_t* at, Bytes* out) {
  if (*at + 2 > size) return false;
  const size_t n = data[*at + 1] > 28 ? 28 : data[*at + 1];
  if (*at + 2 + n > size) return false;
  out->assign({data[*at], static_cast<uint8_t>(n)});
  out->insert(out->end(), data + *at + 2, data + *at + 2 + n);
  *at += 2 + n;
  return true;
}

Bytes wire(const aPacket& p) {
  Bytes b = {p.address, p.dataSize};
  b.insert(b.end(), p.data, p.data + p.dataSize);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  Bytes request;
  if (!takePacket(data, size, &at, &request)) return 0;
  std::deque<Bytes> sent;
  Bytes p;
  while (takePacket(data, size, &at, &p)) sent.push_back(p);

  // The model.
  std::vector<Bytes> expected;
  {
    std::deque<Bytes> left = sent;
    bool more = true;
    while (more) {
      auto it = left.begin();
      while (it != left.end() && !answers(request, *it)) ++it;
      if (it == left.end()) break;
      expected.push_back(*it);
      more = announcesMore(*it);
      left.erase(it);
      if (more && expected.size() >= aSERVER_MAX_CONTINUED) {
        expected.clear();
        break;
      }
    }
  }

  // The worker's matching, over the same packets.
  std::deque<Bytes> queue = sent;
  const aserver::aServerAwait await = [&queue](aPacketFilterProc match, void* reference, uint64_t) -> aPacket* {
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      aPacket candidate;
      check(aPacket_Fill(&candidate, (*it)[0], (*it)[1], it->data() + 2) == aErrNone);
      if (match(&candidate, reference) == 0) continue;
      queue.erase(it);
      return aPacket_Copy(&candidate);
    }
    return nullptr;
  };
  aPacket* asked = aPacket_CreateWithData(request[0], request[1], request.data() + 2);
  check(asked != nullptr);
  bool overran = false;
  const std::vector<aPacket> got = aserver::_collectReply(asked, await, &overran);
  aPacket_Destroy(&asked);
  std::vector<Bytes> gotBytes;
  for (const aPacket& r : got) gotBytes.push_back(wire(r));
  check(gotBytes == expected);
  check(!overran || got.empty());
  return 0;
}

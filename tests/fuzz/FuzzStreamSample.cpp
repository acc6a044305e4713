// libFuzzer target: stream sample packets as a streaming Link's filter meets them on the
// reader thread. Their classification and decoding are checked against a decoder of the
// target's own, written from the sample table (stream packet test, type, exact length,
// timestamp, value, subindex), and the filter's work on the Link's stream map against a
// model of its rules: every stream packet of a known type is consumed and nothing else;
// the exact entry of the sample's key, and every registration its wildcards cover, get
// a callback job (a job per covering pattern) carrying the sample; a valid sample
// refreshes the exact entry's value, or makes that entry when only registrations cover
// it; nothing else in the map changes.
//
// Input: a count byte, then that many entries of the map (module, command, option,
// index, subindex, flags: bit 0 a callback, bit 1 fresh), then packets, each an address
// byte, a length byte (0 to 28) and the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "api/Link.h"
#include "api/LinkImpl.h"
#include "common/aPacket.h"
#include "tests/fuzz/FuzzPackets.h"

using Quenlark::Tallowick::Link;
using Quenlark::Tallowick::StreamEntry;
using Quenlark::Tallowick::StreamWorker;
using Quenlark::Tallowick::asyncPacket;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The sample table, on its own.
struct Sample {
  bool stream = false;    // a stream packet at all
  int type = 0;           // 0: none the filter knows; 1 to 7
  bool valid = false;     // a sample of a value type with its exact length
  uint8_t subindex = 0;
  uint64_t timestamp = 0;
  uint32_t value = 0;
};

bool notUei(uint8_t command) {
  switch (command) {
    case 0x00: case 0x01: case 0x02: case 0x04: case 0x08: case 0x09: case 0x17:
    case 0x18: case 0x49: case 0x5E: case 0x5F: case 0xAD: case 0xAF:
      return true;
    default:
      return false;
  }
}

uint32_t bigEndian(const uint8_t* d, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; i++) v = v << 8 | d[i];
  return v;
}

Sample decode(const aPacket& p) {
  Sample s;
  const uint8_t* d = p.data;
  const unsigned n = p.dataSize;
  s.stream = n > 4 && !notUei(d[0]) && (d[1] & 0xC0) == 0 && (d[2] & 0x40) != 0;
  if (!s.stream) return s;
  if (d[n - 1] != 0) {
    s.type = 4;
    return s;
  }
  if (d[3] < 1 || d[3] > 7) return s;
  s.type = d[3];
  static const unsigned lengths[8] = {0, 14, 15, 17, 0, 15, 16, 18};
  static const int widths[8] = {0, 1, 2, 4, 0, 1, 2, 4};
  s.valid = lengths[s.type] != 0 && n == lengths[s.type];
  if (!s.valid) return s;
  const bool sub = s.type >= 5;
  const unsigned at = sub ? 5 : 4;
  s.subindex = sub ? d[4] : 0;
  s.timestamp = static_cast<uint64_t>(bigEndian(d + at, 4)) << 32 | bigEndian(d + at + 4, 4);
  s.value = bigEndian(d + at + 8, widths[s.type]);
  return s;
}

uint64_t keyOf(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(module) << 24 |
         static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

struct ModelEntry {
  bool callback;
  uint8_t fresh;
  uint32_t value;
  size_t name;   // which entry's callback a job carries
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static Link owner("fuzz");
  Link::impl state(owner, nullptr);
  // The worker's queue without its thread: the jobs the filter queues stay for the check.
  state.worker = std::make_shared<StreamWorker>();
  std::map<uint64_t, ModelEntry> model;
  size_t at = 1;
  for (unsigned n = data[0] % 16; n > 0 && at + 6 <= size; n--, at += 6) {
    const uint64_t key = keyOf(data[at], data[at + 1], data[at + 2], data[at + 3], data[at + 4]);
    if (state.streams.count(key) != 0) continue;
    const bool callback = (data[at + 5] & 1) != 0;
    const size_t name = model.size() + 1;
    StreamEntry entry;
    entry.key = key;
    entry.fresh = (data[at + 5] & 2) != 0 ? 1 : 0;
    entry.value = 0x5EED0000u + static_cast<uint32_t>(name);
    entry.ref = reinterpret_cast<void*>(name);
    if (callback) entry.callback = [](const aPacket*, void*) -> uint8_t { return 0; };
    state.streams.emplace(key, std::move(entry));
    model[key] = ModelEntry{callback, static_cast<uint8_t>((data[at + 5] & 2) != 0 ? 1 : 0),
                            0x5EED0000u + static_cast<uint32_t>(name), name};
  }

  while (at + 2 <= size) {
    aPacket* packet = fuzzinput::takePacket(data, size, at);
    if (packet == nullptr) continue;
    const uint8_t address = packet->address;
    const Sample expect = decode(*packet);

    // Classification and decoding.
    Link::STREAM_PACKET type = Link::STREAM_PACKET_U8;
    check(Link::isStreamPacket(packet) == expect.stream);
    check(Link::getStreamPacketType(packet, &type) == (expect.type != 0));
    check(static_cast<int>(type) == expect.type);
    check(Link::isStreamSample(packet) == expect.valid);
    uint64_t timestamp = 1;
    uint32_t value = 2;
    uint8_t subindex = 3;
    const aErr e = Link::getStreamSample(packet, &timestamp, &value, &subindex);
    if (expect.valid) {
      check(e == aErrNone && timestamp == expect.timestamp && value == expect.value && subindex == expect.subindex);
    } else {
      check(e == (expect.type == 4 ? aErrSize : aErrPacket) && timestamp == 1 && value == 2 && subindex == 3);
    }

    // The filter, against the model of its rules.
    std::map<size_t, int> jobs;   // expected jobs by entry name
    if (expect.type != 0) {
      const uint8_t* d = packet->data;
      const uint8_t sub = expect.type >= 5 ? d[4] : 0;
      const uint64_t key = keyOf(address, d[0], d[1] & 0x3F, d[2] & 0x1F, sub);
      auto exact = model.find(key);
      if (exact != model.end()) {
        if (exact->second.callback) jobs[exact->second.name]++;
        if (expect.valid) {
          exact->second.value = expect.value;
          exact->second.fresh = 1;
        }
      }
      bool covered = false;
      for (unsigned j = 1; j <= 15; j++) {
        uint64_t mask = 0;
        if (j & 1) mask |= 0xFFull;
        if (j & 2) mask |= 0xFF00ull;
        if (j & 4) mask |= 0xFF0000ull;
        if (j & 8) mask |= 0xFF00000000ull;
        auto pattern = model.find(key | mask);
        if (pattern == model.end() || pattern == exact) continue;
        if (pattern->second.callback) jobs[pattern->second.name]++;
        covered = true;
      }
      if (exact == model.end() && covered && expect.valid) model[key] = ModelEntry{false, 1, expect.value, 0};
    }
    check(Link::linkStreamFilter(packet, &state) == (expect.type != 0 ? 1 : 0));
    asyncPacket job;
    while (state.worker->queue.pop(&job)) {
      const size_t name = reinterpret_cast<size_t>(job.ref);
      check(job.callback && jobs[name]-- > 0);
      check(job.packet != nullptr && job.packet->address == packet->address &&
            job.packet->dataSize == packet->dataSize &&
            std::memcmp(job.packet->data, packet->data, packet->dataSize) == 0);
      aPacket_Destroy(&job.packet);
      job = asyncPacket();
    }
    for (const auto& left : jobs) check(left.second == 0);
    aPacket_Destroy(&packet);

    check(state.streams.size() == model.size());
    for (const auto& entry : state.streams) {
      auto m = model.find(entry.first);
      check(m != model.end() && entry.second.key == entry.first);
      check(static_cast<bool>(entry.second.callback) == m->second.callback);
      check(entry.second.fresh == m->second.fresh && entry.second.value == m->second.value);
    }
  }
  return 0;
}

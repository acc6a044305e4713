// libFuzzer target: the stream object's readers and its unget ring, over a transport
// scripted by the input (bytes, "not ready", end of data, failures), checked against a
// model of the target's own: the bytes not yet read (the ring, then the script) must
// come out exactly once and in order, and a read cut short by "not ready" loses nothing.
//
// Input: a script length byte pair, the script, then operations until the input ends.
// Script events: a byte 0xF0 followed by a byte v is the data byte v; 0xF1 "not ready";
// 0xF2 end of data; 0xF3 a failure; any other byte is itself as data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/aStream.h"

namespace {

enum Kind : uint8_t { kByte, kNotReady, kEnd, kFailure };
struct Event {
  Kind kind;
  uint8_t value;
};

struct Script {
  std::vector<Event> events;
  size_t next = 0;
};

aErr scriptedGet(uint8_t* byte, void* reference) {
  Script* script = static_cast<Script*>(reference);
  if (script->next >= script->events.size()) return aErrNotReady;
  const Event e = script->events[script->next++];
  switch (e.kind) {
    case kByte: *byte = e.value; return aErrNone;
    case kNotReady: return aErrNotReady;
    case kEnd: return aErrEOF;
    default: return aErrIO;
  }
}

// What the model says a read of n bytes does: the ring first, then the script.
struct Model {
  std::deque<uint8_t> ring;
  Script* script;

  // Takes bytes as aStream_Read does; result and the bytes handed out.
  aErr read(size_t n, std::vector<uint8_t>& out) {
    std::vector<uint8_t> taken;
    aErr result = aErrNone;
    while (taken.size() < n) {
      if (!ring.empty()) {
        taken.push_back(ring.front());
        ring.pop_front();
        continue;
      }
      uint8_t b = 0;
      result = scriptedGet(&b, script);
      if (result != aErrNone) break;
      taken.push_back(b);
    }
    out.clear();
    if (result == aErrNone || result == aErrEOF) out = taken;
    if (result == aErrNotReady) ring.insert(ring.begin(), taken.begin(), taken.end());
    return result;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t scriptLength = static_cast<size_t>(data[0]) << 8 | data[1];
  size_t at = 2;
  if (scriptLength > size - at) scriptLength = size - at;
  Script script;
  for (size_t end = at + scriptLength; at < end; at++) {
    const uint8_t b = data[at];
    if (b == 0xF0 && at + 1 < end) script.events.push_back({kByte, data[++at]});
    else if (b == 0xF1) script.events.push_back({kNotReady, 0});
    else if (b == 0xF2) script.events.push_back({kEnd, 0});
    else if (b == 0xF3) script.events.push_back({kFailure, 0});
    else script.events.push_back({kByte, b});
  }
  // Two copies of the transport: one behind the stream, one the model reads.
  Script modelScript = script;
  Model model{{}, &modelScript};
  aStream* stream = aStream_Create(scriptedGet, nullptr, nullptr, nullptr, &script);
  if (stream == nullptr) return 0;

  while (at + 1 < size) {
    const uint8_t op = data[at++];
    const uint8_t arg = data[at++];
    switch (op % 4) {
      case 0: {  // read exactly arg bytes (0..255), or a long read
        const size_t n = arg == 255 ? 1000 : arg;
        std::vector<uint8_t> buffer(n + 1, 0xAA), want;
        const aErr got = aStream_Read(stream, buffer.data(), n);
        const aErr expected = model.read(n, want);
        if (got != expected) std::abort();
        if ((got == aErrNone || got == aErrEOF) && !want.empty() &&
            std::memcmp(buffer.data(), want.data(), want.size()) != 0)
          std::abort();
        if (got == aErrNotReady && buffer[0] != 0xAA && n > 0) std::abort();  // nothing copied
        if (buffer[n] != 0xAA) std::abort();
        break;
      }
      case 1: {  // push back arg bytes taken from the input
        const size_t n = arg < size - at ? arg : size - at;
        if (aStream_UngetBytes(stream, data + at, n) != aErrNone) std::abort();
        model.ring.insert(model.ring.end(), data + at, data + at + n);
        at += n;
        break;
      }
      case 2: {  // a record ended by one byte, into a buffer of (arg % 40) + 1 bytes
        if (at >= size) break;
        const uint8_t terminator = data[at++];
        const size_t capacity = (arg % 40) + 1;
        std::vector<uint8_t> buffer(capacity + 1, 0xAA);
        uint64_t length = 12345;
        const aErr got = aStream_ReadRecord(stream, buffer.data(), &length, capacity, &terminator, 1);
        // The model: bytes one at a time until the terminator or a full buffer.
        std::vector<uint8_t> stored, taken;
        aErr expected = aErrNone;
        for (;;) {
          std::vector<uint8_t> one;
          expected = model.read(1, one);
          if (expected != aErrNone) break;
          taken.push_back(one[0]);
          if (one[0] == terminator) break;
          stored.push_back(one[0]);
          if (stored.size() >= capacity) break;
        }
        if (expected == aErrNotReady) {
          model.ring.insert(model.ring.begin(), taken.begin(), taken.end());
        } else if (expected == aErrEOF) {
          expected = stored.empty() ? aErrEOF : aErrNone;
        }
        if (got != expected) std::abort();
        if (got == aErrNone && (length != stored.size() ||
                                (!stored.empty() && std::memcmp(buffer.data(), stored.data(), stored.size()))))
          std::abort();
        if (buffer[capacity] != 0xAA) std::abort();
        break;
      }
      default: {  // a record ended by a text of up to three bytes: bounds only
        const size_t n = 1 + arg % 3;
        if (size - at < n) {
          at = size;
          break;
        }
        const std::string terminator(reinterpret_cast<const char*>(data + at), n);
        at += n;
        const size_t capacity = 1 + (arg >> 2) % 32;
        std::vector<uint8_t> buffer(capacity + 1, 0xAA);
        uint64_t length = 0;
        const aErr got = aStream_ReadRecord(stream, buffer.data(), &length, capacity, terminator.data(), n);
        if (got == aErrNone && length > capacity) std::abort();
        if (buffer[capacity] != 0xAA) std::abort();
        // The model loses track of which bytes went where: it follows the stream again.
        model.ring.clear();
        for (uint64_t i = aStream_UngetCount(stream); i > 0; i--) {
          uint8_t b = 0;
          if (aStream_Read(stream, &b, 1) != aErrNone) std::abort();
          model.ring.push_back(b);
        }
        if (aStream_UngetBytes(stream, std::vector<uint8_t>(model.ring.begin(), model.ring.end()).data(),
                               model.ring.size()) != aErrNone)
          std::abort();
        modelScript.next = script.next;
        break;
      }
    }
    if (aStream_UngetCount(stream) != model.ring.size()) std::abort();
  }
  aStream_Destroy(&stream);
  return 0;
}

// The packet log ring: its record format byte by byte, where records wrap, which
// records give way to new ones, and the limits that keep the ring readable.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/log/aPacketLog.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct LogDeleter {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

LogPtr makeLog(uint32_t size) { return LogPtr(aPacketLog_Create(size)); }

Bytes counting(size_t n, uint8_t first = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

aErr put(aPacketLog* log, uint8_t tag, const Bytes& bytes) {
  return aPacketLog_Put(log, tag, static_cast<uint32_t>(bytes.size()), bytes.data());
}

struct Record {
  uint32_t tag;
  Bytes bytes;
};

// Takes every record out, oldest first.
std::vector<Record> drain(aPacketLog* log) {
  std::vector<Record> out;
  for (;;) {
    uint8_t buffer[256];
    uint32_t tag = 0, length = sizeof buffer;
    const aErr e = aPacketLog_Get(log, &tag, &length, buffer);
    if (e == aErrNotFound) return out;
    EXPECT_EQ(e, aErrNone);
    if (e != aErrNone) return out;
    out.push_back({tag, Bytes(buffer, buffer + length)});
  }
}

TEST(PacketLog, RecordsAreTagLengthBytesAndWrapAtTheEnd) {
  LogPtr log = makeLog(16);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->enabled.load(), 0);
  ASSERT_EQ(put(log.get(), 1, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5}), aErrNone);
  // 7 bytes used, 9 free: a 9-byte record (11 with tag and length) drops the first one
  // and runs past the end of the buffer.
  ASSERT_EQ(put(log.get(), 2, counting(9)), aErrNone);
  const Bytes ring(log->data, log->data + 16);
  EXPECT_EQ(ring, (Bytes{0x08, 0x09, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x02, 0x09, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                         0x07}))
      << "the first record's bytes are overwritten only where the new one reached";
  EXPECT_EQ(log->readIndex, 7u);
  EXPECT_EQ(log->writeIndex, 2u);
  const auto records = drain(log.get());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].tag, 2u);
  EXPECT_EQ(records[0].bytes, counting(9));
}

TEST(PacketLog, ARecordFitsOnlyWithOneByteToSpare) {
  struct Case {
    uint32_t size;
    uint32_t length;
    aErr result;
  } cases[] = {
      {16, 13, aErrNone},      // 15 bytes of 16
      {16, 14, aErrOverrun},   // 16 bytes would fill the ring: it would read as empty
      {3, 0, aErrNone},
      {2, 0, aErrOverrun},
      {1, 0, aErrOverrun},
      {1024, 255, aErrNone},
      // The length byte cannot say 256: taking it would misplace every later record.
      {1024, 256, aErrOverrun},
      {1024, 1000, aErrOverrun},
  };
  for (const Case& c : cases) {
    LogPtr log = makeLog(c.size);
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(put(log.get(), 3, {0x55}), c.size >= 4 ? aErrNone : aErrOverrun);
    const Bytes bytes = counting(c.length);
    EXPECT_EQ(put(log.get(), 1, bytes), c.result) << c.size << "/" << c.length;
    // A refused record leaves the ring as it was and readable.
    const auto records = drain(log.get());
    if (c.result == aErrNone) {
      ASSERT_FALSE(records.empty());
      EXPECT_EQ(records.back().bytes, bytes);
    } else {
      ASSERT_EQ(records.size(), c.size >= 4 ? 1u : 0u) << c.size << "/" << c.length;
      if (!records.empty()) {
        EXPECT_EQ(records[0].bytes, Bytes{0x55});
      }
    }
    EXPECT_EQ(put(log.get(), 2, {0x01, 0x02}) == aErrNone, c.size >= 5);
  }
}

TEST(PacketLog, AFullLogDropsTheOldestRecordsOnly) {
  LogPtr log = makeLog(65536);
  ASSERT_NE(log, nullptr);
  // 2047 records of 30 bytes take 65504 bytes: 32 stay free, one too few for another.
  for (uint32_t i = 0; i < 2047; i++) {
    Bytes b = counting(30);
    b[0] = static_cast<uint8_t>(i);
    b[1] = static_cast<uint8_t>(i >> 8);
    ASSERT_EQ(put(log.get(), 1, b), aErrNone);
  }
  const Bytes newest = counting(30, 0x80);
  ASSERT_EQ(put(log.get(), 2, newest), aErrNone);
  auto records = drain(log.get());
  ASSERT_EQ(records.size(), 2047u);
  EXPECT_EQ(records.front().bytes[0], 1) << "only record 0 gave way";
  EXPECT_EQ(records.front().bytes[1], 0);
  EXPECT_EQ(records[2045].bytes[0], static_cast<uint8_t>(2046));
  EXPECT_EQ(records[2045].bytes[1], static_cast<uint8_t>(2046 >> 8));
  EXPECT_EQ(records.back().tag, 2u);
  EXPECT_EQ(records.back().bytes, newest);

  // As many small records as needed give way, oldest first.
  LogPtr small = makeLog(16);
  ASSERT_NE(small, nullptr);
  for (uint8_t b : {0x11, 0x22, 0x33}) ASSERT_EQ(put(small.get(), 3, {b}), aErrNone);
  ASSERT_EQ(put(small.get(), 1, counting(10)), aErrNone);
  records = drain(small.get());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].bytes, Bytes{0x33});
  EXPECT_EQ(records[1].bytes, counting(10));
}

TEST(PacketLog, ReadingNeedsRoomForTheWholeRecord) {
  LogPtr log = makeLog(64);
  ASSERT_NE(log, nullptr);
  uint8_t buffer[64];
  uint32_t tag = 0, length = sizeof buffer;
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrNotFound);

  const Bytes record = counting(30);
  ASSERT_EQ(put(log.get(), 1, record), aErrNone);
  length = 4;
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 30u);
  length = 0;
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, nullptr), aErrOverrun);
  EXPECT_EQ(length, 30u);
  length = 64;
  ASSERT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrNone);
  EXPECT_EQ(tag, 1u);
  EXPECT_EQ(Bytes(buffer, buffer + length), record);
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrNotFound);

  // An empty record needs no buffer.
  ASSERT_EQ(aPacketLog_Put(log.get(), 3, 0, nullptr), aErrNone);
  length = 0;
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, nullptr), aErrNone);
  EXPECT_EQ(tag, 3u);
  EXPECT_EQ(length, 0u);
}

TEST(PacketLog, RefusesWhatItCannotUse) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  LogPtr log = makeLog(32);
  ASSERT_NE(log, nullptr);
  uint8_t buffer[8];
  uint32_t tag = 0, length = sizeof buffer;
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 1, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log.get(), 1, 1, nullptr), aErrParam);
  ASSERT_EQ(put(log.get(), 1, {0x01}), aErrNone);
  EXPECT_EQ(aPacketLog_Get(nullptr, &tag, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, nullptr, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, nullptr), aErrParam);
  EXPECT_EQ(drain(log.get()).size(), 1u);

  aPacketLog* raw = aPacketLog_Create(8);
  ASSERT_NE(raw, nullptr);
  raw->enabled = 1;
  EXPECT_EQ(aPacketLog_Destroy(&raw), aErrNone);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&raw), aErrNone);
  EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
}

}  // namespace

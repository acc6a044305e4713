// Packet logging of a core link: what the writer and reader threads record and when,
// the per-link operations and their limits, and a log that stays sound while it is
// read, written, enabled twice at once and reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "common/log/aLinkPacketDebug.h"
#include "tests/link/LinkFixtures.h"
#include "tests/link/ScriptedStream.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

using namespace linktest;
using Bytes = std::vector<uint8_t>;
using Writes = std::vector<std::vector<uint8_t>>;

struct Record {
  uint32_t tag;
  Bytes bytes;
  bool operator==(const Record& o) const { return tag == o.tag && bytes == o.bytes; }
};

std::ostream& operator<<(std::ostream& os, const Record& r) {
  os << "tag " << r.tag << ":";
  for (uint8_t b : r.bytes) os << " " << std::hex << int(b) << std::dec;
  return os;
}

// Every record the link's log holds now, oldest first.
std::vector<Record> readAll(aLinkRef id) {
  std::vector<Record> out;
  for (;;) {
    uint8_t buffer[256];
    uint32_t tag = 0, length = sizeof buffer;
    if (aLink_PacketDebug_Read(id, &tag, &length, buffer) != aErrNone) return out;
    out.push_back({tag, Bytes(buffer, buffer + length)});
  }
}

aErr writeText(aLinkRef id, const Bytes& bytes) {
  return aLink_PacketDebug_Write(id, 3, static_cast<uint32_t>(bytes.size()), bytes.data());
}

aErr put(aLinkRef id, uint8_t address, const Bytes& data) {
  aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
  if (p == nullptr) return aErrMemory;
  const aErr e = aLink_PutPacket(id, p);
  aPacket_Destroy(&p);
  return e;
}

class TcpPacketLog : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tcp.ok()); }
  void TearDown() override {
    if (id != 0) aLink_Destroy(&id);
  }
  void open() {
    id = aLink_CreateTCPIP(device.config().serial, loopback(), tcp.port());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return device.connections() == 1 && device.routeState() == 1; }));
  }

  devsim::Device device;
  devsim::TcpFrontEnd tcp{device};
  aLinkRef id = 0;
};

// The model query of module 4 and its answer (model 0x13), as the link saw them.
TEST_F(TcpPacketLog, RecordsAnExchangeInWireForm) {
  open();
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  ASSERT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(readAll(id), (std::vector<Record>{{1, {0x04, 0x03, 0x03, 0x48, 0x20}},
                                              {2, {0x04, 0x04, 0x03, 0x08, 0x00, 0x13}}}));
  // Disabled: nothing is recorded, the log stays; enabled again: recording goes on.
  ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
  ASSERT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_TRUE(readAll(id).empty());
  ASSERT_EQ(writeText(id, {'x'}), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  ASSERT_EQ(queryModel(id, 0x04), 0x13);
  EXPECT_EQ(readAll(id).size(), 3u) << "the text record kept across the enable";
}

// A heartbeat is recorded as it came in, before the answer the reader queues for it.
TEST_F(TcpPacketLog, AHeartbeatComesBeforeItsAnswer) {
  open();
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  devsim::Config c = device.config();
  c.heartbeatMs = 20;
  device.setConfig(c);
  ASSERT_TRUE(waitFor([&] { return device.heartbeats().answered >= 1; }));
  c.heartbeatMs = 0;
  device.setConfig(c);
  const auto records = readAll(id);
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0], (Record{2, {0x04, 0x02, 0x00, 0x00}}));
  // The next heartbeat may come in before the writer sends this answer (a loaded
  // machine holds the writer up for longer than the 20 ms between them): the answer
  // comes after its heartbeat, not necessarily next to it.
  const auto answer = std::find(records.begin(), records.end(), Record{1, {0x04, 0x02, 0x00, 0x02}});
  EXPECT_NE(answer, records.end()) << "the answer was never recorded";
}

// A reset releases the log: logging is off until it is enabled again.
TEST_F(TcpPacketLog, AResetEndsLogging) {
  open();
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 1024), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  ASSERT_EQ(writeText(id, {'a'}), aErrNone);
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  ASSERT_TRUE(waitFor([&] { return device.connections() == 2; }));
  uint32_t tag = 0, length = 8;
  uint8_t buffer[8];
  EXPECT_EQ(aLink_PacketDebug_Read(id, &tag, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 2048), aErrNone) << "no log: the size may change";
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(queryModelAfterReconnect(id, 0x04), 0x13);
  EXPECT_FALSE(readAll(id).empty());
}

class ScriptedPacketLog : public ::testing::Test {
 protected:
  void SetUp() override {
    id = aLink_Create(ScriptedStream::create(&script));
    ASSERT_NE(id, 0u);
    // The route-on packet has gone out before logging starts.
    ASSERT_TRUE(script->waitWrites([](const Writes& w) { return !w.empty(); }));
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  }
  void TearDown() override {
    script->setGate(true);
    if (id != 0) aLink_Destroy(&id);
  }

  std::shared_ptr<ScriptedStream> script;
  aLinkRef id = 0;
};

// An outgoing packet is in the log before its write completes; a pooled write records
// every packet it carries.
TEST_F(ScriptedPacketLog, OutgoingPacketsAreRecordedBeforeTheirWriteEveryOne) {
  script->setGate(false);
  ASSERT_EQ(put(id, 0x04, {0x0A}), aErrNone);
  ASSERT_TRUE(waitFor([&] { return script->writesStarted() == 2; }));
  EXPECT_EQ(readAll(id), (std::vector<Record>{{1, {0x04, 0x01, 0x0A}}})) << "while the write waits";

  ASSERT_EQ(aLink_EnablePooledPackets(id, 1), aErrNone);
  ASSERT_EQ(put(id, 0x04, {0x0B}), aErrNone);
  ASSERT_EQ(put(id, 0x06, {0x0C, 0x0D}), aErrNone);
  ASSERT_EQ(put(id, 0x04, {0x0E}), aErrNone);
  script->setGate(true);
  ASSERT_TRUE(script->waitWrites([](const Writes& w) { return w.size() == 3; }));
  EXPECT_EQ(script->writes()[2], (Bytes{0x04, 0x01, 0x0B, 0x06, 0x02, 0x0C, 0x0D, 0x04, 0x01, 0x0E})) << "pooled";
  EXPECT_EQ(readAll(id), (std::vector<Record>{{1, {0x04, 0x01, 0x0B}}, {1, {0x06, 0x02, 0x0C, 0x0D}},
                                              {1, {0x04, 0x01, 0x0E}}}));
}

uint8_t consumeAll(const aPacket*, void*) { return 1; }

// Incoming packets are recorded before any filter takes them.
TEST_F(ScriptedPacketLog, ConsumedPacketsAreRecordedToo) {
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeAll, nullptr), aErrNone);
  script->feed({0x04, 0x02, 0x11, 0x22});
  ASSERT_TRUE(waitFor([&] { return script->pendingInput() == 0; }));
  std::vector<Record> records;
  ASSERT_TRUE(waitFor([&] {
    for (const Record& r : readAll(id)) records.push_back(r);
    return !records.empty();
  }));
  EXPECT_EQ(records, (std::vector<Record>{{2, {0x04, 0x02, 0x11, 0x22}}}));
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(ScriptedPacketLog, SizesAndLimits) {
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 1024), aErrBusy) << "a log exists";
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000001), aErrParam);

  // A fresh link with a 16-byte log takes a 13-byte record, not a 14-byte one.
  std::shared_ptr<ScriptedStream> other;
  aLinkRef small = aLink_Create(ScriptedStream::create(&other));
  ASSERT_NE(small, 0u);
  // Its route-on packet goes out before logging starts.
  ASSERT_TRUE(other->waitWrites([](const Writes& w) { return !w.empty(); }));
  uint32_t tag = 0, length = 8;
  uint8_t buffer[256];
  EXPECT_EQ(aLink_PacketDebug_Disable(small), aErrNotReady) << "never logged";
  EXPECT_EQ(aLink_PacketDebug_Read(small, &tag, &length, buffer), aErrNotReady);
  EXPECT_EQ(writeText(small, {'x'}), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(small, 0x4000000), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(small, 16), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(small), aErrNone);
  EXPECT_EQ(writeText(small, Bytes(14, 'a')), aErrOverrun);
  EXPECT_EQ(writeText(small, Bytes(13, 'a')), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Write(small, 0x103, 0, nullptr), aErrNone) << "the low 8 bits of the tag";
  const auto records = readAll(small);
  ASSERT_EQ(records.size(), 1u) << "the 13-byte record gave way";
  EXPECT_EQ(records[0], (Record{3, {}}));
  aLink_Destroy(&small);

  // A negative size asks for the default of 65536 bytes: 255 records of 257 bytes fit.
  aLinkRef byDefault = aLink_Create(ScriptedStream::create(&other));
  ASSERT_NE(byDefault, 0u);
  ASSERT_TRUE(other->waitWrites([](const Writes& w) { return !w.empty(); }));
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(byDefault, -5), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(byDefault), aErrNone);
  for (int i = 0; i < 300; i++) ASSERT_EQ(writeText(byDefault, Bytes(255, static_cast<uint8_t>(i))), aErrNone);
  const auto kept = readAll(byDefault);
  ASSERT_EQ(kept.size(), 255u);
  EXPECT_EQ(kept.front().bytes[0], 45);
  aLink_Destroy(&byDefault);

  const aLinkRef unknown = 0x7FFFFFF0;
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 16), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(unknown, &tag, &length, buffer), aErrParam);
  EXPECT_EQ(writeText(unknown, {'x'}), aErrParam);
}

// Readers, writers, two enables at once and resets: no log in use is freed or lost.
TEST_F(TcpPacketLog, ReadWriteEnableAndResetAtOnce) {
  open();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; t++) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        uint8_t buffer[256];
        uint32_t tag = 0, length = sizeof buffer;
        aLink_PacketDebug_Read(id, &tag, &length, buffer);
        const uint8_t text[3] = {1, 2, 3};
        aLink_PacketDebug_Write(id, 3, sizeof text, text);
        aLink_PacketDebug_Enable(id);
      }
    });
  }
  for (int round = 0; round < 5; round++) {
    EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    queryModel(id, 0x04, 500);
    EXPECT_EQ(aLink_Reset(id), aErrNone);
  }
  stop = true;
  for (auto& t : threads) t.join();
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(queryModelAfterReconnect(id, 0x04), 0x13);
}

}  // namespace

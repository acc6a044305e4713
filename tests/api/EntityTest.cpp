// EntityClass: binding, byte-sequence reads, unsolicited values, store operations and
// the unit check.
#include <gtest/gtest.h>

#include <numeric>

#include "api/Entity.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

using devsim::model::kCmdSystem;

TEST(EntityUnbound, EveryDeviceOperationIsAResourceError) {
  EntityClass e;
  uint8_t v8;
  uint32_t v32;
  uint8_t buffer[4];
  uint64_t count;
  uint8_t n = 1;
  EXPECT_EQ(e.getIndex(), 0);
  EXPECT_EQ(e.sendPacket(3, 0, nullptr), aErrResource);
  EXPECT_EQ(e.receivePacket(buffer, &n, buffer), aErrResource);
  EXPECT_EQ(e.callUEI(1), aErrResource);
  EXPECT_EQ(e.setUEI8(1, 1), aErrResource);
  EXPECT_EQ(e.setUEI32(1, 2, 1), aErrResource);
  EXPECT_EQ(e.setUEIBytes(1, buffer, 4), aErrResource);
  EXPECT_EQ(e.getUEI8(1, &v8), aErrResource);
  EXPECT_EQ(e.getUEI32(39, 1, &v32), aErrResource);
  EXPECT_EQ(e.getUEIBytes(1, buffer, sizeof buffer, &count), aErrResource);
  EXPECT_EQ(e.awaitUEI32Val(1, &v32, 0), aErrResource);
  EXPECT_EQ(e.drainUEI(1), aErrResource);
  EXPECT_EQ(e.saveEntityToStore(), aErrResource);
  EXPECT_EQ(e.setStreamEnabled(true), aErrResource);
  // Null outputs come first.
  EXPECT_EQ(e.getUEI8(1, nullptr), aErrParam);
  EXPECT_EQ(e.getUEIBytes(1, buffer, 0, &count), aErrParam);
  EXPECT_EQ(e.awaitUEI32Val(1, nullptr, 0), aErrParam);
}

TEST(EntityUnits, ByteCountToUnits) {
  struct Case {
    uint64_t count, unit;
    aErr result;
    uint64_t after;
  } cases[] = {{8, 4, aErrNone, 2}, {6, 4, aErrMemory, 6}, {0, 0, aErrNone, 0},
               {3, 0, aErrMemory, 3}, {5, 1, aErrNone, 5}};
  for (const auto& c : cases) {
    uint64_t count = c.count;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, c.unit), c.result) << c.count << "/" << c.unit;
    EXPECT_EQ(count, c.after);
  }
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 1), aErrParam);
}

class Entity : public ConnectedFixture {
 protected:
  void SetUp() override {
    ConnectedFixture::SetUp();
    sys.init(&module, kCmdSystem, 0);
    devsim::model::OptionSpec blob;
    blob.option = 50;
    blob.kind = devsim::model::Kind::Bytes;
    blob.maxBytes = 8192;
    front->setOption(blob);
  }
  void script(std::vector<Bytes> replies) {
    network->setIntercept([=](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
      if (in.data.size() < 2 || in.data[0] != 3 || in.data[1] != 0x72) return false;
      for (const auto& r : replies) out.push_back(devsim::WirePacket{in.address, r});
      return true;
    });
  }
  EntityClass sys;
};

TEST_F(Entity, LongByteSequencesBothWays) {
  for (size_t length : {size_t(0), size_t(24), size_t(25), size_t(3100), size_t(4800)}) {
    Bytes data(length);
    std::iota(data.begin(), data.end(), uint8_t(7));
    ASSERT_EQ(sys.setUEIBytes(50, data.data(), data.size()), aErrNone) << length;
    EXPECT_EQ(front->bytes(kCmdSystem, 50), data);
    Bytes back(8192, 0xEE);
    uint64_t count = 99;
    ASSERT_EQ(sys.getUEIBytes(50, back.data(), back.size(), &count), aErrNone) << length;
    ASSERT_EQ(count, length);
    back.resize(count);
    EXPECT_EQ(back, data);
  }
}

TEST_F(Entity, ByteSequenceLargerThanTheBuffer) {
  front->setBytes(kCmdSystem, 50, Bytes(12, 0x42));
  uint8_t buffer[10];
  std::memset(buffer, 0, sizeof buffer);
  uint64_t count = 0;
  EXPECT_EQ(sys.getUEIBytes(50, buffer, sizeof buffer, &count), aErrMemory);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(buffer[0], 0);
  // The bytes that fitted stay: two chunks of 24 into a buffer of 30.
  front->setBytes(kCmdSystem, 50, Bytes(48, 0x43));
  uint8_t bigger[30] = {};
  EXPECT_EQ(sys.getUEIBytes(50, bigger, sizeof bigger, &count), aErrMemory);
  EXPECT_EQ(count, 24u);
  EXPECT_EQ(bigger[23], 0x43);
  EXPECT_EQ(bigger[24], 0);
}

TEST_F(Entity, ByteSequenceReplyFaults) {
  uint8_t buffer[64];
  uint64_t count = 0;
  // An error reply ends the read with the device's code.
  script({{0x03, 0x32, 0x80, 0x0D}});
  EXPECT_EQ(sys.getUEIBytes(50, buffer, sizeof buffer, &count), aErrRange);
  // A reply without a sequence byte holds no chunk: it ends the read at once.
  script({{0x03, 0x32, 0x00}});
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(sys.getUEIBytes(50, buffer, sizeof buffer, &count), aErrPacket);
  EXPECT_LT(aTime_GetMonotonicMSTicks() - start, 900u);
  EXPECT_EQ(count, 0u);
  // A chunk out of sequence is left queued; the read times out.
  script({{0x03, 0x32, 0x00, 1, 2, 0x80}, {0x03, 0x32, 0x00, 3, 4, 0x02}});
  EXPECT_EQ(sys.getUEIBytes(50, buffer, sizeof buffer, &count), aErrTimeout);
  EXPECT_EQ(count, 2u);
  // Chunks of a stream sample never join a read.
  script({{0x03, 0x32, 0x40, 9, 9, 0x00}, {0x03, 0x32, 0x00, 5, 6, 0x00}});
  ASSERT_EQ(sys.getUEIBytes(50, buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(buffer[0], 5);
}

// A chunk of no bytes that says more follow carries nothing: following such chunks, a
// device that keeps sending them would hold the read for ever.
TEST_F(Entity, EmptyChunkThatClaimsMoreEndsTheRead) {
  std::vector<Bytes> chunks;
  for (int n = 0; n < 300; n++) chunks.push_back({0x03, 0x32, 0x00, static_cast<uint8_t>(0x80 | (n & 0x7F))});
  script(chunks);
  uint8_t buffer[64];
  uint64_t count = 7;
  EXPECT_EQ(sys.getUEIBytes(50, buffer, sizeof buffer, &count), aErrPacket);
  EXPECT_EQ(count, 0u);
}

TEST_F(Entity, SequenceNumbersWrapWhileReading) {
  Bytes data(200 * 24);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);
  front->setBytes(kCmdSystem, 50, data);
  Bytes back(data.size());
  uint64_t count = 0;
  ASSERT_EQ(sys.getUEIBytes(50, back.data(), back.size(), &count), aErrNone);
  EXPECT_EQ(count, data.size());
  EXPECT_EQ(back, data);
}

TEST_F(Entity, SetByteSequenceRefusedByTheDevice) {
  Bytes data(40, 1);
  EXPECT_EQ(sys.setUEIBytes(32, data.data(), data.size()), aErrSize);   // the name holds 32
  EXPECT_EQ(sys.setUEIBytes(50, nullptr, 3), aErrParam);
}

TEST_F(Entity, AwaitsUnsolicitedValue) {
  uint32_t v = 0;
  reply(front->address(), {0x03, 0x16, 0x00, 0x00, 0x01, 0x00, 0x02});
  EXPECT_EQ(sys.awaitUEI32Val(22, &v, 0), aErrNone);
  EXPECT_EQ(v, 0x00010002u);
  reply(front->address(), {0x03, 0x16, 0x80, 0x06});
  EXPECT_EQ(sys.awaitUEI32Val(22, &v, 0), aErrIO);
  reply(front->address(), {0x03, 0x16, 0x00});
  EXPECT_EQ(sys.awaitUEI32Val(22, &v, 0), aErrPacket);
  EXPECT_EQ(v, 0x00010002u);
  EXPECT_EQ(sys.awaitUEI32Val(22, &v, 0), aErrTimeout);
  expectOnlyTheFenceReceived();
}

TEST_F(Entity, StoreOperations) {
  EntityClass entity;
  entity.init(&module, kCmdSystem, 2);
  EXPECT_EQ(entity.saveEntityToStore(), aErrNone);
  EXPECT_EQ(entity.resetEntityToFactoryDefaults(), aErrNone);
  EXPECT_EQ(entity.loadEntityFromStore(), aErrNone);
  const auto got = sent(front->address());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (Bytes{0x5C, 0x80, 0x20, 0x00, 0x00, 0x03, 0x02}));
  EXPECT_EQ(got[1], (Bytes{0x5C, 0x81, 0x20, 0x00, 0x00, 0x03, 0x02}));
  EXPECT_EQ(got[2], (Bytes{0x5C, 0x82, 0x20, 0x00, 0x00, 0x03, 0x02}));
}

TEST_F(Entity, EntityFollowsTheModuleAddress) {
  uint8_t v = 0;
  module.setModuleAddress(0x40);   // nobody there
  EXPECT_EQ(sys.getUEI8(8, &v), aErrTimeout);
  module.setModuleAddress(front->address());
  EXPECT_EQ(sys.getUEI8(8, &v), aErrNone);
  EXPECT_EQ(v, 0x13);
}

// The entity's stream wrappers name every option (0xFF) or one option of its own.
TEST_F(Entity, StreamingWrappersForwardToTheLink) {
  front->setSamplePeriodMs(0);
  Link::StreamStatusEntry entries[2];
  uint64_t count = 7;
  EXPECT_EQ(sys.setStreamEnabled(true), aErrNone);
  EXPECT_EQ(sys.registerOptionCallback(7, true, [](const aPacket*, void*) -> uint8_t { return 0; }, nullptr),
            aErrNone);
  EXPECT_EQ(sys.getStreamStatus(entries, 2, &count), aErrNone);
  EXPECT_EQ(count, 0u) << "registrations are no samples";
  EXPECT_EQ(sys.registerOptionCallback(7, false, nullptr, nullptr), aErrNone);
  EXPECT_EQ(sys.setStreamEnabled(false), aErrNone);
  EXPECT_EQ(sent(front->address()), (std::vector<Bytes>{{0x5D, 0x81, 0x20, 0x04, 0x03, 0xFF, 0x00},
                                                       {0x5D, 0x81, 0x20, 0x04, 0x03, 0x07, 0x00},
                                                       {0x5D, 0x82, 0x20, 0x04, 0x03, 0x07, 0x00},
                                                       {0x5D, 0x82, 0x20, 0x04, 0x03, 0xFF, 0x00}}));
  EntityClass unbound;
  EXPECT_EQ(unbound.setStreamEnabled(true), aErrResource);
}

TEST(StreamKeys, Arithmetic) {
  EXPECT_EQ(Link::createStreamKey(2, 3, 7, 0, 0xFF), 0xFF02030700ull);
  const uint64_t key = Link::createStreamKey(2, 3, 7, 1, 5);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE_ADDRESS), 2);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_COMMAND), 3);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 7);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 1);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 5);
  EXPECT_EQ(Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(9)), 0);
}

}  // namespace
}  // namespace apitest

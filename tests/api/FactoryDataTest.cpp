// Factory data over a Link: whole transfers against the simulated module, the exact
// requests against replies typed by hand, failures, and the arguments refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"

namespace apitest {
namespace {

using devsim::model::ReplyFault;

Bytes counting(size_t n, uint8_t first = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

class FactoryData : public ConnectedFixture {
 protected:
  uint8_t addr() const { return front->address(); }

  std::vector<Bytes> factoryRequests() const {
    std::vector<Bytes> out;
    for (const auto& r : device->received())
      if (r.packet.address == addr() && !r.packet.data.empty() && r.packet.data[0] == 0x5E)
        out.push_back(r.packet.data);
    return out;
  }
  // Factory-data requests are answered with replies typed by the test.
  void script(std::function<std::vector<Bytes>(const Bytes&)> replies) {
    network->setIntercept([=](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
      if (in.data.empty() || in.data[0] != 0x5E) return false;
      for (const Bytes& r : replies(in.data)) {
        devsim::WirePacket p;
        p.address = in.address;
        p.data = r;
        out.push_back(p);
      }
      return true;
    });
  }
};

TEST_F(FactoryData, RoundTripsKeepEveryByte) {
  front->setFactoryCapacity(4096);
  for (size_t n : {0, 1, 25, 26, 60, 4096}) {
    SCOPED_TRACE(n);
    Bytes data(n);
    for (size_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i * 5 + 1);
    ASSERT_EQ(link->setFactoryData(addr(), 9, data.data(), n), aErrNone);
    EXPECT_EQ(front->factoryData(9), data);
    Bytes back(n + 2, 0xEE);
    uint64_t received = 999;
    ASSERT_EQ(link->getFactoryData(addr(), 9, back.data(), n + 1, &received), aErrNone);
    EXPECT_EQ(received, n);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), data);
    EXPECT_EQ(back[n], 0xEE);
  }
}

TEST_F(FactoryData, WriteOf30BytesAgainstTypedReplies) {
  script([](const Bytes& in) -> std::vector<Bytes> {
    if (in[1] == 0x20) return {{0x5E, 0x00}};
    return {{0x5E, 0x01}};
  });
  const Bytes data = counting(30);
  ASSERT_EQ(link->setFactoryData(addr(), 1, data.data(), data.size()), aErrNone);
  EXPECT_EQ(factoryRequests(),
            (std::vector<Bytes>{concat({0x5E, 0x51}, counting(26)), concat({0x5E, 0x11}, counting(4, 27)),
                                {0x5E, 0x20, 0x00, 0x1E}}));
  // Nothing to write still ends a transfer.
  device->clearReceived();
  ASSERT_EQ(link->setFactoryData(addr(), 1, nullptr, 0), aErrNone);
  EXPECT_EQ(factoryRequests(), (std::vector<Bytes>{{0x5E, 0x20, 0x00, 0x00}}));
}

// 52 bytes come in two full replies and one empty one; the buffer needs a byte spare.
TEST_F(FactoryData, ReadOf52BytesNeedsA53ByteBuffer) {
  script([](const Bytes& in) -> std::vector<Bytes> {
    static int round = 0;
    if (in[1] == 0x20) return {{0x5E, 0x00}};
    if (in[1] & 0x40) round = 0;
    round++;
    if (round == 1) return {concat({0x5E, 0x03}, counting(26))};
    if (round == 2) return {concat({0x5E, 0x03}, counting(26, 27))};
    return {{0x5E, 0x03}};
  });
  Bytes buffer(53, 0);
  uint64_t received = 0;
  ASSERT_EQ(link->getFactoryData(addr(), 3, buffer.data(), 53, &received), aErrNone);
  EXPECT_EQ(received, 52u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 52), counting(52));
  EXPECT_EQ(factoryRequests(),
            (std::vector<Bytes>{{0x5E, 0x43}, {0x5E, 0x03}, {0x5E, 0x03}, {0x5E, 0x20, 0x00, 0x34}}));

  device->clearReceived();
  received = 777;
  EXPECT_EQ(link->getFactoryData(addr(), 3, buffer.data(), 52, &received), aErrOverrun);
  EXPECT_EQ(received, 777u);
  // The second reply would fill the buffer to its last byte.
  EXPECT_EQ(factoryRequests(), (std::vector<Bytes>{{0x5E, 0x43}, {0x5E, 0x03}}));
}

TEST_F(FactoryData, ErrorRepliesAreFailures) {
  struct Case {
    std::string name;
    bool write;
    Bytes chunkReply;   // empty: none
    Bytes endReply;
    aErr result;
  } cases[] = {
      {"write refused", true, {0x5E, 0x82, 0x05}, {0x5E, 0x00}, aErrBusy},
      {"write answered with a byte too many", true, {0x5E, 0x02, 0x00}, {0x5E, 0x00}, aErrSize},
      // Without a code, or with code 0, the refusal would pass for success.
      {"write refused without code", true, {0x5E, 0x82}, {0x5E, 0x00}, aErrUnknown},
      {"write refused with code 0", true, {0x5E, 0x82, 0x00}, {0x5E, 0x00}, aErrUnknown},
      {"read refused without code", false, {0x5E, 0x82}, {0x5E, 0x00}, aErrUnknown},
      {"read refused", false, {0x5E, 0x82, 0x1C}, {0x5E, 0x00}, aErrInvalidEntity},
      {"end refused", true, {0x5E, 0x02}, {0x5E, 0x80, 0x0E}, aErrSize},
      {"end of a read refused without code", false, {0x5E, 0x02, 0x11}, {0x5E, 0x80}, aErrUnknown},
      {"chunk unanswered", true, {}, {0x5E, 0x00}, aErrTimeout},
      {"end unanswered", false, {0x5E, 0x02, 0x11}, {}, aErrTimeout},
      {"another slot's reply", false, {0x5E, 0x03, 0x11}, {0x5E, 0x00}, aErrTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script([c](const Bytes& in) -> std::vector<Bytes> {
      const Bytes& r = in[1] == 0x20 ? c.endReply : c.chunkReply;
      if (r.empty()) return {};
      return {r};
    });
    uint64_t received = 777;
    Bytes buffer(64, 0);
    const Bytes data = counting(10);
    const aErr e = c.write ? link->setFactoryData(addr(), 2, data.data(), data.size())
                           : link->getFactoryData(addr(), 2, buffer.data(), buffer.size(), &received);
    EXPECT_EQ(e, c.result);
    EXPECT_EQ(received, 777u);
  }
}

TEST_F(FactoryData, FailuresOfTheModule) {
  front->setFactoryData(4, counting(40));
  front->failFactory(devsim::model::kFactoryRead, {ReplyFault::kRefuse, 5, 1, 1});
  Bytes buffer(64, 0);
  uint64_t received = 777;
  EXPECT_EQ(link->getFactoryData(addr(), 4, buffer.data(), buffer.size(), &received), aErrBusy);
  EXPECT_EQ(received, 777u);
  front->clearFaults();
  // The next transfer starts afresh.
  ASSERT_EQ(link->getFactoryData(addr(), 4, buffer.data(), buffer.size(), &received), aErrNone);
  EXPECT_EQ(received, 40u);
  // A write whose count the module finds wrong is not stored.
  front->failFactory(devsim::model::kFactoryWrite, {ReplyFault::kSilent, 0, 1, 1});
  const Bytes data = counting(30, 0x80);
  EXPECT_EQ(link->setFactoryData(addr(), 4, data.data(), data.size()), aErrTimeout);
  EXPECT_EQ(front->factoryData(4), counting(40));
}

TEST_F(FactoryData, RefusesBadArgumentsBeforeSendingAnything) {
  Link unconnected("Link");
  uint8_t buffer[8] = {};
  uint64_t count = 0;
  EXPECT_EQ(link->getFactoryData(addr(), 1, nullptr, 8, &count), aErrParam);
  EXPECT_EQ(link->getFactoryData(addr(), 1, buffer, 8, nullptr), aErrParam);
  // Slot 16 would run into the flag bits and make a write or end packet.
  EXPECT_EQ(link->getFactoryData(addr(), 16, buffer, 8, &count), aErrParam);
  EXPECT_EQ(link->setFactoryData(addr(), 16, buffer, 8), aErrParam);
  EXPECT_EQ(link->setFactoryData(addr(), 1, nullptr, 8), aErrParam);
  // The end packet counts in 16 bits.
  Bytes big(65536, 0x11);
  EXPECT_EQ(link->setFactoryData(addr(), 1, big.data(), big.size()), aErrParam);
  EXPECT_EQ(unconnected.getFactoryData(addr(), 1, buffer, 8, &count), aErrConnection);
  EXPECT_EQ(unconnected.setFactoryData(addr(), 1, buffer, 8), aErrConnection);
  for (uint8_t bad : {uint8_t(0), uint8_t(3), uint8_t(0xAF)}) {
    EXPECT_EQ(link->getFactoryData(bad, 1, buffer, 8, &count), aErrPacket);
    EXPECT_EQ(link->setFactoryData(bad, 1, buffer, 8), aErrPacket);
  }
  expectOnlyTheFenceReceived();
}

TEST_F(FactoryData, StaleRepliesAreNotTaken) {
  front->setFactoryData(2, counting(30, 0x30));
  // The chunk and the end reply of an earlier transfer, whose waits ran out.
  reply(addr(), {0x5E, 0x02, 0xAA, 0xBB});
  reply(addr(), {0x5E, 0x80, 0x07});
  ASSERT_EQ(fence(), aErrNone);
  Bytes buffer(64, 0);
  uint64_t received = 0;
  ASSERT_EQ(link->getFactoryData(addr(), 2, buffer.data(), buffer.size(), &received), aErrNone);
  EXPECT_EQ(received, 30u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 30), counting(30, 0x30));
}

}  // namespace
}  // namespace apitest

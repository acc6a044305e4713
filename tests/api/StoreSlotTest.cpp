// Store slots over a Link: whole transfers against the simulated module, the exact
// requests against replies typed by hand, and every way a module can fail a transfer.
#include <gtest/gtest.h>

#include <deque>
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

class StoreSlot : public ConnectedFixture {
 protected:
  uint8_t addr() const { return front->address(); }

  // Store-slot requests the module received, in order.
  std::vector<Bytes> slotRequests() const {
    std::vector<Bytes> out;
    for (const auto& r : device->received())
      if (r.packet.address == addr() && !r.packet.data.empty() && r.packet.data[0] == 0x04)
        out.push_back(r.packet.data);
    return out;
  }
  size_t countOp(uint8_t op) const {
    return device->countReceived(
        [&](const devsim::WirePacket& p) { return p.data.size() >= 2 && p.data[0] == 0x04 && p.data[1] == op; });
  }
  // Store-slot requests are answered by script instead of the module; replies come
  // from the requests' address unless the script names another.
  void script(std::function<std::vector<devsim::WirePacket>(const Bytes&)> replies) {
    network->setIntercept([=](const devsim::WirePacket& in, std::vector<devsim::WirePacket>& out) {
      if (in.data.empty() || in.data[0] != 0x04) return false;
      for (devsim::WirePacket p : replies(in.data)) {
        if (p.address == 0) p.address = in.address;
        out.push_back(p);
      }
      return true;
    });
  }
};

devsim::WirePacket from(uint8_t address, Bytes data) {
  devsim::WirePacket p;
  p.address = address;
  p.data = std::move(data);
  return p;
}
devsim::WirePacket ours(Bytes data) { return from(0, std::move(data)); }

TEST_F(StoreSlot, RoundTripsKeepEveryByte) {
  for (size_t n : {0, 1, 25, 26, 60, 4096}) {
    SCOPED_TRACE(n);
    device->clearReceived();
    Bytes data(n);
    for (size_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i * 7 + 3);
    const uint8_t none = 0;
    ASSERT_EQ(link->loadStoreSlot(addr(), 1, 5, n > 0 ? data.data() : &none, n), aErrNone);
    EXPECT_EQ(front->slotBytes(1, 5), data);
    EXPECT_EQ(countOp(7), (n + 24) / 25) << "chunks of at most 25 bytes";
    uint64_t size = 999;
    ASSERT_EQ(link->storeSlotSize(addr(), 1, 5, &size), aErrNone);
    EXPECT_EQ(size, n);
    Bytes back(n + 1, 0xEE);
    uint64_t unloaded = 999;
    ASSERT_EQ(link->unloadStoreSlot(addr(), 1, 5, back.data(), n, &unloaded), aErrNone);
    EXPECT_EQ(unloaded, n);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), data);
    EXPECT_EQ(back[n], 0xEE) << "nothing written past the count";
    EXPECT_EQ(countOp(8), 2u) << "both transfers closed";
    EXPECT_EQ(front->openSlotHandles(), 0u);
  }
  uint64_t capacity = 0;
  ASSERT_EQ(link->storeSlotCapacity(addr(), 1, 5, &capacity), aErrNone);
  EXPECT_EQ(capacity, 4096u);
}

// Writing bytes 1 to 60 takes chunks of 25, 25 and 10 bytes, whose sums are 0x45, 0xB6
// and 0x2B; one sum off by one fails the write, and the slot is closed all the same.
TEST_F(StoreSlot, WriteChecksEveryChunksSum) {
  struct Case {
    Bytes sums;
    aErr result;
    size_t chunks;
  } cases[] = {
      {{0x45, 0xB6, 0x2B}, aErrNone, 3},
      {{0x45, 0xB7, 0x2B}, aErrIO, 2},
  };
  for (const Case& c : cases) {
    device->clearReceived();
    auto sums = std::make_shared<std::deque<uint8_t>>(c.sums.begin(), c.sums.end());
    script([sums](const Bytes& in) -> std::vector<devsim::WirePacket> {
      if (in == Bytes{0x04, 0x04, 0x00, 0x02}) return {ours({0x04, 0x04, 0x00, 0x02, 0x07})};
      if (in.size() > 3 && in[1] == 0x07) {
        const uint8_t sum = sums->front();
        sums->pop_front();
        return {ours({0x04, 0x07, 0x07, sum})};
      }
      if (in == Bytes{0x04, 0x08, 0x07}) return {ours({0x04, 0x08, 0x07, 0x00})};
      return {};
    });
    const Bytes data = counting(60);
    EXPECT_EQ(link->loadStoreSlot(addr(), 0, 2, data.data(), data.size()), c.result);
    std::vector<Bytes> expected = {{0x04, 0x04, 0x00, 0x02},
                                   concat({0x04, 0x07, 0x07}, counting(25, 1)),
                                   concat({0x04, 0x07, 0x07}, counting(25, 26)),
                                   concat({0x04, 0x07, 0x07}, counting(10, 51))};
    expected.resize(1 + c.chunks);
    expected.push_back({0x04, 0x08, 0x07});
    EXPECT_TRUE(device->waitForCount([](const devsim::WirePacket& p) { return p.data == Bytes{0x04, 0x08, 0x07}; }, 1,
                                     2000));
    EXPECT_EQ(slotRequests(), expected);
  }
}

TEST_F(StoreSlot, SizeAndCapacityAgainstTypedReplies) {
  struct Case {
    std::string name;
    uint8_t op;
    std::vector<devsim::WirePacket> replies;
    aErr result;
    uint64_t value;   // 777: left as it was
  } cases[] = {
      {"size", 0x02, {ours({0x04, 0x02, 0x01, 0x03, 0x00, 0x28})}, aErrNone, 40},
      {"capacity", 0x01, {ours({0x04, 0x01, 0x01, 0x03, 0x10, 0x00})}, aErrNone, 4096},
      {"refused", 0x02, {ours({0x04, 0x82, 0x01, 0x03, 0x05})}, aErrBusy, 777},
      // The code would be read from past the reply's end.
      {"refused without code", 0x02, {ours({0x04, 0x82, 0x01, 0x03})}, aErrUnknown, 777},
      {"refused with code 0", 0x01, {ours({0x04, 0x81, 0x01, 0x03, 0x00})}, aErrUnknown, 777},
      {"wrong length", 0x02, {ours({0x04, 0x02, 0x01, 0x03, 0x28})}, aErrUnknown, 777},
      {"another slot's", 0x02, {ours({0x04, 0x02, 0x01, 0x04, 0x00, 0x28})}, aErrTimeout, 777},
      {"another module's", 0x02, {from(0x06, {0x04, 0x02, 0x01, 0x03, 0x00, 0x28})}, aErrTimeout, 777},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device->clearReceived();
    script([c](const Bytes& in) {
      return in == Bytes{0x04, c.op, 0x01, 0x03} ? c.replies : std::vector<devsim::WirePacket>{};
    });
    uint64_t value = 777;
    const aErr e = c.op == 0x02 ? link->storeSlotSize(addr(), 1, 3, &value) : link->storeSlotCapacity(addr(), 1, 3, &value);
    EXPECT_EQ(e, c.result);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(slotRequests(), (std::vector<Bytes>{{0x04, c.op, 0x01, 0x03}}));
  }
}

// Every way the module can fail a transfer, against the module's fault knobs.
TEST_F(StoreSlot, ModuleFailuresEndTheTransfer) {
  enum Call { Load, Unload, Size };
  struct Case {
    std::string name;
    uint8_t op;
    ReplyFault fault;
    Call call;
    aErr result;
    bool opened;   // a slot was opened, so it must be closed
  } cases[] = {
      {"write open refused", 4, {ReplyFault::kRefuse, 26}, Load, aErrMedia, false},
      {"read open refused", 3, {ReplyFault::kRefuse, 26}, Unload, aErrMedia, false},
      // A reply that ends before its handle: the handle would be read from past its end.
      {"open reply without handle", 4, {ReplyFault::kShort}, Load, aErrMedia, false},
      {"wrong sum", 7, {ReplyFault::kWrongSum}, Load, aErrIO, true},
      {"write refused", 7, {ReplyFault::kRefuse, 14}, Load, aErrSize, true},
      {"write refused with code 0", 7, {ReplyFault::kRefuse, 0}, Load, aErrUnknown, true},
      {"read refused", 6, {ReplyFault::kRefuse, 10}, Unload, aErrEOF, true},
      {"read refused with code 0", 6, {ReplyFault::kRefuse, 0}, Unload, aErrUnknown, true},
      {"second read unanswered", 6, {ReplyFault::kSilent, 0, 1, 1}, Unload, aErrTimeout, true},
      {"close refused with code 0", 8, {ReplyFault::kRefuse, 0}, Load, aErrUnknown, true},
      {"close refused", 8, {ReplyFault::kRefuse, 3}, Unload, aErrNotFound, true},
      // A close the module never confirmed is no success.
      {"close unanswered", 8, {ReplyFault::kSilent}, Load, aErrTimeout, true},
      {"size refused without code", 2, {ReplyFault::kNoCode}, Size, aErrUnknown, false},
      {"size refused with code 0", 2, {ReplyFault::kRefuse, 0}, Size, aErrUnknown, false},
      {"size refused before a read", 2, {ReplyFault::kRefuse, 26}, Unload, aErrIndexRange, false},
  };
  const Bytes data = counting(60);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    front->clearFaults();
    front->setSlot(0, 3, 4096, data);
    device->clearReceived();
    const size_t handles = front->openSlotHandles();
    front->failSlot(c.op, c.fault);
    uint64_t count = 777;
    Bytes buffer(64, 0);
    aErr e;
    switch (c.call) {
      case Load: e = link->loadStoreSlot(addr(), 0, 3, data.data(), data.size()); break;
      case Unload: e = link->unloadStoreSlot(addr(), 0, 3, buffer.data(), buffer.size(), &count); break;
      default: e = link->storeSlotSize(addr(), 0, 3, &count); break;
    }
    EXPECT_EQ(e, c.result);
    EXPECT_EQ(count, 777u) << "no count on failure";
    if (c.opened) {
      EXPECT_EQ(countOp(8), 1u) << "closed";
    } else {
      EXPECT_EQ(countOp(6) + countOp(7) + countOp(8), 0u) << "nothing after a failed open";
    }
    // A refused close leaves the module's handle open, and so does an open whose reply
    // lost the handle (the host cannot close what it was not told); nothing else may.
    if (c.op != 8 && c.fault.kind != ReplyFault::kShort) {
      EXPECT_EQ(front->openSlotHandles(), handles);
    }
  }
  front->clearFaults();
}

TEST_F(StoreSlot, ASlotLargerThanTheBufferFillsItAndSaysSo) {
  front->setSlot(0, 3, 4096, counting(40));
  Bytes buffer(31, 0xEE);
  uint64_t count = 0;
  EXPECT_EQ(link->unloadStoreSlot(addr(), 0, 3, buffer.data(), 30, &count), aErrOverrun);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 30), counting(30));
  EXPECT_EQ(buffer[30], 0xEE);
  EXPECT_EQ(countOp(8), 1u);
  EXPECT_EQ(front->openSlotHandles(), 0u);
}

TEST_F(StoreSlot, ASilentModuleTimesOutAfterASecond) {
  front->failSlot(2, {ReplyFault::kSilent});
  uint64_t size = 777;
  const aTime start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(link->storeSlotSize(addr(), 0, 3, &size), aErrTimeout);
  EXPECT_GE(aTime_GetMonotonicMSTicks() - start, 900u);
  EXPECT_EQ(size, 777u);
}

TEST_F(StoreSlot, RefusesBadArgumentsBeforeSendingAnything) {
  Link unconnected("Link");
  uint8_t buffer[8] = {};
  uint64_t value = 0;
  EXPECT_EQ(link->loadStoreSlot(addr(), 0, 3, nullptr, 1), aErrParam);
  EXPECT_EQ(link->unloadStoreSlot(addr(), 0, 3, nullptr, 8, &value), aErrParam);
  EXPECT_EQ(link->unloadStoreSlot(addr(), 0, 3, buffer, 8, nullptr), aErrParam);
  EXPECT_EQ(link->storeSlotSize(addr(), 0, 3, nullptr), aErrParam);
  EXPECT_EQ(link->storeSlotCapacity(addr(), 0, 3, nullptr), aErrParam);
  EXPECT_EQ(unconnected.loadStoreSlot(addr(), 0, 3, buffer, 8), aErrConnection);
  EXPECT_EQ(unconnected.unloadStoreSlot(addr(), 0, 3, buffer, 8, &value), aErrConnection);
  EXPECT_EQ(unconnected.storeSlotSize(addr(), 0, 3, &value), aErrConnection);
  EXPECT_EQ(unconnected.storeSlotCapacity(addr(), 0, 3, nullptr), aErrConnection);
  for (uint8_t bad : {uint8_t(0), uint8_t(5), uint8_t(0xAD)}) {
    EXPECT_EQ(link->loadStoreSlot(bad, 0, 3, buffer, 8), aErrPacket);
    EXPECT_EQ(link->unloadStoreSlot(bad, 0, 3, buffer, 8, &value), aErrPacket);
    EXPECT_EQ(link->storeSlotSize(bad, 0, 3, &value), aErrPacket);
    EXPECT_EQ(link->storeSlotCapacity(bad, 0, 3, &value), aErrPacket);
  }
  expectOnlyTheFenceReceived();
}

// Replies that came after their wait had ended, or from another module, are never
// taken for the answers of a later transfer.
TEST_F(StoreSlot, StaleAndForeignRepliesAreNotTaken) {
  front->setSlot(0, 2, 4096, counting(10));
  // A size reply that nobody waited for any more.
  reply(addr(), {0x04, 0x02, 0x00, 0x02, 0x00, 0x05});
  // Its reply comes after that one: once it is back, the stale one is queued.
  ASSERT_EQ(fence(), aErrNone);
  uint64_t size = 0;
  ASSERT_EQ(link->storeSlotSize(addr(), 0, 2, &size), aErrNone);
  EXPECT_EQ(size, 10u);

  struct Case {
    std::string name;
    devsim::WirePacket early;   // arrives just before the open's reply
  } cases[] = {
      // For the handle the open is about to give (1), from its earlier use.
      {"stale write acknowledgement", ours({0x04, 0x07, 0x01, 0x00})},
      {"stale refused close", ours({0x04, 0x88, 0x01, 0x0E})},
      {"another module's open", from(0x06, {0x04, 0x04, 0x00, 0x02, 0x09})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device->clearReceived();
    devsim::Config dc = device->config();
    dc.unsolicited = c.early;
    dc.unsolicitedCount = 1;
    device->setConfig(dc);
    const Bytes data = counting(30, 0x40);
    EXPECT_EQ(link->loadStoreSlot(addr(), 0, 2, data.data(), data.size()), aErrNone);
    EXPECT_EQ(front->slotBytes(0, 2), data);
    for (const Bytes& r : slotRequests()) {
      if (r[1] >= 6) {
        EXPECT_EQ(r[2], 0x01) << "every transfer request names the module's handle";
      }
    }
  }
}

}  // namespace
}  // namespace apitest

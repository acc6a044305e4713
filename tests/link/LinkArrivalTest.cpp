// The reader's arrival path on a link without threads or stream: received bytes fed by
// hand (aLink_Arrive) go through assembly, the handshake, heartbeat answers, the user
// filter and routing exactly as the reader takes them. Fuzz targets feed it the same
// way; this keeps the seam honest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/internal/aLinkInternal.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSixSyncRequests = {0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00};

uint8_t consumeAddress6(const aPacket* p, void*) { return p->address == 0x06 ? 1 : 0; }

struct ArrivalCase {
  const char* name;
  std::vector<Bytes> blocks;    // received bytes, block by block
  bool filter;                  // a user filter consumes packets from address 6
  std::vector<Bytes> incoming;  // packets in the incoming FIFO afterwards, wire form
  Bytes queued;                 // what the link queued for the device
  int32_t status;
};

class Arrival : public ::testing::TestWithParam<ArrivalCase> {};

TEST_P(Arrival, RunsBytesAsTheReaderDoes) {
  const ArrivalCase& c = GetParam();
  aLinkRef id = aLink_CreateDetached();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  if (c.filter) {
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeAddress6, nullptr), aErrNone);
  }
  for (const Bytes& block : c.blocks) ASSERT_EQ(aLink_Arrive(id, block.data(), block.size()), aErrNone);

  std::vector<Bytes> incoming;
  for (aPacket* p = aLink_GetPacket(id); p != nullptr; p = aLink_GetPacket(id)) {
    Bytes wire = {p->address, p->dataSize};
    wire.insert(wire.end(), p->data, p->data + p->dataSize);
    incoming.push_back(wire);
    aPacket_Destroy(&p);
  }
  EXPECT_EQ(incoming, c.incoming);
  uint8_t out[512];
  const uint64_t n = aLink_TakeQueued(id, out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), c.queued);
  EXPECT_EQ(aLink_GetStatus(id), c.status);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Arrival,
    ::testing::Values(
        ArrivalCase{"PacketsAcrossBlocks", {{0x04, 0x02, 0x11}, {0x22, 0x06, 0x00}}, false,
                    {{0x04, 0x02, 0x11, 0x22}, {0x06, 0x00}}, {}, kLinkStatusRunning},
        ArrivalCase{"HeartbeatsAnsweredNotQueued", {{0x04, 0x02, 0x00, 0x00, 0x04, 0x02, 0x00, 0x01}}, false,
                    {}, {0x04, 0x02, 0x00, 0x02, 0x04, 0x02, 0x00, 0x03}, kLinkStatusRunning},
        ArrivalCase{"FilterConsumesBeforeTheHeartbeat", {{0x06, 0x02, 0x00, 0x00, 0x04, 0x01, 0x33}}, true,
                    {{0x04, 0x01, 0x33}}, {}, kLinkStatusRunning},
        ArrivalCase{"LostPlaceStartsTheHandshake", {{0x04, 0x01, 0x33, 0x05, 0x04}}, false,
                    {{0x04, 0x01, 0x33}}, kSixSyncRequests, kLinkStatusSyncing},
        ArrivalCase{"HandshakeCompletesOnTwoEqualReplies", {{0x05}, {0x04, 0x00}, {0x04, 0x00, 0x04, 0x01, 0x55}},
                    false, {{0x04, 0x01, 0x55}}, kSixSyncRequests, kLinkStatusRunning},
        ArrivalCase{"OverlongLengthIsALostPlace", {{0x04, 0x1D}}, false, {}, kSixSyncRequests,
                    kLinkStatusSyncing}),
    [](const ::testing::TestParamInfo<ArrivalCase>& i) { return std::string(i.param.name); });

TEST(ArrivalSeam, RefusesUnknownLinksAndNullBytes) {
  const uint8_t b = 0x04;
  EXPECT_EQ(aLink_Arrive(0x7FFFFFF1u, &b, 1), aErrParam);
  aLinkRef id = aLink_CreateDetached();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_Arrive(id, nullptr, 1), aErrParam);
  EXPECT_EQ(aLink_Arrive(id, nullptr, 0), aErrNone);
  // Puts on a link without a writer stay queued, in wire form.
  aPacket* p = aPacket_CreateWithData(0x04, 1, &b);
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  uint8_t out[2];
  EXPECT_EQ(aLink_TakeQueued(id, out, sizeof out), 0u) << "a packet that does not fit stays queued";
  uint8_t room[3];
  ASSERT_EQ(aLink_TakeQueued(id, room, sizeof room), 3u);
  EXPECT_EQ(Bytes(room, room + 3), (Bytes{0x04, 0x01, 0x04}));
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aLink_Arrive(id, &b, 1), aErrParam);
}

}  // namespace

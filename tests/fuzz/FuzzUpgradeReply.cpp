// libFuzzer target: the upgrade protocol's requests answered by whatever the input says,
// through the entity's one way in and out: replies are queued, and each wait takes the
// first queued reply for its option (or times out when there is none). Every call must
// end, send a bounded number of requests, say what failed when it fails, and succeed
// only on replies that justify it (a loader transfer checked by its sum only when the
// device's sum of the bytes matches the target's own).
//
// Input: a flags byte (bit 0 check sums, bit 1 byte sequences, bits 2-4 which calls),
// an image length byte, then replies, each an option byte, a length byte (0 to 26) and
// the bytes that follow the command and the option.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/UpdaterEntity.h"

namespace {

class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

struct Reply {
  std::vector<uint8_t> bytes;  // the data, command and option first
};

class ScriptedEntity : public UpdaterEntity {
 public:
  std::deque<Reply> replies;
  std::vector<Reply> taken;
  size_t requests = 0;
  size_t sequenceBytes = 0;

  void bytes(bool on) { useByteSequences(on); }

 protected:
  aErr sendRequest(uint8_t count, const uint8_t* bytes) override {
    if (count == 0 || bytes == nullptr || count > 27) std::abort();
    requests++;
    return aErrNone;
  }
  aErr awaitReply(uint8_t option, uint8_t* reply, uint8_t* length) override {
    for (auto it = replies.begin(); it != replies.end(); ++it) {
      if (it->bytes[0] == cmdUPGRADE && it->bytes[1] == option) {
        std::memcpy(reply, it->bytes.data(), it->bytes.size());
        *length = static_cast<uint8_t>(it->bytes.size());
        taken.push_back(*it);
        replies.erase(it);
        return aErrNone;
      }
    }
    return aErrTimeout;
  }
  aErr sendByteSequence(uint8_t, const uint8_t* data, uint64_t length) override {
    if (length > 0 && data == nullptr) std::abort();
    requests++;
    sequenceBytes += length;
    return aErrNone;
  }
};

uint32_t byteSum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i++) sum += data[i];
  return sum;
}

void mustSay(const ScriptedEntity& entity, aErr result) {
  if (result != aErrNone && entity.LastFailure().empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  std::vector<uint8_t> block(4 + static_cast<size_t>(data[1]) * 3);
  for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<uint8_t>(i * 37 + data[1]);

  QuietDisplay display;
  ScriptedEntity entity;
  entity.init(nullptr, 0, (flags & 1) != 0, false);
  entity.setRebootWaitMs(0);
  entity.bytes((flags & 2) != 0);
  for (size_t at = 2; at + 2 <= size;) {
    Reply r;
    r.bytes = {cmdUPGRADE, data[at]};
    const size_t length = data[at + 1] % 27;
    at += 2;
    for (size_t i = 0; i < length && at < size; i++) r.bytes.push_back(data[at++]);
    entity.replies.push_back(r);
  }
  const size_t image = block.size() - 4;
  const size_t bound = 16 + (image + 1) * (UpdaterEntity::DATA_SENDS + 3);

  const aErr init = entity.LoaderInit();
  mustSay(entity, init);
  uint16_t blockSize = 0;
  const aErr prepare = entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 3, blockSize);
  mustSay(entity, prepare);
  if (prepare == aErrNone) {
    const Reply& status = entity.taken.back();
    if (status.bytes[1] != val_UPGRADE_STATUS || status.bytes.size() < 5 || status.bytes[2] != 0 ||
        blockSize != (status.bytes[3] << 8 | status.bytes[4]))
      std::abort();
  }
  switch ((flags >> 2) & 3) {
    case 0: {
      entity.taken.clear();
      const aErr e = entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size()));
      mustSay(entity, e);
      if (e == aErrNone && (flags & 1) != 0) {
        const Reply& sum = entity.taken.back();
        if (sum.bytes[1] != val_UPGRADE_STATUS || sum.bytes.size() < 7 || sum.bytes[2] != 0 ||
            (static_cast<uint32_t>(sum.bytes[3]) << 24 | sum.bytes[4] << 16 | sum.bytes[5] << 8 | sum.bytes[6]) !=
                byteSum(block.data() + 4, image))
          std::abort();
      }
      break;
    }
    case 1: {
      const aErr e = entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display);
      mustSay(entity, e);
      break;
    }
    case 2: {
      const aErr e = entity.LoaderStart();
      mustSay(entity, e);
      break;
    }
    default: {
      const aErr e = entity.LoaderReboot(display);
      mustSay(entity, e);
      break;
    }
  }
  if (entity.requests > bound) std::abort();
  return 0;
}

// libFuzzer target: what an i.MX boot ROM answers, as the Serial Download Protocol
// client reads it through either transport's answer layout: the status check before an
// image, the bytes that may arrive while it is sent, the completion status, the answer
// to a jump, and the register reads of the fuse words.
//
// Oracle: an image counts as written only when the last answer read holds the
// completion word where that layout keeps its first word; a jump counts as taken only
// when its answer holds no word.
//
// Input: a flags byte (bit 0: the serial layout, else HID), an image-size byte (the
// image is 37 * size bytes), then answers, each a length byte and its bytes; every read
// of the client takes the next answer, and none once the input ends.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader_unix.h"

namespace {

class Replies : public SDPLoader_Interface {
 public:
  Replies(const uint8_t* data, size_t size, bool serial) : data_(data), size_(size), serial_(serial) {}

  bool init() override { return true; }
  ssize_t writeData(const std::vector<uint8_t>& bytes) override {
    return static_cast<ssize_t>(serial_ ? bytes.size() - 1 : bytes.size());
  }
  ssize_t readData(std::vector<uint8_t>& answer, uint32_t) override {
    if (at_ >= size_) {
      last_.clear();
      return 0;
    }
    const size_t length = data_[at_++];
    const size_t n = length < size_ - at_ ? length : size_ - at_;
    last_.assign(data_ + at_, data_ + at_ + n);
    at_ += n;
    answer.insert(answer.end(), last_.begin(), last_.end());
    return static_cast<ssize_t>(n);
  }
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t index, uint32_t& value) override {
    return serial_ ? serialLayout_.getDataFromBuffer(answer, index, value)
                   : hidLayout_.getDataFromBuffer(answer, index, value);
  }
  bool padFrame() override { return serial_; }

  // The answer of the last read, and where its first word sits in this layout.
  const std::vector<uint8_t>& last() const { return last_; }
  bool lastHoldsWord(uint32_t word) const {
    const size_t at = serial_ ? 4 : 6;
    const bool sized = serial_ ? last_.size() >= 8 : last_.size() == HID_SDPLoader::ANSWER_BYTES;
    if (!sized) return false;
    const uint32_t v = static_cast<uint32_t>(last_[at]) | static_cast<uint32_t>(last_[at + 1]) << 8 |
                       static_cast<uint32_t>(last_[at + 2]) << 16 | static_cast<uint32_t>(last_[at + 3]) << 24;
    return v == word;
  }
  bool lastHoldsAnyWord() const {
    return serial_ ? last_.size() >= 8 : last_.size() == HID_SDPLoader::ANSWER_BYTES;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  bool serial_;
  std::vector<uint8_t> last_;
  HID_SDPLoader hidLayout_{0x1FC9, 0x0130};
  Serial_SDPLoader serialLayout_{"/nonexistent"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool serial = (data[0] & 1) != 0;
  std::vector<uint8_t> image(37u * data[1]);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 7);

  auto* replies = new Replies(data + 2, size - 2, serial);
  SDPLoader sdp;
  if (!sdp.setLoader(replies) || sdp.init() != SDPLoader::SDP_OK) std::abort();
  const uint8_t written = sdp.writeLoader(image, 0x20000000);
  if (written == SDPLoader::SDP_OK && !replies->lastHoldsWord(SDPLoader::WRITE_COMPLETE)) std::abort();
  const uint8_t jumped = sdp.startLoader(0x20000400);
  if ((jumped == SDPLoader::SDP_OK) == replies->lastHoldsAnyWord()) std::abort();
  uint64_t fuses = 0;
  sdp.getFingerprint(fuses);
  return 0;
}

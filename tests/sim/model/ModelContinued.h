#pragma once
// Long answers on request, for testing whatever collects continued replies: a GET of a
// chosen option is answered by a number of continued byte-sequence packets (24 bytes
// each, the continue bit set, sequence numbers counting from 0 modulo 128) and a final
// packet without bytes, or, in an endless run, by continued packets one per millisecond
// until the test stops it. The bytes count up from 0 across the run (modulo 256).
//
// Not thread-safe: the module calls it under its own lock.
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace devsim {
namespace model {

class Continued {
 public:
  static constexpr int kEndless = -1;

  // GETs of (command, option) are answered by count continued packets and a final one;
  // kEndless: continued packets until stop().
  void set(uint8_t command, uint8_t option, int count);
  // Forgets every choice; each endless run sends its final packet next.
  void stop();
  size_t running() const { return runs_.size(); }

  // When d is a host's GET of a chosen option: a counted run's packets go to replies at
  // once, an endless run starts. False for any other request.
  bool start(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& replies, uint64_t nowMs);
  // The endless runs' packets due by nowMs; returns when the next is due (kNever: none).
  uint64_t takeDue(uint64_t nowMs, std::vector<std::vector<uint8_t>>& out);

 private:
  struct Run {
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;
    uint32_t sent = 0;
    uint64_t nextMs = 0;
    bool stopping = false;
  };
  static std::vector<uint8_t> continued(const Run& run, uint32_t n);
  static std::vector<uint8_t> last(const Run& run, uint32_t n);

  std::map<std::pair<uint8_t, uint8_t>, int> chosen_;
  std::vector<Run> runs_;
};

}  // namespace model
}  // namespace devsim

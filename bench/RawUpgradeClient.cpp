#include "bench/RawUpgradeClient.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "bench/CpuUse.h"
#include "bench/Loopback.h"

namespace rawclient {

namespace {

constexpr uint8_t kUpgrade = 0x5F;
constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6, kStatus = 7;
constexpr uint8_t kDataUei = 10;
constexpr size_t kDataChunk = 26;   // DATA bytes per packet, as the updater sends them
constexpr size_t kUeiChunk = 24;    // byte-sequence bytes per packet

class Client {
 public:
  explicit Client(uint8_t module) : module_(module) {}
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }

  bool connectTo(uint16_t port) {
    fd_ = benchnet::connectLoopback(port);
    if (fd_ < 0) return fail("connect");
    const timeval limit{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return true;
  }

  // Appends one packet to the pending write.
  void add(uint8_t address, std::initializer_list<uint8_t> head, const uint8_t* tail = nullptr, size_t tailLength = 0) {
    out_.push_back(address);
    out_.push_back(static_cast<uint8_t>(head.size() + tailLength));
    out_.insert(out_.end(), head.begin(), head.end());
    if (tailLength > 0) out_.insert(out_.end(), tail, tail + tailLength);
  }
  bool flush() {
    size_t sent = 0;
    while (sent < out_.size()) {
      const ssize_t n = send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return fail("send");
      sent += static_cast<size_t>(n);
    }
    out_.clear();
    return true;
  }
  // Sends what is pending and reads the one reply; *data holds the reply's data bytes.
  bool ask(std::vector<uint8_t>* data) {
    if (!flush()) return false;
    roundTrips++;
    uint8_t head[2];
    if (!readExactly(head, 2)) return false;
    data->resize(head[1]);
    return head[1] == 0 || readExactly(data->data(), head[1]);
  }
  bool ask(uint8_t address, std::initializer_list<uint8_t> head, std::vector<uint8_t>* reply) {
    add(address, head);
    return ask(reply);
  }
  // An upgrade request whose reply must start with [0x5F][option] (and a zero status
  // after it when status is set).
  bool upgrade(std::vector<uint8_t>* reply, uint8_t replyOption, bool status) {
    if (!ask(reply)) return false;
    if (reply->size() < 2 || (*reply)[0] != kUpgrade || (*reply)[1] != replyOption) return fail("unexpected reply");
    if (status && (reply->size() < 3 || (*reply)[2] != 0)) return fail("refused");
    return true;
  }

  bool fail(const char* what) {
    if (error.empty()) error = what;
    return false;
  }

  // Reads until the module closes its end; false when it keeps the link.
  bool awaitDrop() {
    for (;;) {
      const ssize_t n = recv(fd_, in_, sizeof in_, 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
      if (n < 0) return fail("the module kept the link after REBOOT");
    }
  }

  uint8_t module() const { return module_; }
  long roundTrips = 0;
  std::string error;

 private:
  bool readExactly(uint8_t* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
      if (inCount_ == 0) {
        const ssize_t n = recv(fd_, in_, sizeof in_, 0);
        if (n <= 0) return fail("no reply");
        inHead_ = 0;
        inCount_ = static_cast<size_t>(n);
      }
      const size_t take = std::min(length - got, inCount_);
      std::memcpy(buffer + got, in_ + inHead_, take);
      got += take;
      inHead_ += take;
      inCount_ -= take;
    }
    return true;
  }

  const uint8_t module_;
  int fd_ = -1;
  std::vector<uint8_t> out_;
  uint8_t in_[4096];
  size_t inHead_ = 0, inCount_ = 0;
};

uint32_t big(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool prepare(Client& c, const Block& b, uint16_t* blockSize) {
  std::vector<uint8_t> r;
  c.add(c.module(), {kUpgrade, kPrepare, b.flags, static_cast<uint8_t>(b.address >> 24),
                     static_cast<uint8_t>(b.address >> 16), static_cast<uint8_t>(b.address >> 8),
                     static_cast<uint8_t>(b.address)});
  if (!c.upgrade(&r, kStatus, true)) return false;
  if (r.size() < 5) return c.fail("prepare reply without block size");
  *blockSize = static_cast<uint16_t>(r[3] << 8 | r[4]);
  return true;
}

// One piece: its DATA packets (or one byte sequence), then the sum check.
bool piece(Client& c, const uint8_t* bytes, size_t length, bool uei) {
  std::vector<uint8_t> r;
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i++) sum += bytes[i];
  if (uei) {
    uint8_t counter = 0;
    size_t offset = 0;
    do {
      const size_t chunk = std::min(kUeiChunk, length - offset);
      const bool more = offset + chunk < length;
      uint8_t body[kUeiChunk + 1];
      std::memcpy(body, bytes + offset, chunk);
      body[chunk] = static_cast<uint8_t>((more ? 0x80 : 0x00) | (counter++ & 0x7F));
      c.add(c.module(), {kUpgrade, static_cast<uint8_t>(0x80 | kDataUei), 0x20}, body, chunk + 1);
      offset += chunk;
    } while (offset < length);
    if (!c.ask(&r)) return false;
    if (r.size() < 3 || r[0] != kUpgrade || (r[2] & 0x80) != 0) return c.fail("byte sequence refused");
  } else {
    for (size_t offset = 0; offset < length; offset += kDataChunk) {
      const size_t n = std::min(kDataChunk, length - offset);
      c.add(c.module(), {kUpgrade, kData}, bytes + offset, n);
      if (!c.upgrade(&r, kData, false)) return false;
      if (r.size() < 3 || r[2] != n) return c.fail("DATA count");
    }
  }
  c.add(c.module(), {kUpgrade, kSum});
  if (!c.upgrade(&r, kStatus, true)) return false;
  if (r.size() < 7 || big(&r[3]) != sum) return c.fail("sum");
  return true;
}

bool exchange(Client& c, const Plan& plan) {
  std::vector<uint8_t> r;
  const uint8_t m = c.module();
  // Link start, module connection and validation, as the updater's link and Module do.
  c.add(0xAF, {0x01});
  if (!c.ask(0xAD, {}, &r)) return false;
  if (!c.ask(m, {0x03, 0x49, 0x20}, &r) || !c.ask(m, {0x03, 0x48, 0x20}, &r)) return false;
  c.add(m, {kUpgrade, kInit});
  if (!c.upgrade(&r, kInit, false)) return false;
  for (const Block& b : plan.loader) {
    uint16_t size = 0;
    if (!prepare(c, b, &size) || !piece(c, b.bytes.data(), b.bytes.size(), false)) return false;
  }
  c.add(m, {kUpgrade, kLoad});
  if (!c.upgrade(&r, kLoad, false)) return false;
  // Does the module take byte sequences (and, then, pooled packets)?
  if (!c.ask(m, {0x49, 0x01, kUpgrade, kDataUei, 0x00, 0x80}, &r)) return false;
  if (plan.ueiPooled && !c.ask(m, {0x03, 0x6D, 0x20}, &r)) return false;
  for (const Block& b : plan.firmware) {
    uint16_t size = 0;
    if (!prepare(c, b, &size)) return false;
    if (size == 0) return c.fail("block size 0");
    for (size_t at = 0; at < b.bytes.size(); at += size) {
      const size_t n = std::min<size_t>(size, b.bytes.size() - at);
      if (!piece(c, b.bytes.data() + at, n, plan.ueiPooled)) return false;
      c.add(m, {kUpgrade, kWrite, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
      if (!c.upgrade(&r, kStatus, true)) return false;
    }
  }
  c.add(m, {kUpgrade, kReboot});
  return c.flush();
}

}  // namespace

Result run(uint16_t port, const Plan& plan) {
  Result result;
  Client c(plan.module);
  const benchnet::CpuUse before = benchnet::cpuUse(RUSAGE_THREAD);
  const auto start = std::chrono::steady_clock::now();
  result.ok = c.connectTo(port) && exchange(c, plan);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.ok = result.ok && c.awaitDrop();
  result.droppedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
  const benchnet::CpuUse after = benchnet::cpuUse(RUSAGE_THREAD);
  result.contextSwitches = after.switches - before.switches;
  result.cpuSeconds = after.seconds - before.seconds;
  result.roundTrips = c.roundTrips;
  result.error = c.error;
  return result;
}

}  // namespace rawclient

#include "tests/sim/upgrade/UpgradeDevice.h"

#include <sstream>

namespace devsim {
namespace upgrade {

namespace {
constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kAckFlags = 0xC0;
constexpr uint8_t kHostRequest = 0x20;
constexpr uint8_t kErrorReply = 0x80;
constexpr uint8_t kErrPacket = 24;

uint32_t big(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

void putBig(std::vector<uint8_t>& out, uint32_t value, unsigned bytes) {
  for (unsigned i = bytes; i > 0; i--) out.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
}

std::vector<uint8_t> flatten(const std::map<uint32_t, uint8_t>& memory, uint32_t* lowest) {
  std::vector<uint8_t> out;
  if (memory.empty()) {
    if (lowest != nullptr) *lowest = 0;
    return out;
  }
  const uint32_t first = memory.begin()->first;
  const uint32_t last = memory.rbegin()->first;
  out.assign(static_cast<size_t>(last - first) + 1, 0xFF);
  for (const auto& cell : memory) out[cell.first - first] = cell.second;
  if (lowest != nullptr) *lowest = first;
  return out;
}
}  // namespace

UpgradeDevice::UpgradeDevice(uint8_t address, Settings settings) : address_(address), settings_(settings) {
  if (settings_.loaderRunning) state_ = State::LoaderRunning;
}

void UpgradeDevice::setSettings(const Settings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
}

Settings UpgradeDevice::settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void UpgradeDevice::setEventSink(EventSink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void UpgradeDevice::setLoadAcknowledgedBySink(bool bySink) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadBySink_ = bySink;
}

WirePacket UpgradeDevice::packet(std::vector<uint8_t> data) const {
  WirePacket p;
  p.address = address_;
  p.data = std::move(data);
  return p;
}

WirePacket UpgradeDevice::loadAcknowledgement() const { return packet({kCmdUpgrade, kLoad}); }

bool UpgradeDevice::takeOverDue() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool due = takeOverDue_;
  takeOverDue_ = false;
  return due;
}

void UpgradeDevice::otherHostPiece() {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.takeOvers++;
  const bool loader = state_ == State::Announced;
  if (!loader && state_ != State::LoaderRunning) return;
  const uint32_t at = loader ? firstLoader_ : firstFirmware_;
  std::map<uint32_t, uint8_t>& memory = loader ? loader_ : flash_;
  for (uint32_t i = 0; i < kOtherHostPiece; i++) memory[at + i] = 0;
  cursor_ = at + kOtherHostPiece;
  target_ = loader ? Target::Loader : Target::Firmware;
  pending_.clear();
}

bool UpgradeDevice::spoil(int& counter) {
  if (counter == 0) return false;
  if (counter > 0) counter--;
  return true;
}

void UpgradeDevice::protocolError() { counts_.protocolErrors++; }

bool UpgradeDevice::handle(const WirePacket& in, std::vector<WirePacket>& out) {
  const std::vector<uint8_t>& d = in.data;
  if (in.address != address_ || d.size() < 2 || d[0] != kCmdUpgrade) return false;
  Event event{};
  bool raise = false;
  EventSink sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((d[1] & kSetFlag) != 0) {
      uei(d, out);
      return true;
    }
    const uint8_t option = d[1];
    if (option < 16) counts_.requests[option]++;
    if (option == settings_.takenOverOption && counts_.requests[option] == settings_.takenOverAt)
      takeOverDue_ = true;
    Faults& f = settings_.faults;
    if (f.silentOption == option && spoil(f.silent)) return true;
    const bool cut = f.shortOption == option && spoil(f.shortReply);
    switch (option) {
      case kInit: {
        if (d.size() != 2) protocolError();
        state_ = State::Announced;
        target_ = Target::None;
        pending_.clear();
        std::vector<uint8_t> r = {kCmdUpgrade, kInit};
        if (!cut) putBig(r, settings_.loadBase, 4);
        out.push_back(packet(r));
        break;
      }
      case kPrepare: {
        if (d.size() != 7 || state_ == State::Running) {
          protocolError();
          out.push_back(packet({kCmdUpgrade, kStatus, 1}));
          break;
        }
        if (!pending_.empty() && target_ == Target::Firmware) protocolError();   // data never written
        pending_.clear();
        cursor_ = big(&d[3]);
        target_ = state_ == State::Announced ? Target::Loader : Target::Firmware;
        uint32_t& first = target_ == Target::Loader ? firstLoader_ : firstFirmware_;
        if (first == 0) first = cursor_;
        spoiledPiece_ = target_ == Target::Firmware && cursor_ == f.failFirmwareAddress;
        if (spoil(f.badPrepare)) {
          target_ = Target::None;
          out.push_back(packet({kCmdUpgrade, kStatus, 1}));
          break;
        }
        std::vector<uint8_t> r = {kCmdUpgrade, kStatus, 0};
        if (!cut) putBig(r, settings_.blockSize, 2);
        out.push_back(packet(r));
        break;
      }
      case kData: {
        const size_t n = d.size() - 2;
        if (target_ == Target::None || n == 0 || n > 26) {
          protocolError();
          out.push_back(packet({kCmdUpgrade, kData, 0}));
          break;
        }
        if (spoil(f.wrongCount)) {
          // The chunk is dropped, as a module that lost part of it would.
          out.push_back(packet({kCmdUpgrade, kData, static_cast<uint8_t>(n - 1)}));
          break;
        }
        pending_.insert(pending_.end(), d.begin() + 2, d.end());
        out.push_back(packet({kCmdUpgrade, kData, static_cast<uint8_t>(n)}));
        break;
      }
      case kSum: {
        uint32_t sum = 0;
        for (uint8_t b : pending_) sum += b;
        uint8_t status = target_ == Target::None ? 1 : 0;
        if (target_ == Target::None) protocolError();
        if (spoiledPiece_ || spoil(f.wrongSum)) sum += 1;
        if (spoil(f.badSum)) status = 1;
        // A loader block is kept once its sum is asked for.
        if (target_ == Target::Loader) {
          for (size_t i = 0; i < pending_.size(); i++) loader_[cursor_ + static_cast<uint32_t>(i)] = pending_[i];
          cursor_ += static_cast<uint32_t>(pending_.size());
          pending_.clear();
        }
        std::vector<uint8_t> r = {kCmdUpgrade, kStatus, status};
        if (!cut) putBig(r, sum, 4);
        out.push_back(packet(r));
        break;
      }
      case kWrite: {
        uint8_t status = 0;
        if (d.size() != 4 || target_ != Target::Firmware) {
          protocolError();
          status = 1;
        } else {
          const uint16_t count = static_cast<uint16_t>(d[2] << 8 | d[3]);
          if (count != (pending_.size() & 0xFFFF) || spoil(f.badWrite)) {
            if (count != (pending_.size() & 0xFFFF)) protocolError();
            status = 1;
          } else {
            for (size_t i = 0; i < pending_.size(); i++) flash_[cursor_ + static_cast<uint32_t>(i)] = pending_[i];
            cursor_ += static_cast<uint32_t>(pending_.size());
          }
          pending_.clear();
        }
        std::vector<uint8_t> r = {kCmdUpgrade, kStatus};
        if (!cut) r.push_back(status);
        out.push_back(packet(r));
        break;
      }
      case kLoad: {
        if (state_ != State::Announced || loader_.empty()) protocolError();
        state_ = State::LoaderRunning;
        target_ = Target::None;
        pending_.clear();
        counts_.loaderStarts++;
        sink = sink_;
        if (!(sink && loadBySink_)) out.push_back(packet({kCmdUpgrade, kLoad}));
        event = Event::LoaderStarted;
        raise = true;
        break;
      }
      case kReboot: {
        if (state_ != State::LoaderRunning) protocolError();
        state_ = State::Running;
        target_ = Target::None;
        pending_.clear();
        counts_.reboots++;
        sink = sink_;
        event = Event::Rebooted;
        raise = true;
        break;
      }
      default:
        protocolError();
        break;
    }
  }
  if (raise && sink) sink(event);
  return true;
}

// A UEI set of option 10: the piece as a byte sequence, acknowledged after its last chunk.
void UpgradeDevice::uei(const std::vector<uint8_t>& d, std::vector<WirePacket>& out) {
  const uint8_t option = d[1] & 0x3F;
  if (option < 16) counts_.requests[option]++;
  if (d.size() < 4 || (d[2] & 0xE0) != kHostRequest) {
    protocolError();
    return;
  }
  const uint8_t index = d[2] & 0x1F;
  const uint8_t ack = static_cast<uint8_t>(option | kAckFlags);
  if (option != kDataUei || !settings_.acceptUeiData) {
    out.push_back(packet({kCmdUpgrade, ack, static_cast<uint8_t>(index | kErrorReply), 29}));
    return;
  }
  const uint8_t sequenceByte = d.back();
  const uint8_t sequence = sequenceByte & 0x7F;
  if (sequence != ueiExpected_) ueiBroken_ = true;
  ueiIncoming_.insert(ueiIncoming_.end(), d.begin() + 3, d.end() - 1);
  ueiExpected_ = static_cast<uint8_t>((sequence + 1) & 0x7F);
  if ((sequenceByte & 0x80) != 0) return;
  const bool broken = ueiBroken_ || target_ != Target::Firmware;
  ueiBroken_ = false;
  ueiExpected_ = 0;
  if (broken) {
    protocolError();
    ueiIncoming_.clear();
    out.push_back(packet({kCmdUpgrade, ack, static_cast<uint8_t>(index | kErrorReply), kErrPacket}));
    return;
  }
  pending_.insert(pending_.end(), ueiIncoming_.begin(), ueiIncoming_.end());
  ueiIncoming_.clear();
  out.push_back(packet({kCmdUpgrade, ack, index}));
}

std::vector<uint8_t> UpgradeDevice::image(uint32_t* lowest) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flatten(flash_, lowest);
}

std::vector<uint8_t> UpgradeDevice::loaderImage(uint32_t* lowest) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flatten(loader_, lowest);
}

Counts UpgradeDevice::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

std::string UpgradeDevice::stateName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (state_) {
    case State::Running: return "running";
    case State::Announced: return "announced";
    case State::LoaderRunning: return "loader";
  }
  return "?";
}

std::string UpgradeDevice::report() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream s;
  static const char* names[] = {"init", "data", "load", "prepare", "sum", "write", "reboot", "status",
                                "opt8", "opt9", "data_uei", "opt11", "opt12", "opt13", "opt14", "opt15"};
  for (int i = 0; i < 16; i++) s << names[i] << "=" << counts_.requests[i] << "\n";
  s << "protocol_errors=" << counts_.protocolErrors << "\n";
  s << "loader_starts=" << counts_.loaderStarts << "\n";
  s << "reboots=" << counts_.reboots << "\n";
  s << "taken_over=" << counts_.takeOvers << "\n";
  s << "flash_bytes=" << flash_.size() << "\n";
  s << "loader_bytes=" << loader_.size() << "\n";
  return s.str();
}

}  // namespace upgrade
}  // namespace devsim

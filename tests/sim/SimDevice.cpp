#include "tests/sim/SimDevice.h"

#include <algorithm>
#include <chrono>

namespace devsim {

namespace {
constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;
constexpr uint8_t kSystemCommand = 0x03;
constexpr uint8_t kModelGet = 0x48;   // GET bit and option 8
}  // namespace

uint64_t nowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

Device::Device(Config config) : config_(config) {}

Config Device::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void Device::setConfig(const Config& config) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool heartbeatChanged = config.heartbeatMs != config_.heartbeatMs;
    config_ = config;
    if (heartbeatChanged) nextHeartbeatMs_ = nowMs() + config_.heartbeatMs;
  }
  wake();
}

void Device::addHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.push_back(std::move(handler));
}

void Device::addSource(Source source) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.push_back(std::move(source));
  }
  wake();
}

void Device::setWakeup(std::function<void()> wake) {
  // Under the slot's lock: a front end that clears its wake-up while it shuts down
  // waits for a wake-up already under way instead of racing it.
  std::lock_guard<std::mutex> lock(wakeSlot_->mutex);
  wakeSlot_->wake = std::move(wake);
}

std::function<void()> Device::waker() const {
  std::shared_ptr<WakeSlot> slot = wakeSlot_;
  return [slot] {
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (slot->wake) slot->wake();
  };
}

void Device::wake() {
  std::lock_guard<std::mutex> lock(wakeSlot_->mutex);
  if (wakeSlot_->wake) wakeSlot_->wake();
}

void Device::queueLocked(const WirePacket& packet, bool applyKnobs) {
  Chunk chunk;
  chunk.bytes = wireBytes(packet);
  chunk.dueMs = nowMs();
  if (applyKnobs) {
    if (config_.dropReplies != 0) {
      if (config_.dropReplies > 0) config_.dropReplies--;
      return;
    }
    chunk.split = config_.splitBytes;
    chunk.dueMs += config_.replyDelayMs;
    if (unsolicitedArmed_) {
      unsolicitedArmed_ = false;
      if (config_.unsolicitedCount > 0) config_.unsolicitedCount--;
      WirePacket extra = config_.unsolicited;
      if (extra.address == 0) extra.address = config_.address;
      Chunk before;
      before.bytes = wireBytes(extra);
      before.split = chunk.split;
      before.dueMs = chunk.dueMs;
      outbox_.push_back(std::move(before));
    }
  }
  outbox_.push_back(std::move(chunk));
}

void Device::reply(const WirePacket& packet) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queueLocked(packet, true);
  }
  wake();
}

void Device::send(const WirePacket& packet) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queueLocked(packet, false);
  }
  wake();
}

void Device::sendRaw(const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Chunk chunk;
    chunk.bytes = bytes;
    chunk.framed = false;
    chunk.dueMs = nowMs();
    outbox_.push_back(std::move(chunk));
  }
  wake();
}

std::vector<Received> Device::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t Device::countReceived(const std::function<bool(const WirePacket&)>& match) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(received_.begin(), received_.end(),
                                           [&](const Received& r) { return match(r.packet); }));
}

bool Device::waitForCount(const std::function<bool(const WirePacket&)>& match, size_t count,
                          uint64_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<size_t>(std::count_if(received_.begin(), received_.end(),
                                             [&](const Received& r) { return match(r.packet); })) >= count;
  });
}

void Device::clearReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
}

HeartbeatStats Device::heartbeats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heartbeats_;
}

int Device::routeState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return routeState_;
}

uint32_t Device::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

uint64_t Device::firstConnectedMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstConnectedMs_;
}

uint32_t Device::badFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return badFrames_;
}

void Device::feedBytes(const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; i++) {
    WirePacket packet;
    bool complete;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      complete = parser_.feed(bytes[i], packet);
    }
    if (complete) feedPacket(packet);
  }
}

namespace {
bool isModelQuery(const WirePacket& packet) {
  const auto& d = packet.data;
  return d.size() == 3 && d[0] == kSystemCommand && d[1] == kModelGet && (d[2] & 0x1F) == 0;
}

bool isHeartbeatAnswer(const WirePacket& packet) {
  return packet.data.size() == 2 && packet.data[0] == 0x00;
}
}  // namespace

void Device::feedPacket(const WirePacket& packet) {
  const bool linkControl = packet.address == kSyncAddress || packet.address == kRouteAddress;
  std::vector<Handler> handlers;
  bool silenced;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(Received{nowMs(), packet});
    handlers = handlers_;
    silenced = !config_.answerModelQuery && isModelQuery(packet);
    unsolicitedArmed_ = config_.unsolicitedCount != 0 && !linkControl && !isHeartbeatAnswer(packet);
  }
  changed_.notify_all();
  if (!silenced) respond(packet, handlers, linkControl);
  std::lock_guard<std::mutex> lock(mutex_);
  unsolicitedArmed_ = false;
}

void Device::respond(const WirePacket& packet, const std::vector<Handler>& handlers, bool linkControl) {
  // Handlers run without the lock so that they may call reply() and read the config.
  if (!linkControl) {
    for (auto& h : handlers)
      if (h(packet, *this)) return;
  }
  std::vector<WirePacket> replies;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handleLocked(packet, replies);
    for (const auto& r : replies) queueLocked(r, true);
  }
  if (!replies.empty()) wake();
}

void Device::handleLocked(const WirePacket& packet, std::vector<WirePacket>& replies) {
  if (packet.address == kSyncAddress) {
    if (!config_.answerSync || !packet.data.empty()) return;
    WirePacket answer;
    answer.address = config_.syncAddress >= 0 ? static_cast<uint8_t>(config_.syncAddress) : config_.address;
    replies.push_back(answer);
    return;
  }
  if (packet.address == kRouteAddress) {
    if (packet.data.size() == 1) routeState_ = packet.data[0];
    return;
  }
  if (packet.address != config_.address) return;
  const auto& d = packet.data;
  if (d.size() == 2 && d[0] == 0x00) {
    // Answers may lag a beat behind on a busy host; they must come in order.
    auto it = std::find(pendingHeartbeats_.begin(), pendingHeartbeats_.end(), d[1]);
    if (it == pendingHeartbeats_.end()) {
      heartbeats_.wrong++;
      return;
    }
    heartbeats_.missed += static_cast<uint32_t>(it - pendingHeartbeats_.begin());
    heartbeats_.answered++;
    pendingHeartbeats_.erase(pendingHeartbeats_.begin(), it + 1);
    return;
  }
  if (isModelQuery(packet)) {
    WirePacket answer;
    answer.address = config_.address;
    answer.data = {kSystemCommand, static_cast<uint8_t>(kModelGet & 0x3F), 0x00, config_.model};
    replies.push_back(answer);
  }
}

void Device::heartbeatLocked(uint64_t now) {
  if (!linked_ || config_.heartbeatMs == 0 || now < nextHeartbeatMs_) return;
  if (pendingHeartbeats_.size() >= 8) {
    pendingHeartbeats_.pop_front();
    heartbeats_.missed++;
  }
  WirePacket beat;
  beat.address = config_.address;
  beat.data = {0x00, nextHeartbeatValue_};
  pendingHeartbeats_.push_back(static_cast<uint8_t>(nextHeartbeatValue_ + 2));
  nextHeartbeatValue_ ^= 1;   // up and down heartbeats alternate
  heartbeats_.sent++;
  queueLocked(beat, false);
  nextHeartbeatMs_ = now + config_.heartbeatMs;
}

void Device::noteBadFrame() {
  std::lock_guard<std::mutex> lock(mutex_);
  badFrames_++;
}

void Device::connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  linked_ = true;
  connections_++;
  if (firstConnectedMs_ == 0) firstConnectedMs_ = nowMs();
  parser_.reset();
  pendingHeartbeats_.clear();
  nextHeartbeatMs_ = nowMs() + config_.heartbeatMs;
  sourcesDueMs_ = nowMs();   // ask the sources afresh: they were not asked while nobody listened
}

void Device::disconnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  linked_ = false;
  outbox_.clear();
  parser_.reset();
}

uint64_t Device::msUntilNextEvent(uint64_t limit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t now = nowMs();
  uint64_t next = now + limit;
  for (const auto& c : outbox_) next = std::min(next, c.dueMs);
  if (linked_ && config_.heartbeatMs != 0) next = std::min(next, nextHeartbeatMs_);
  if (linked_) next = std::min(next, sourcesDueMs_);
  return next > now ? next - now : 0;
}

std::vector<Chunk> Device::takeDue() {
  std::vector<Source> sources;
  bool linked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sources = sources_;
    linked = linked_;
  }
  // Sources run without the lock: they take their own (the model's), and the model
  // never calls into the device while holding it.
  std::vector<WirePacket> timed;
  uint64_t sourcesDue = kNever;
  if (linked) {
    const uint64_t now = nowMs();
    for (auto& source : sources) sourcesDue = std::min(sourcesDue, source(now, timed));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t now = nowMs();
  // A source that names a time already past is asked again a millisecond later, not
  // in a busy loop.
  sourcesDueMs_ = sourcesDue == kNever ? kNever : std::max(sourcesDue, now + 1);
  if (linked_)
    for (const auto& p : timed) queueLocked(p, false);
  heartbeatLocked(now);
  std::vector<Chunk> due;
  // Keep the order of the outbox: a delayed reply holds back what was queued after it.
  size_t i = 0;
  while (i < outbox_.size() && outbox_[i].dueMs <= now) due.push_back(std::move(outbox_[i++]));
  outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<long>(i));
  return due;
}

}  // namespace devsim

#include "tests/sim/model/ModelModule.h"

#include <algorithm>

#include "tests/sim/SimDevice.h"

namespace devsim {
namespace model {

namespace {
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kHostRequest = 0x20;
constexpr uint8_t kErrorReply = 0x80;
constexpr size_t kChunk = 24;
constexpr uint8_t kI2CNack = 0x80 | kErrIO;
constexpr size_t kI2CMaxCount = 23;

// System options read from the module's identity rather than from the value store.
constexpr uint8_t kOptModule = 1;
constexpr uint8_t kOptRouter = 2;
constexpr uint8_t kOptVersion = 7;
constexpr uint8_t kOptModel = 8;
constexpr uint8_t kOptSerial = 9;
constexpr uint8_t kOptName = 32;
constexpr uint8_t kOptIdentifier = 39;
constexpr uint8_t kOptBuild = 43;
constexpr uint8_t kOptFeatures = 45;

unsigned width(Kind kind) {
  switch (kind) {
    case Kind::U8: return 1;
    case Kind::U16: return 2;
    case Kind::U32: return 4;
    default: return 0;
  }
}

void putBig(std::vector<uint8_t>& out, uint32_t value, unsigned bytes) {
  for (unsigned i = bytes; i > 0; i--) out.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
}

uint32_t getBig(const uint8_t* p, unsigned bytes) {
  uint32_t v = 0;
  for (unsigned i = 0; i < bytes; i++) v = (v << 8) | p[i];
  return v;
}

OptionSpec sys(uint8_t option, Kind kind, bool readOnly = true) {
  OptionSpec s;
  s.command = kCmdSystem;
  s.option = option;
  s.kind = kind;
  s.readOnly = readOnly;
  return s;
}
}  // namespace

std::vector<OptionSpec> defaultOptionTable() {
  std::vector<OptionSpec> t;
  t.push_back(sys(1, Kind::U8));
  t.push_back(sys(2, Kind::U8, false));
  t.push_back(sys(3, Kind::U8, false));
  t.push_back(sys(4, Kind::U8, false));
  t.push_back(sys(6, Kind::U8, false));
  t.push_back(sys(7, Kind::U32));
  t.push_back(sys(8, Kind::U8));
  t.push_back(sys(9, Kind::U32));
  t.push_back(sys(10, Kind::Call, false));
  t.push_back(sys(11, Kind::Call, false));
  t.push_back(sys(12, Kind::U32));
  t.push_back(sys(13, Kind::U8));
  t.push_back(sys(14, Kind::U8));
  t.push_back(sys(15, Kind::U8, false));
  t.push_back(sys(16, Kind::U8));
  OptionSpec route = sys(20, Kind::U8, false);
  route.writeOnly = true;
  t.push_back(route);
  for (uint8_t o : {21, 22, 23, 25, 26, 27, 28, 33, 35, 40, 41, 43, 45}) t.push_back(sys(o, Kind::U32));
  t.push_back(sys(24, Kind::Call, false));
  t.push_back(sys(29, Kind::U8));
  t.push_back(sys(30, Kind::U8, false));
  OptionSpec power = sys(31, Kind::Bytes, false);
  power.maxBytes = 64;
  t.push_back(power);
  OptionSpec name = sys(kOptName, Kind::Bytes, false);
  name.maxBytes = 32;
  t.push_back(name);
  t.push_back(sys(34, Kind::U32, false));
  t.push_back(sys(37, Kind::Call, false));
  t.push_back(sys(38, Kind::U8, false));
  OptionSpec id = sys(kOptIdentifier, Kind::U32);
  id.subindexes = 4;
  t.push_back(id);
  t.push_back(sys(42, Kind::U8, false));
  for (uint8_t o = 0; o <= 2; o++) {
    OptionSpec store;
    store.command = kCmdStore;
    store.option = o;
    store.kind = Kind::U32;
    store.writeOnly = true;
    t.push_back(store);
  }
  return t;
}

Module::Module(const ModuleConfig& config) : address_(config.address) {
  for (const auto& s : defaultOptionTable()) table_[{s.command, s.option}] = s;
  values_[{{kCmdSystem, kOptRouter}, 0}] = config.router;
  values_[{{kCmdSystem, kOptVersion}, 0}] = config.version;
  values_[{{kCmdSystem, kOptModel}, 0}] = config.model;
  values_[{{kCmdSystem, kOptSerial}, 0}] = config.serial;
  values_[{{kCmdSystem, kOptBuild}, 0}] = config.build;
  values_[{{kCmdSystem, kOptFeatures}, 0}] = config.features;
  for (uint8_t i = 0; i < 4; i++) values_[{{kCmdSystem, kOptIdentifier}, i}] = config.identifier[i];
  bytes_[{kCmdSystem, kOptName}] = config.name;
}

uint8_t Module::address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return address_;
}

void Module::setAddress(uint8_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  address_ = address;
}

void Module::setOption(const OptionSpec& spec) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_[{spec.command, spec.option}] = spec;
}

void Module::removeOption(uint8_t command, uint8_t option) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_.erase({command, option});
}

void Module::setValue(uint8_t command, uint8_t option, uint8_t subindex, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_[{{command, option}, subindex}] = value;
}

uint32_t Module::value(uint8_t command, uint8_t option, uint8_t subindex) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return valueLocked(command, option, subindex);
}

uint32_t Module::valueLocked(uint8_t command, uint8_t option, uint8_t subindex) const {
  if (command == kCmdSystem && option == kOptModule) return address_;
  auto it = values_.find({{command, option}, subindex});
  return it == values_.end() ? 0 : it->second;
}

void Module::setBytes(uint8_t command, uint8_t option, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_[{command, option}] = bytes;
}

std::vector<uint8_t> Module::bytes(uint8_t command, uint8_t option) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = bytes_.find({command, option});
  return it == bytes_.end() ? std::vector<uint8_t>() : it->second;
}

void Module::failOption(uint8_t command, uint8_t option, uint8_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[{command, option}] = code;
}

void Module::muteOption(uint8_t command, uint8_t option) {
  std::lock_guard<std::mutex> lock(mutex_);
  muted_.insert({command, option});
}

void Module::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.clear();
  muted_.clear();
  slots_.faults().clear();
  factory_.faults().clear();
}

unsigned Module::acknowledged(uint8_t command, uint8_t option) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = acks_.find({command, option});
  return it == acks_.end() ? 0 : it->second;
}

void Module::setClassQuantity(uint8_t entityClass, uint8_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  classes_[entityClass] = count;
}

void Module::setSubClass(uint8_t entityClass, uint8_t subClass, uint8_t count, uint8_t group) {
  std::lock_guard<std::mutex> lock(mutex_);
  subClasses_[{entityClass, subClass}] = {count, group};
}

void Module::addUEI(uint8_t command, uint8_t option) {
  std::lock_guard<std::mutex> lock(mutex_);
  extraUEIs_.insert({command, option});
}

void Module::addI2CDevice(uint8_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  i2cDevices_.insert(static_cast<uint8_t>(address & 0xFE));
}

void Module::removeI2CDevice(uint8_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  i2cDevices_.erase(static_cast<uint8_t>(address & 0xFE));
}

bool Module::pullup() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pullup_;
}

std::vector<std::vector<uint8_t>> Module::i2cWrites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return i2cWrites_;
}

void Module::setSamplePeriodMs(uint32_t periodMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_.setPeriodMs(periodMs);
  }
  wake();
}

void Module::setStreamTimestamp(std::optional<uint64_t> timestamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  stream_.setTimestamp(timestamp);
}

std::vector<uint32_t> Module::streamPatterns() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stream_.patterns();
}

uint64_t Module::samplesSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stream_.samplesSent();
}

void Module::continueReplies(uint8_t command, uint8_t option, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  continued_.set(command, option, count);
}

void Module::stopContinuedReplies() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    continued_.stop();
  }
  wake();
}

void Module::setSlot(uint8_t store, uint8_t slot, uint16_t capacity, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.setSlot(store, slot, capacity, bytes);
}

void Module::removeSlot(uint8_t store, uint8_t slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.removeSlot(store, slot);
}

std::vector<uint8_t> Module::slotBytes(uint8_t store, uint8_t slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.bytes(store, slot);
}

size_t Module::openSlotHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.openHandles();
}

void Module::failSlot(uint8_t op, const ReplyFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.faults().set(op, fault);
}

void Module::setFactoryData(uint8_t slot, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  factory_.setData(slot, bytes);
}

std::vector<uint8_t> Module::factoryData(uint8_t slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return factory_.data(slot);
}

void Module::setFactoryCapacity(size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  factory_.setCapacity(capacity);
}

void Module::failFactory(FactoryPacket packet, const ReplyFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  factory_.faults().set(packet, fault);
}

void Module::setWaker(std::function<void()> waker) {
  std::lock_guard<std::mutex> lock(mutex_);
  waker_ = std::move(waker);
}

void Module::wake() const {
  std::function<void()> waker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waker = waker_;
  }
  if (waker) waker();
}

uint64_t Module::takeDue(uint64_t nowMs, std::vector<WirePacket>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t next = kNever;
  if (stream_.due(nowMs, next)) sampleRoundLocked(out);
  std::vector<std::vector<uint8_t>> runs;
  next = std::min(next, continued_.takeDue(nowMs, runs));
  for (auto& r : runs) out.push_back(packet(std::move(r)));
  return next;
}

void Module::sampleRoundLocked(std::vector<WirePacket>& out) {
  // Every plain-number option the module can read, in table order; the module's
  // entities all sit at index 0.
  for (const auto& entry : table_) {
    const OptionSpec& spec = entry.second;
    const unsigned w = width(spec.kind);
    if (w == 0 || spec.writeOnly || !stream_.matches(spec.command, spec.option, 0)) continue;
    if (spec.subindexes == 0) {
      out.push_back(packet(stream_.sample(spec.command, spec.option, w, false, 0,
                                          valueLocked(spec.command, spec.option, 0))));
      continue;
    }
    for (uint8_t sub = 0; sub < spec.subindexes; sub++)
      out.push_back(packet(stream_.sample(spec.command, spec.option, w, true, sub,
                                          valueLocked(spec.command, spec.option, sub))));
  }
}

WirePacket Module::packet(std::vector<uint8_t> data) const {
  WirePacket p;
  p.address = address_;
  p.data = std::move(data);
  return p;
}

WirePacket Module::error(uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code) const {
  return packet({command, optionByte, static_cast<uint8_t>(index | kErrorReply), code});
}

bool Module::handle(const WirePacket& in, std::vector<WirePacket>& out) {
  if (in.data.empty()) return false;
  std::vector<std::vector<uint8_t>> replies;
  bool runStarted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t before = continued_.running();
    if (continued_.start(in.data, replies, nowMs())) {
      runStarted = continued_.running() > before;
      for (auto& r : replies) out.push_back(packet(std::move(r)));
    } else if (!handleLocked(in, out)) {
      return false;
    }
  }
  // An endless run answers through the timed packets, which the front end may not look
  // at again before its next event.
  if (runStarted) wake();
  return true;
}

bool Module::handleLocked(const WirePacket& in, std::vector<WirePacket>& out) {
  std::vector<std::vector<uint8_t>> replies;
  switch (in.data[0]) {
    case kCmdSystem:
    case kCmdStore:
      uei(in, out);
      return true;
    case kCmdStream:
      stream(in.data, out);
      return true;
    case kCmdSlot:
      slots_.handle(in.data, replies);
      for (auto& r : replies) out.push_back(packet(std::move(r)));
      return true;
    case kCmdFactory:
      factory_.handle(in.data, replies);
      for (auto& r : replies) out.push_back(packet(std::move(r)));
      return true;
    case kCmdI2C:
      i2c(in.data, out);
      return true;
    case kCmdInfo:
      info(in.data, out);
      return true;
    case kCmdDebug:
      out.push_back(packet(in.data));
      return true;
    default:
      return false;
  }
}

bool Module::ueiRequest(const std::vector<uint8_t>& d, UeiRequest& r, std::vector<WirePacket>& out) const {
  if (d.size() < 3) return false;
  r.command = d[0];
  r.flags = d[1] & 0xC0;
  r.option = d[1] & 0x3F;
  // Only host requests are answered: a module never answers its own kind of traffic.
  if ((d[2] & 0xE0) != kHostRequest) return false;
  r.index = d[2] & 0x1F;
  if (r.flags != kGet && r.flags != kSet) return false;
  r.replyOption = r.flags == kGet ? r.option : static_cast<uint8_t>(r.option | kAck);
  const Key key{r.command, r.option};
  if (muted_.count(key)) return false;
  auto failure = failures_.find(key);
  if (failure != failures_.end()) {
    out.push_back(error(r.command, r.replyOption, r.index, failure->second));
    return false;
  }
  if (r.index != 0) {
    out.push_back(error(r.command, r.replyOption, r.index, kErrInvalidEntity));
    return false;
  }
  return true;
}

void Module::stream(const std::vector<uint8_t>& d, std::vector<WirePacket>& out) {
  UeiRequest r;
  if (!ueiRequest(d, r, out)) return;
  std::vector<uint8_t> reply;
  const uint8_t code = stream_.handle(address_, r.flags, r.option, d, reply);
  out.push_back(code == 0 ? packet(std::move(reply)) : error(r.command, r.replyOption, r.index, code));
}

void Module::uei(const WirePacket& in, std::vector<WirePacket>& out) {
  const std::vector<uint8_t>& d = in.data;
  UeiRequest r;
  if (!ueiRequest(d, r, out)) return;
  auto spec = table_.find({r.command, r.option});
  if (spec == table_.end()) {
    out.push_back(error(r.command, r.replyOption, r.index, kErrInvalidOption));
    return;
  }
  if (r.flags == kGet)
    ueiGet(spec->second, r.index, d, out);
  else
    ueiSet(spec->second, r.index, d, out);
}

void Module::ueiGet(const OptionSpec& spec, uint8_t index, const std::vector<uint8_t>& d,
                    std::vector<WirePacket>& out) {
  const uint8_t c = spec.command, o = spec.option;
  if (spec.writeOnly || spec.kind == Kind::Call) {
    out.push_back(error(c, o, index, kErrMode));
    return;
  }
  uint8_t subindex = 0;
  if (spec.subindexes > 0) {
    if (d.size() != 4) {
      out.push_back(error(c, o, index, kErrParam));
      return;
    }
    subindex = d[3];
    if (subindex >= spec.subindexes) {
      out.push_back(error(c, o, index, kErrIndexRange));
      return;
    }
  } else if (d.size() != 3) {
    out.push_back(error(c, o, index, kErrParam));
    return;
  }
  if (spec.kind == Kind::Bytes) {
    auto it = bytes_.find({c, o});
    const std::vector<uint8_t> value = it == bytes_.end() ? std::vector<uint8_t>() : it->second;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
      const size_t chunk = std::min(kChunk, value.size() - offset);
      const bool more = offset + chunk < value.size();
      std::vector<uint8_t> data = {c, o, index};
      data.insert(data.end(), value.begin() + static_cast<long>(offset),
                  value.begin() + static_cast<long>(offset + chunk));
      data.push_back(static_cast<uint8_t>((more ? 0x80 : 0x00) | (sequence & 0x7F)));
      out.push_back(packet(std::move(data)));
      offset += chunk;
      sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
    } while (offset < value.size());
    return;
  }
  std::vector<uint8_t> data = {c, o, index};
  putBig(data, valueLocked(c, o, subindex), width(spec.kind));
  out.push_back(packet(std::move(data)));
}

void Module::ueiSet(const OptionSpec& spec, uint8_t index, const std::vector<uint8_t>& d,
                    std::vector<WirePacket>& out) {
  const uint8_t c = spec.command, o = spec.option;
  const uint8_t ack = static_cast<uint8_t>(o | kAck);
  const Key key{c, o};
  if (spec.kind == Kind::Bytes) {
    if (d.size() < 4) {
      out.push_back(error(c, ack, index, kErrParam));
      return;
    }
    const uint8_t sequenceByte = d.back();
    const uint8_t sequence = sequenceByte & 0x7F;
    const bool more = (sequenceByte & 0x80) != 0;
    Incoming& in = incoming_[key];
    if (!in.active) {
      in = Incoming();
      in.active = true;
    }
    // A broken sequence is answered once, when its last chunk has gone by.
    if (in.failed == 0) {
      if (sequence != in.expected) {
        in.failed = kErrPacket;
      } else {
        in.bytes.insert(in.bytes.end(), d.begin() + 3, d.end() - 1);
        if (in.bytes.size() > spec.maxBytes) in.failed = kErrSize;
      }
    }
    in.expected = static_cast<uint8_t>((sequence + 1) & 0x7F);
    if (more) return;
    const uint8_t failed = in.failed;
    std::vector<uint8_t> value = std::move(in.bytes);
    incoming_.erase(key);
    if (failed != 0) {
      out.push_back(error(c, ack, index, failed));
      return;
    }
    if (spec.readOnly) {
      out.push_back(error(c, ack, index, kErrPermission));
      return;
    }
    bytes_[key] = std::move(value);
    acks_[key]++;
    out.push_back(packet({c, ack, index}));
    return;
  }
  if (spec.readOnly) {
    out.push_back(error(c, ack, index, kErrPermission));
    return;
  }
  if (spec.kind == Kind::Call) {
    if (d.size() != 3) {
      out.push_back(error(c, ack, index, kErrParam));
      return;
    }
    acks_[key]++;
    out.push_back(packet({c, ack, index}));
    return;
  }
  const unsigned w = width(spec.kind);
  const size_t head = spec.subindexes > 0 ? 4 : 3;
  if (d.size() != head + w) {
    out.push_back(error(c, ack, index, kErrParam));
    return;
  }
  const uint8_t subindex = spec.subindexes > 0 ? d[3] : 0;
  if (spec.subindexes > 0 && subindex >= spec.subindexes) {
    out.push_back(error(c, ack, index, kErrIndexRange));
    return;
  }
  values_[{key, subindex}] = getBig(&d[head], w);
  acks_[key]++;
  out.push_back(packet({c, ack, index}));
}

void Module::i2c(const std::vector<uint8_t>& d, std::vector<WirePacket>& out) {
  if (d.size() < 4) return;
  const uint8_t bus = d[1];
  if (d.size() == 4 && d[2] == 1) {
    pullup_ = d[3] != 0;
    out.push_back(packet({kCmdI2C, bus, 1, d[3], 0x00}));
    return;
  }
  if (d.size() < 5) return;
  const uint8_t address = d[2];
  const uint8_t count = d[3];
  const uint8_t device = address & 0xFE;
  const bool present = bus == 0 && i2cDevices_.count(device) != 0;
  if (address & 1) {
    if (count > kI2CMaxCount || d.size() != 5) {
      out.push_back(packet({kCmdI2C, bus, address, 0, 0x80 | kErrSize}));
      return;
    }
    if (!present) {
      out.push_back(packet({kCmdI2C, bus, address, 0, kI2CNack}));
      return;
    }
    std::vector<uint8_t> data = i2cMemory_[device];
    data.resize(count, 0);
    std::vector<uint8_t> reply = {kCmdI2C, bus, address, count, 0x00};
    reply.insert(reply.end(), data.begin(), data.end());
    out.push_back(packet(std::move(reply)));
    return;
  }
  if (count > kI2CMaxCount || d.size() != static_cast<size_t>(count) + 5) {
    out.push_back(packet({kCmdI2C, bus, address, 0, 0x80 | kErrParam}));
    return;
  }
  i2cWrites_.push_back(d);
  if (!present) {
    out.push_back(packet({kCmdI2C, bus, address, 0, kI2CNack}));
    return;
  }
  i2cMemory_[device].assign(d.begin() + 5, d.end());
  out.push_back(packet({kCmdI2C, bus, address, 0, 0x00}));
}

void Module::info(const std::vector<uint8_t>& d, std::vector<WirePacket>& out) {
  if (d.size() < 2) return;
  switch (d[1]) {
    case 0xFF: {
      if (d.size() != 2) return;
      std::vector<uint8_t> reply = {kCmdInfo, 0xFF};
      putBig(reply, valueLocked(kCmdSystem, kOptBuild, 0), 4);
      out.push_back(packet(std::move(reply)));
      return;
    }
    case 0x01: {
      if (d.size() != 6) return;
      const uint8_t command = d[2], option = d[3], index = d[4], flags = d[5];
      uint8_t code = 0;
      auto spec = table_.find({command, option});
      if (spec != table_.end()) {
        if (index != 0) code = kErrInvalidEntity;
        else if (flags == kGet && (spec->second.writeOnly || spec->second.kind == Kind::Call)) code = kErrMode;
        else if (flags == kSet && spec->second.readOnly) code = kErrPermission;
      } else if (!extraUEIs_.count({command, option})) {
        code = kErrInvalidOption;
      }
      out.push_back(packet({kCmdInfo, 0x01, command, option, index, code}));
      return;
    }
    case 0x04: {
      if (d.size() != 3) return;
      auto it = classes_.find(d[2]);
      out.push_back(packet({kCmdInfo, 0x04, d[2], it == classes_.end() ? uint8_t(0) : it->second}));
      return;
    }
    case 0x05:
    case 0x06: {
      if (d.size() != 4) return;
      auto it = subClasses_.find({d[2], d[3]});
      uint8_t v = 0;
      if (it != subClasses_.end()) v = d[1] == 0x05 ? it->second.first : it->second.second;
      out.push_back(packet({kCmdInfo, d[1], d[2], d[3], v}));
      return;
    }
    default:
      return;
  }
}

}  // namespace model
}  // namespace devsim

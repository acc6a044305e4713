#include "tests/sim/lpc/IspChip.h"

#include <algorithm>
#include <cstring>

namespace lpcsim {

namespace {

constexpr size_t kMaxLine = 512;

// Strict unsigned decimal that fits 32 bits.
bool parseDecimal(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') i++;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') j++;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

char uuChar(unsigned v) {
  v &= 0x3F;
  return static_cast<char>(v == 0 ? 0x60 : v + 0x20);
}

// The six-bit value of a uuencoded character; -1 for characters outside the set.
int uuValue(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u < 0x20 || u > 0x60) return -1;
  return (u - 0x20) & 0x3F;
}

uint32_t byteSum(const uint8_t* data, size_t count) {
  uint32_t s = 0;
  for (size_t i = 0; i < count; i++) s += data[i];
  return s;
}

// RAM after power-on holds whatever it held: a pattern that is never the erased state.
void fillUndefined(Bytes& ram, uint32_t seed) {
  uint32_t x = seed;
  for (uint8_t& b : ram) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>((x >> 16) & 0x7F);
  }
}

}  // namespace

uint32_t sectorStart(uint32_t sector) {
  return sector < 16 ? sector * 0x1000u : 0x10000u + (sector - 16) * 0x8000u;
}

uint32_t sectorSize(uint32_t sector) { return sector < 16 ? 0x1000u : 0x8000u; }

uint32_t sectorOf(uint32_t address) {
  if (address < 0x10000u) return address / 0x1000u;
  if (address < kFlashSize) return 16 + (address - 0x10000u) / 0x8000u;
  return kSectorCount;
}

std::string uuEncodeLine(const uint8_t* data, size_t count) {
  std::string line(1, uuChar(static_cast<unsigned>(count)));
  for (size_t i = 0; i < count; i += 3) {
    const unsigned b0 = data[i];
    const unsigned b1 = i + 1 < count ? data[i + 1] : 0;
    const unsigned b2 = i + 2 < count ? data[i + 2] : 0;
    line += uuChar(b0 >> 2);
    line += uuChar(((b0 << 4) | (b1 >> 4)) & 0x3F);
    line += uuChar(((b1 << 2) | (b2 >> 6)) & 0x3F);
    line += uuChar(b2 & 0x3F);
  }
  return line;
}

bool uuDecodeLine(const std::string& line, Bytes& out) {
  if (line.empty()) return false;
  const int n = uuValue(line[0]);
  if (n <= 0 || n > static_cast<int>(kBytesPerLine)) return false;
  const size_t groups = (static_cast<size_t>(n) + 2) / 3;
  if (line.size() != 1 + 4 * groups) return false;
  Bytes decoded;
  for (size_t g = 0; g < groups; g++) {
    int v[4];
    for (int k = 0; k < 4; k++) {
      v[k] = uuValue(line[1 + 4 * g + static_cast<size_t>(k)]);
      if (v[k] < 0) return false;
    }
    decoded.push_back(static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4)));
    decoded.push_back(static_cast<uint8_t>(((v[1] << 4) | (v[2] >> 2)) & 0xFF));
    decoded.push_back(static_cast<uint8_t>(((v[2] << 6) | v[3]) & 0xFF));
  }
  decoded.resize(static_cast<size_t>(n));
  out.insert(out.end(), decoded.begin(), decoded.end());
  return true;
}

IspChip::IspChip(const ChipOptions& options) : options_(options), flash_(kFlashSize, 0xFF) {
  for (Bytes& bank : ram_) bank.assign(kRamSize, 0);
  reset();
}

void IspChip::reset() {
  state_ = State::Autobaud;
  echo_ = true;
  unlocked_ = false;
  resendNext_ = false;
  rate_ = 0;
  line_.clear();
  prepared_.fill(false);
  fillUndefined(ram_[0], 0x1234u + syncs_);
  fillUndefined(ram_[1], 0x4321u + syncs_);
  dataCount_ = dataDone_ = 0;
  group_.clear();
  groupLines_ = 0;
  groupBad_ = false;
  readAcked_ = readSent_ = 0;
  output_.clear();
  busyUntil_ = Clock::time_point{};
  flood_.reset();
  echoStopped_ = false;
}

void IspChip::failCommand(char letter, int code, int times) { failures_[letter] = {code, times}; }

void IspChip::setFlash(uint32_t address, const Bytes& bytes) {
  for (size_t i = 0; i < bytes.size() && address + i < kFlashSize; i++) flash_[address + i] = bytes[i];
}

void IspChip::send(const std::string& text) {
  const Clock::time_point ready = std::max(now_, busyUntil_);
  for (char c : text) output_.push_back(Pending{ready, static_cast<uint8_t>(c), rate_});
}

void IspChip::takeOutput(Clock::time_point now, std::vector<std::pair<uint8_t, uint32_t>>& out, size_t max) {
  for (size_t taken = 0; taken < max && !output_.empty() && output_.front().ready <= now; taken++) {
    out.emplace_back(output_.front().byte, output_.front().rate);
    output_.pop_front();
    bytesOut_++;
  }
}

std::optional<Clock::time_point> IspChip::nextOutput() const {
  if (output_.empty()) return std::nullopt;
  return output_.front().ready;
}

void IspChip::receive(uint8_t byte, uint32_t lineRate, Clock::time_point now) {
  now_ = now;
  bytesIn_++;
  if (silent_ || state_ == State::Running || flood_) return;
  if (state_ == State::Autobaud) {
    // Autobaud measures the "?" and takes its rate; anything else is noise to it.
    if (byte == '?') {
      rate_ = lineRate;
      send("Synchronized\r\n");
      state_ = State::SyncLine;
      line_.clear();
    }
    return;
  }
  if (rate_ != 0 && lineRate != 0 && lineRate != rate_) {
    byte = garble(byte);
    garbled_++;
  }
  if (state_ == State::Command && line_.empty() && floodTrigger_ && floodTrigger_->first == static_cast<char>(byte)) {
    flood_ = floodTrigger_->second;
    floodTrigger_.reset();
    return;
  }
  if (state_ == State::Command && line_.empty() && echoStopTrigger_ && *echoStopTrigger_ == static_cast<char>(byte)) {
    echoStopped_ = true;
    echoStopTrigger_.reset();
  }
  if (echo_ && !echoStopped_) {
    send(std::string(1, static_cast<char>(byte)));
    bytesEchoed_++;
  }
  if (byte != '\n') {
    if (line_.size() < kMaxLine) line_ += static_cast<char>(byte);
    return;
  }
  std::string line;
  line.swap(line_);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  lineComplete(line, now);
}

void IspChip::lineComplete(const std::string& line, Clock::time_point now) {
  switch (state_) {
    case State::SyncLine:
      if (line == "Synchronized") {
        send("OK\r\n");
        state_ = State::CrystalLine;
      } else {
        state_ = State::Autobaud;
      }
      return;
    case State::CrystalLine: {
      uint32_t khz = 0;
      if (parseDecimal(line, khz)) {
        send("OK\r\n");
        state_ = State::Command;
        syncs_++;
      } else {
        state_ = State::Autobaud;
      }
      return;
    }
    case State::Command:
      command(line, now);
      return;
    case State::WriteData:
      writeDataLine(line);
      return;
    case State::ReadData:
      readDataAnswer(line);
      return;
    case State::Autobaud:
    case State::Running:
      return;
  }
}

void IspChip::command(const std::string& line, Clock::time_point now) {
  commands_.push_back(line);
  const std::vector<std::string> w = words(line);
  if (w.empty() || w[0].size() != 1) {
    sendCode(INVALID_COMMAND);
    return;
  }
  const char letter = w[0][0];
  static const std::string known = "UBAWRPCGEIJKMN";
  if (known.find(letter) == std::string::npos) {
    sendCode(INVALID_COMMAND);
    return;
  }
  auto scripted = scripted_.find(letter);
  if (scripted != scripted_.end() && scripted->second.second > 0) {
    scripted->second.second--;
    send(scripted->second.first);
    return;
  }
  auto failure = failures_.find(letter);
  if (failure != failures_.end() && failure->second.second > 0) {
    failure->second.second--;
    sendCode(failure->second.first);
    return;
  }
  // G takes a mode letter as its second argument; every other argument is decimal.
  std::vector<uint32_t> a;
  for (size_t i = 1; i < w.size(); i++) {
    if (letter == 'G' && i == 2) continue;
    uint32_t v = 0;
    if (!parseDecimal(w[i], v)) {
      sendCode(PARAM_ERROR);
      return;
    }
    a.push_back(v);
  }
  static const std::map<char, size_t> arity = {{'U', 1}, {'B', 2}, {'A', 1}, {'W', 2}, {'R', 2},
                                               {'P', 2}, {'C', 3}, {'G', 2}, {'E', 2}, {'I', 2},
                                               {'J', 0}, {'K', 0}, {'M', 3}, {'N', 0}};
  if (w.size() - 1 != arity.at(letter)) {
    sendCode(PARAM_ERROR);
    return;
  }
  std::string extra;
  switch (letter) {
    case 'U':
      if (a[0] != kUnlockCode) {
        sendCode(INVALID_CODE);
        return;
      }
      unlocked_ = true;
      sendCode(CMD_SUCCESS);
      return;
    case 'B': {
      static const uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
      if (std::find(std::begin(rates), std::end(rates), a[0]) == std::end(rates)) {
        sendCode(INVALID_BAUD_RATE);
      } else if (a[1] != 1 && a[1] != 2) {
        sendCode(INVALID_STOP_BIT);
      } else {
        // The answer still leaves at the old rate; the new one holds from the next byte.
        sendCode(CMD_SUCCESS);
        rate_ = a[0];
      }
      return;
    }
    case 'A':
      if (a[0] > 1) {
        sendCode(PARAM_ERROR);
        return;
      }
      sendCode(CMD_SUCCESS);
      echo_ = a[0] == 1;
      return;
    case 'W': {
      const int code = cmdWrite(a);
      sendCode(code);
      if (code == CMD_SUCCESS) state_ = State::WriteData;
      return;
    }
    case 'R': {
      const int code = cmdRead(a);
      sendCode(code);
      if (code == CMD_SUCCESS) {
        state_ = State::ReadData;
        sendReadGroup();
      }
      return;
    }
    case 'P':
      sendCode(cmdPrepare(a));
      return;
    case 'E':
      sendCode(cmdErase(a, now));
      return;
    case 'C':
      sendCode(cmdCopy(a));
      return;
    case 'G': {
      const std::string& mode = w[2];
      if (!unlocked_) {
        sendCode(CMD_LOCKED);
      } else if (mode != "T" && mode != "A") {
        sendCode(PARAM_ERROR);
      } else if (memory(a[0], 4) == nullptr) {
        sendCode(ADDR_NOT_MAPPED);
      } else {
        sendCode(CMD_SUCCESS);
        goAddress_ = a[0];
        state_ = State::Running;
      }
      return;
    }
    case 'I': {
      const int code = cmdBlankCheck(a, extra);
      send(std::to_string(code) + "\r\n" + extra);
      return;
    }
    case 'M': {
      const int code = cmdCompare(a, extra);
      send(std::to_string(code) + "\r\n" + extra);
      return;
    }
    case 'J':
      send("0\r\n" + std::to_string(options_.partId) + "\r\n");
      return;
    case 'K':
      send("0\r\n" + std::to_string(options_.bootMajor) + "\r\n" + std::to_string(options_.bootMinor) + "\r\n");
      return;
    case 'N': {
      std::string text = "0\r\n";
      for (uint32_t word : options_.serial) text += std::to_string(word) + "\r\n";
      send(text);
      return;
    }
    default:
      sendCode(INVALID_COMMAND);
      return;
  }
}

uint8_t* IspChip::ram(uint32_t address, uint32_t count) {
  for (size_t bank = 0; bank < 2; bank++) {
    const uint64_t start = kRamBases[bank];
    if (address >= start && static_cast<uint64_t>(address) + count <= start + kRamSize)
      return ram_[bank].data() + (address - start);
  }
  return nullptr;
}

const uint8_t* IspChip::memory(uint32_t address, uint32_t count) {
  if (static_cast<uint64_t>(address) + count <= kFlashSize) return flash_.data() + address;
  return ram(address, count);
}

int IspChip::cmdWrite(const std::vector<uint32_t>& a) {
  if (a[0] % 4 != 0) return DST_ADDR_ERROR;
  if (a[1] == 0 || a[1] % 4 != 0) return COUNT_ERROR;
  if (ram(a[0], a[1]) == nullptr) return DST_ADDR_NOT_MAPPED;
  dataAddress_ = a[0];
  dataCount_ = a[1];
  dataDone_ = 0;
  group_.clear();
  groupLines_ = 0;
  groupBad_ = false;
  return CMD_SUCCESS;
}

void IspChip::writeDataLine(const std::string& line) {
  const uint32_t received = dataDone_ + static_cast<uint32_t>(group_.size());
  const bool checksumDue = groupLines_ >= kLinesPerChecksum || received >= dataCount_;
  if (!checksumDue) {
    if (!uuDecodeLine(line, group_)) groupBad_ = true;
    groupLines_++;
    // A line that runs past the count spoils the group; the checksum then fails.
    if (dataDone_ + group_.size() > dataCount_) {
      group_.resize(dataCount_ - dataDone_);
      groupBad_ = true;
    }
    return;
  }
  uint32_t sum = 0;
  const bool good = parseDecimal(line, sum) && !groupBad_ && sum == byteSum(group_.data(), group_.size());
  if (good && !resendNext_) {
    std::memcpy(ram(dataAddress_ + dataDone_, static_cast<uint32_t>(group_.size())), group_.data(), group_.size());
    dataDone_ += static_cast<uint32_t>(group_.size());
    send("OK\r\n");
  } else {
    resendNext_ = false;
    send("RESEND\r\n");
  }
  group_.clear();
  groupLines_ = 0;
  groupBad_ = false;
  if (dataDone_ >= dataCount_) state_ = State::Command;
}

int IspChip::cmdRead(const std::vector<uint32_t>& a) {
  if (a[0] % 4 != 0) return ADDR_ERROR;
  if (a[1] == 0 || a[1] % 4 != 0) return COUNT_ERROR;
  if (memory(a[0], a[1]) == nullptr) return ADDR_NOT_MAPPED;
  dataAddress_ = a[0];
  dataCount_ = a[1];
  readAcked_ = readSent_ = 0;
  return CMD_SUCCESS;
}

void IspChip::sendReadGroup() {
  const uint8_t* base = memory(dataAddress_, dataCount_);
  uint32_t at = readAcked_;
  for (uint32_t lines = 0; lines < kLinesPerChecksum && at < dataCount_; lines++) {
    const uint32_t n = std::min<uint32_t>(kBytesPerLine, dataCount_ - at);
    send(uuEncodeLine(base + at, n) + "\r\n");
    at += n;
  }
  readSent_ = at;
  send(std::to_string(byteSum(base + readAcked_, readSent_ - readAcked_)) + "\r\n");
}

void IspChip::readDataAnswer(const std::string& line) {
  if (line == "OK") {
    readAcked_ = readSent_;
    if (readAcked_ >= dataCount_) {
      state_ = State::Command;
      return;
    }
  } else if (line != "RESEND") {
    // Neither answer: the transfer is over as far as the chip is concerned.
    state_ = State::Command;
    return;
  }
  sendReadGroup();
}

int IspChip::cmdPrepare(const std::vector<uint32_t>& a) {
  if (a[1] < a[0] || a[1] >= kSectorCount) return INVALID_SECTOR;
  for (uint32_t s = a[0]; s <= a[1]; s++) prepared_[s] = true;
  return CMD_SUCCESS;
}

int IspChip::cmdErase(const std::vector<uint32_t>& a, Clock::time_point now) {
  if (!unlocked_) return CMD_LOCKED;
  if (a[1] < a[0] || a[1] >= kSectorCount) return INVALID_SECTOR;
  for (uint32_t s = a[0]; s <= a[1]; s++)
    if (!prepared_[s]) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  std::fill(flash_.begin() + sectorStart(a[0]), flash_.begin() + sectorStart(a[1]) + sectorSize(a[1]), 0xFF);
  // A successful erase or copy protects every sector again.
  prepared_.fill(false);
  busyUntil_ = now + std::chrono::milliseconds(options_.eraseMs);
  return CMD_SUCCESS;
}

int IspChip::cmdCopy(const std::vector<uint32_t>& a) {
  const uint32_t flash = a[0], source = a[1], count = a[2];
  if (!unlocked_) return CMD_LOCKED;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return COUNT_ERROR;
  if (flash % 256 != 0) return DST_ADDR_ERROR;
  if (source % 4 != 0) return SRC_ADDR_ERROR;
  if (static_cast<uint64_t>(flash) + count > kFlashSize) return DST_ADDR_NOT_MAPPED;
  const uint8_t* from = ram(source, count);
  if (from == nullptr) return SRC_ADDR_NOT_MAPPED;
  for (uint32_t s = sectorOf(flash); s <= sectorOf(flash + count - 1); s++)
    if (!prepared_[s]) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  // NOR flash: programming can only clear bits.
  for (uint32_t i = 0; i < count; i++) flash_[flash + i] &= from[i];
  prepared_.fill(false);
  return CMD_SUCCESS;
}

int IspChip::cmdCompare(const std::vector<uint32_t>& a, std::string& extra) {
  if (a[0] % 4 != 0 || a[1] % 4 != 0) return ADDR_ERROR;
  if (a[2] == 0 || a[2] % 4 != 0) return COUNT_ERROR;
  const uint8_t* x = memory(a[0], a[2]);
  const uint8_t* y = memory(a[1], a[2]);
  if (x == nullptr || y == nullptr) return ADDR_NOT_MAPPED;
  for (uint32_t i = 0; i < a[2]; i++) {
    if (x[i] != y[i]) {
      extra = std::to_string(i & ~3u) + "\r\n";
      return COMPARE_ERROR;
    }
  }
  return CMD_SUCCESS;
}

int IspChip::cmdBlankCheck(const std::vector<uint32_t>& a, std::string& extra) {
  if (a[1] < a[0] || a[1] >= kSectorCount) return INVALID_SECTOR;
  const uint32_t start = sectorStart(a[0]);
  const uint32_t end = sectorStart(a[1]) + sectorSize(a[1]);
  for (uint32_t i = start; i < end; i += 4) {
    if (flash_[i] != 0xFF || flash_[i + 1] != 0xFF || flash_[i + 2] != 0xFF || flash_[i + 3] != 0xFF) {
      const uint32_t word = static_cast<uint32_t>(flash_[i]) | static_cast<uint32_t>(flash_[i + 1]) << 8 |
                            static_cast<uint32_t>(flash_[i + 2]) << 16 | static_cast<uint32_t>(flash_[i + 3]) << 24;
      extra = std::to_string(i) + "\r\n" + std::to_string(word) + "\r\n";
      return SECTOR_NOT_BLANK;
    }
  }
  return CMD_SUCCESS;
}

}  // namespace lpcsim

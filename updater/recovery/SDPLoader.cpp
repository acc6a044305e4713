#include "updater/recovery/SDPLoader.h"

#include <algorithm>
#include <limits>

#include "updater/cli/Log.h"
#include "updater/recovery/IMX1050.h"

namespace {

constexpr uint8_t REPORT_COMMAND = 1;
constexpr uint8_t REPORT_DATA = 2;

constexpr uint16_t CMD_READ_REGISTER = 0x0101;
constexpr uint16_t CMD_WRITE_FILE = 0x0404;
constexpr uint16_t CMD_ERROR_STATUS = 0x0505;
constexpr uint16_t CMD_JUMP_ADDRESS = 0x0B0B;
constexpr uint8_t FORMAT_32BIT = 0x20;

constexpr int STATUS_ATTEMPTS = 5;
// Filler rounds after the plain attempts: one more filler byte before each status
// command walks the boot ROM's partial frame through all sixteen positions, so one of
// them completes it whatever number of stray bytes began it.
constexpr int PAD_ROUNDS = 16;
constexpr uint32_t ANSWER_WAIT_MS = 100;

void putBig(std::vector<uint8_t>& out, uint32_t value, unsigned bytes) {
  for (unsigned i = bytes; i > 0; i--) out.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
}

void command(std::vector<uint8_t>& packet, uint16_t type, uint32_t address, uint8_t format, uint32_t count) {
  packet.clear();
  packet.push_back(REPORT_COMMAND);
  putBig(packet, type, 2);
  putBig(packet, address, 4);
  packet.push_back(format);
  putBig(packet, count, 4);
}

}  // namespace

SDPLoader::~SDPLoader() { delete loader; }

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
  if (transport == nullptr || loader != nullptr) return false;
  loader = transport;
  return true;
}

uint8_t SDPLoader::init() {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  if (!loader->init()) return SDP_NOT_OPENED;
  return SDP_OK;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet) {
  while (packet.size() < MAX_COMMAND_BYTES) packet.push_back(0);
}

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& packet) {
  command(packet, CMD_ERROR_STATUS, 0, 0, 0);
  _fillCommand(packet);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& packet, uint32_t address, uint32_t count) {
  command(packet, CMD_WRITE_FILE, address, FORMAT_32BIT, count);
  _fillCommand(packet);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& packet, uint32_t address) {
  command(packet, CMD_JUMP_ADDRESS, address, 0, 0);
  _fillCommand(packet);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& packet, uint32_t address) {
  command(packet, CMD_READ_REGISTER, address, FORMAT_32BIT, 4);
  _fillCommand(packet);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) Log::log(Log::DEBUG_iMXSerial, "%X ", b);
  Log::log(Log::DEBUG_iMXSerial, "\n");
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& answer) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(answer, 0, value);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& answer) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(answer, 0, value) && value == WRITE_COMPLETE;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& answer) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(answer, 0, value) && value == ACKNOWLEDGE;
}

ssize_t SDPLoader::_send(const std::vector<uint8_t>& packet, SendLog how) {
  const ssize_t written = loader->writeData(packet);
  if (how == SendLog::BytesWritten)
    Log::log(Log::DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
  else
    Log::log(Log::DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(packet);
  return written;
}

ssize_t SDPLoader::_receive(std::vector<uint8_t>& answer, uint32_t timeoutMs, ReceiveLog how) {
  answer.clear();
  const ssize_t read = loader->readData(answer, timeoutMs);
  if (how == ReceiveLog::Quiet) return read;
  if (how == ReceiveLog::ReadData)
    Log::log(Log::DEBUG_iMXSerial, "Read Data: %zd\n", read);
  else
    Log::log(Log::DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(answer);
  return read;
}

void SDPLoader::_exchange(const std::vector<uint8_t>& command, std::vector<uint8_t>& answer) {
  _send(command, SendLog::BytesWritten);
  _receive(answer, ANSWER_WAIT_MS, ReceiveLog::ReadData);
}

bool SDPLoader::_statusExchange(const std::vector<uint8_t>& status) {
  std::vector<uint8_t> answer;
  _exchange(status, answer);
  return _expectResponse(answer);
}

bool SDPLoader::_isConnectionAlive() {
  std::vector<uint8_t> status;
  _createStatusPacket(status);
  for (int attempt = 0; attempt < STATUS_ATTEMPTS; attempt++)
    if (_statusExchange(status)) return true;
  for (int round = 0; round < PAD_ROUNDS; round++) {
    if (!loader->padFrame()) break;
    std::vector<uint8_t> stale;
    _receive(stale, 0, ReceiveLog::Quiet);
    if (_statusExchange(status)) return true;
  }
  Log::log(Log::DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

uint8_t SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address) {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive()) return SDP_NO_ANSWER;

  std::vector<uint8_t> packet;
  _createWriteFilePacket(packet, address, static_cast<uint32_t>(image.size()));
  _send(packet, SendLog::WriteRes);

  // The results of the writes are only summed for the log: a report that was lost
  // shows as a missing completion.
  int64_t total = 0;
  int loop = 0;
  size_t offset = 0;
  std::vector<uint8_t> report;
  report.reserve(MAX_WRITE_BYTES + 1);
  while (offset < image.size()) {
    std::vector<uint8_t> pending;
    _receive(pending, 0, ReceiveLog::ReadData);
    if (!pending.empty()) {
      Log::log(Log::DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return SDP_UNEXPECTED_INPUT;
    }
    const size_t take = std::min(MAX_WRITE_BYTES, image.size() - offset);
    report.assign(1, REPORT_DATA);
    report.insert(report.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                  image.begin() + static_cast<std::ptrdiff_t>(offset + take));
    const ssize_t sent = loader->writeData(report);
    total += sent;
    offset += take;
    const int shown = static_cast<int>(std::clamp<int64_t>(total, std::numeric_limits<int>::min(),
                                                           std::numeric_limits<int>::max()));
    Log::log(Log::DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", sent, shown,
             loop, static_cast<long>(offset), static_cast<ssize_t>(report.size()));
    loop++;
  }
  const int shown = static_cast<int>(std::clamp<int64_t>(total, std::numeric_limits<int>::min(),
                                                         std::numeric_limits<int>::max()));
  Log::log(Log::DEBUG_iMXSerial, "Written Bytes: %d\n", shown);

  std::vector<uint8_t> answer;
  _receive(answer, ANSWER_WAIT_MS, ReceiveLog::DataRead);
  if (_expectSuccess(answer)) {
    Log::log(Log::DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return SDP_OK;
  }
  Log::log(Log::DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return SDP_NOT_COMPLETED;
}

uint8_t SDPLoader::startLoader(uint32_t address) {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  std::vector<uint8_t> packet;
  _createJumpPacket(packet, address);
  _send(packet, SendLog::WriteRes);
  std::vector<uint8_t> answer;
  _receive(answer, ANSWER_WAIT_MS, ReceiveLog::Quiet);
  uint32_t status = 0;
  if (loader->getDataFromBuffer(answer, 0, status)) {
    Log::log(Log::DEBUG_iMXSerial, "Jump refused: %08X\n", status);
    return SDP_JUMP_REFUSED;
  }
  return SDP_OK;
}

uint8_t SDPLoader::getFingerprint(uint64_t& value) {
  if (loader == nullptr) return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive()) return SDP_NO_ANSWER;
  const uint32_t registers[2] = {IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET,
                                 IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET};
  uint32_t words[2] = {0, 0};
  for (int i = 0; i < 2; i++) {
    std::vector<uint8_t> packet;
    _create4ByteReadRegisterPacket(packet, registers[i]);
    std::vector<uint8_t> answer;
    _exchange(packet, answer);
    if (!loader->getDataFromBuffer(answer, 0, words[i])) return SDP_NO_REGISTER;
  }
  value |= words[0];
  value |= static_cast<uint64_t>(words[1]) << 32;
  return SDP_OK;
}

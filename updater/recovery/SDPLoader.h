#pragma once
// Client of the i.MX boot ROM's Serial Download Protocol: writes loader images into
// the chip's RAM and jumps to them. The transport (USB HID or a serial line) is handed
// over with setLoader and owned from then on.
//
// Results are small codes: 0 success, 1 no transport, 2 the chip did not answer the
// status command, 3 bytes arrived while an image was being sent, 4 no completion
// status after an image, 6 the transport did not open, 7 a register read gave no word,
// 8 the boot ROM refused the jump.
#include <cstdint>
#include <vector>

#include "updater/recovery/SDPLoader_Interface.h"

class SDPLoader {
public:
  static constexpr size_t MAX_COMMAND_BYTES = 17;
  static constexpr size_t MAX_WRITE_BYTES = 1024;

  static constexpr uint8_t SDP_OK = 0;
  static constexpr uint8_t SDP_NO_TRANSPORT = 1;
  static constexpr uint8_t SDP_NO_ANSWER = 2;
  static constexpr uint8_t SDP_UNEXPECTED_INPUT = 3;
  static constexpr uint8_t SDP_NOT_COMPLETED = 4;
  static constexpr uint8_t SDP_NOT_OPENED = 6;
  static constexpr uint8_t SDP_NO_REGISTER = 7;
  static constexpr uint8_t SDP_JUMP_REFUSED = 8;

  // Answer words the client compares with.
  static constexpr uint32_t WRITE_COMPLETE = 0x88888888;
  static constexpr uint32_t ACKNOWLEDGE = 0xF0F0F0F0;

  SDPLoader() = default;
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership; false (nothing taken) for a null transport or when one is set.
  bool setLoader(SDPLoader_Interface* transport);
  uint8_t init();
  // One image into RAM at address: 0, 2, 3 or 4.
  uint8_t writeLoader(std::vector<uint8_t> image, uint32_t address);
  // Jumps to the image whose vector table is at address: 0, or 8 when the boot ROM
  // refused (it answers a jump it takes with its security state alone, and one it
  // refuses, as a closed part refuses an image that is not signed, with a status word
  // as well).
  uint8_t startLoader(uint32_t address);
  // The two fuse words of the chip's identifier, second word in the high half: 0, 2 or 7.
  uint8_t getFingerprint(uint64_t& value);

private:
  // Every command and answer goes through these, each with the log line it has.
  enum class SendLog { BytesWritten, WriteRes };
  enum class ReceiveLog { ReadData, DataRead, Quiet };
  ssize_t _send(const std::vector<uint8_t>& packet, SendLog how);
  // Clears answer and reads into it.
  ssize_t _receive(std::vector<uint8_t>& answer, uint32_t timeoutMs, ReceiveLog how);
  // A command and its answer: what the status check and the register reads do.
  void _exchange(const std::vector<uint8_t>& command, std::vector<uint8_t>& answer);
  bool _isConnectionAlive();
  bool _statusExchange(const std::vector<uint8_t>& command);
  bool _expectResponse(const std::vector<uint8_t>& answer);
  bool _expectSuccess(const std::vector<uint8_t>& answer);
  bool _expectAck(const std::vector<uint8_t>& answer);

  void _createStatusPacket(std::vector<uint8_t>& packet);
  void _createWriteFilePacket(std::vector<uint8_t>& packet, uint32_t address, uint32_t count);
  void _createJumpPacket(std::vector<uint8_t>& packet, uint32_t address);
  void _create4ByteReadRegisterPacket(std::vector<uint8_t>& packet, uint32_t address);
  void _fillCommand(std::vector<uint8_t>& packet);
  void _printBuffer(const std::vector<uint8_t>& bytes);

  SDPLoader_Interface* loader = nullptr;
};

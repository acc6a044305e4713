#pragma once
// One transport of the Serial Download Protocol client: USB HID reports or a serial
// line. SDPLoader builds the reports (byte 0 is the HID report id) and reads the words
// of the answers through the transport, which knows how its answers are laid out.
#include <cstdint>
#include <sys/types.h>
#include <vector>

class SDPLoader_Interface {
public:
  virtual ~SDPLoader_Interface() = default;

  // Opens the transport; false when it cannot.
  virtual bool init() = 0;
  // Sends one report (byte 0 is its report id). Bytes sent, or -1.
  virtual ssize_t writeData(const std::vector<uint8_t>& bytes) = 0;
  // Appends what arrives within timeoutMs (0: only what is already there) and returns
  // the number of bytes appended.
  virtual ssize_t readData(std::vector<uint8_t>& answer, uint32_t timeoutMs) = 0;
  // ORs the answer word at index into value; false when the answer holds no such word.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t index, uint32_t& value) = 0;

  // Sends one filler byte outside any command. On a byte-framed line, bytes that
  // reached the boot ROM before the first command (another protocol's probe) leave it
  // holding a partial frame, and every later command arrives shifted; filler bytes
  // complete that frame. False when the transport carries whole reports and has no
  // such frame to repair.
  virtual bool padFrame() { return false; }

protected:
  SDPLoader_Interface() = default;
  SDPLoader_Interface(const SDPLoader_Interface&) = delete;
  SDPLoader_Interface& operator=(const SDPLoader_Interface&) = delete;
};

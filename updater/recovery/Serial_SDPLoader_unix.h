#pragma once
// The Serial Download Protocol on a serial line (termios, 115200 baud, 8N1, raw): the
// 16 command bytes without the HID report id, image bytes as they are, and answers
// as raw bytes (four bytes of security state, then the answer's words).
#include <cstdint>
#include <memory>

#include "updater/recovery/SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
  static constexpr uint32_t BAUD = 115200;
  // Security state and one word: what every answer the client waits for holds.
  static constexpr size_t ANSWER_BYTES = 8;
  // How long a write may wait beyond the line time of its bytes for room in the
  // output queue before it is given up.
  static constexpr uint32_t WRITE_MARGIN_MS = 1000;

  // path names the tty; it is copied.
  explicit Serial_SDPLoader(const char* path);
  ~Serial_SDPLoader() override;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& bytes) override;
  // Appends what arrives. With a time-out it waits until a whole answer is there, or
  // until the time-out has passed after the last byte written has left the line; a
  // time-out of 0 takes only what is already there.
  ssize_t readData(std::vector<uint8_t>& answer, uint32_t timeoutMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t index, uint32_t& value) override;
  bool padFrame() override;

private:
  std::unique_ptr<PrivateSerial_SDPLoader> d;
};

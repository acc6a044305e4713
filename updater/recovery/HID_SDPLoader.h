#pragma once
// The Serial Download Protocol over USB HID, through hidapi's hidraw back end: one
// output report per command or data block, answers as input reports 3 (the security
// state, kept as 5 bytes) and 4 (65 bytes with the id), so a whole answer is 70 bytes.
#include <cstdint>

#include "updater/recovery/SDPLoader_Interface.h"

typedef struct hid_device_ hid_device;

class HID_SDPLoader : public SDPLoader_Interface {
public:
  static constexpr size_t MAX_READ_BYTES = 65;
  static constexpr size_t ANSWER_BYTES = 70;

  // Appends one input report of n bytes (its id first) as an answer keeps it: the
  // security-state report as its id and four bytes, any other whole. Returns the
  // number of bytes appended.
  static size_t appendReport(std::vector<uint8_t>& answer, const unsigned char* report, int n);

  HID_SDPLoader(uint16_t vid, uint16_t pid);
  ~HID_SDPLoader() override;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& bytes) override;
  ssize_t readData(std::vector<uint8_t>& answer, uint32_t timeoutMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t index, uint32_t& value) override;

private:
  hid_device* handle = nullptr;
  uint16_t vid;
  uint16_t pid;
};

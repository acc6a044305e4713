#pragma once
// The simulated boot ROM on USB HID: its serial downloader's hidraw device (vendor
// 0x1FC9, product 0x0130) in a umockdev testbed. Output report 1 carries a command
// frame, report 2 image bytes; the security state goes back as input report 3 (four
// bytes) and every other answer as input reports 4 (64 bytes each, zero-padded).
#include <atomic>
#include <memory>
#include <mutex>

#include "tests/imx/HidrawEmulator.h"
#include "tests/sim/sdp/SdpRom.h"

namespace sdpsim {

class HidFrontEnd {
 public:
  HidFrontEnd(Rom& rom, UMockdevTestbed* testbed);
  ~HidFrontEnd();
  HidFrontEnd(const HidFrontEnd&) = delete;
  HidFrontEnd& operator=(const HidFrontEnd&) = delete;

  hidemu::HidrawDevice& device() { return *device_; }
  // Data reports that arrived while no image was expected.
  unsigned strayDataReports() const;

 private:
  void output(const uint8_t* report, size_t length);

  Rom& rom_;
  std::mutex mutex_;  // orders the construction before the first report (the thread
                      // checker cannot see the client's path through umockdev)
  std::unique_ptr<hidemu::HidrawDevice> device_;
  std::atomic<unsigned> strayData_{0};
};

}  // namespace sdpsim

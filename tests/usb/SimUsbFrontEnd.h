#pragma once
// The simulated module's USB front end: the host's OUT transfers feed the module, and
// what the module sends leaves through the emulated device's IN endpoint, one reply per
// transfer (byte by byte when the module's split knob is set).
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/sim/SimDevice.h"
#include "tests/usb/UsbEmulator.h"

namespace usbemu {

class SimUsbFrontEnd {
 public:
  SimUsbFrontEnd(devsim::Device& module, Device& usb);
  ~SimUsbFrontEnd();
  SimUsbFrontEnd(const SimUsbFrontEnd&) = delete;
  SimUsbFrontEnd& operator=(const SimUsbFrontEnd&) = delete;

 private:
  void run();

  devsim::Device& module_;
  Device& usb_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool woken_ = false;
  std::thread thread_;
};

}  // namespace usbemu

#pragma once
// Shared set-up of the USB tests: an emulated bus made before the process's libusb
// context, and a refresh of that context at the end so the next test starts clean.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aLibusb.h"
#include "tests/usb/UsbEmulator.h"

namespace usbemu {

// Collects what the host wrote to a device.
class OutRecorder {
 public:
  ~OutRecorder() {
    if (device_ != nullptr) device_->setOutHandler(nullptr);
    std::lock_guard<std::mutex> guard(mutex_);
    bytes_.clear();
  }
  void attach(Device& device) {
    device_ = &device;
    device.setOutHandler([this](const uint8_t* data, size_t length) {
      std::lock_guard<std::mutex> guard(mutex_);
      bytes_.insert(bytes_.end(), data, data + length);
    });
  }
  std::vector<uint8_t> bytes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
  }

 private:
  Device* device_ = nullptr;
  std::mutex mutex_;
  std::vector<uint8_t> bytes_;
};

class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override { bus = std::make_unique<Bus>(); }
  void TearDown() override {
    Tallowick_libusb_exit();
    bus.reset();
  }

  static DeviceSpec withSerial(const char* serial, uint16_t productId = 0x0013) {
    DeviceSpec spec;
    spec.serial = serial;
    spec.productId = productId;
    return spec;
  }

  std::unique_ptr<Bus> bus;
};

// Waits (bounded) until condition holds.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 3000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace usbemu

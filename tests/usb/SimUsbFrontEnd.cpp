#include "tests/usb/SimUsbFrontEnd.h"

#include <chrono>

namespace usbemu {

SimUsbFrontEnd::SimUsbFrontEnd(devsim::Device& module, Device& usb) : module_(module), usb_(usb) {
  module_.setWakeup([this] {
    std::lock_guard<std::mutex> guard(mutex_);
    woken_ = true;
    wake_.notify_all();
  });
  module_.connected();
  usb_.setOutHandler([this](const uint8_t* data, size_t length) { module_.feedBytes(data, length); });
  thread_ = std::thread([this] { run(); });
}

SimUsbFrontEnd::~SimUsbFrontEnd() {
  usb_.setOutHandler(nullptr);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  thread_.join();
  module_.setWakeup(nullptr);
  module_.disconnected();
}

void SimUsbFrontEnd::run() {
  std::unique_lock<std::mutex> guard(mutex_);
  while (!stopping_) {
    uint64_t waitMs = module_.msUntilNextEvent(100);
    wake_.wait_for(guard, std::chrono::milliseconds(waitMs), [this] { return stopping_ || woken_; });
    woken_ = false;
    if (stopping_) break;
    guard.unlock();
    for (const devsim::Chunk& chunk : module_.takeDue()) {
      if (chunk.split) {
        for (uint8_t byte : chunk.bytes) usb_.send(&byte, 1);
      } else {
        usb_.send(chunk.bytes.data(), chunk.bytes.size());
      }
    }
    guard.lock();
  }
}

}  // namespace usbemu

#include "tests/imx/LiveLoader.h"

#include <cstdio>

namespace sdpsim {

namespace {
constexpr uint8_t kFlagMask = 0xC0;
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kHostRequest = 0x20;
constexpr uint8_t kOptionReset = 11;
constexpr uint8_t kOptionIdentifier = 39;

std::string hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}
}  // namespace

LiveLoader::LiveLoader(usbemu::Bus& bus, Rom& rom, LiveLoaderOptions options, hidemu::HidrawDevice* romDevice)
    : bus_(bus), rom_(rom), options_(options), romDevice_(romDevice) {
  devsim::model::ModuleConfig mc;
  mc.serial = options_.serial;
  mc.address = options_.address;
  mc.model = options_.model;
  for (int i = 0; i < 4; i++) mc.identifier[i] = options_.identifier[i];
  module_ = std::make_shared<devsim::model::Module>(mc);
  network_ = std::make_shared<devsim::model::Network>(module_);
  devsim::Config dc;
  dc.serial = options_.serial;
  dc.address = options_.address;
  dc.model = options_.model;
  device_ = std::make_unique<devsim::Device>(dc);
  // System requests are watched, not answered: the system entity answers them, and the
  // loader leaves a moment later when they end its run.
  device_->addHandler([this](const devsim::WirePacket& in, devsim::Device& dev) {
    // A crashed loader answers nothing from its last answer on, while it is still on the
    // bus: a host that reconnects fast must not find it working until it has left.
    if (crashed_) return true;
    const auto& d = in.data;
    if (d.size() < 3 || d[0] != devsim::model::kCmdSystem || (d[2] & 0xE0) != kHostRequest) return false;
    const uint8_t flags = d[1] & kFlagMask, option = d[1] & kOptionMask;
    if (flags == kSet && option == kOptionReset) post(Event::Reset);
    if (options_.leaveAfterIdentifier && flags == kGet && option == kOptionIdentifier && d.size() == 4 && d[3] == 3) {
      crashed_ = true;
      devsim::Config mute = dev.config();
      mute.answerSync = false;
      dev.setConfig(mute);
      post(Event::Crash);
    }
    return false;
  });
  devsim::model::Network::attach(*device_, network_);
  devsim::upgrade::Settings settings = options_.upgrade;
  settings.loaderRunning = true;
  upgrade_ = std::make_unique<devsim::upgrade::UpgradeDevice>(options_.address, settings);
  upgrade_->setEventSink([this](devsim::upgrade::Event e) {
    if (e == devsim::upgrade::Event::Rebooted) post(Event::Reboot);
  });
  device_->addHandler([this](const devsim::WirePacket& in, devsim::Device& dev) {
    std::vector<devsim::WirePacket> out;
    if (!upgrade_->handle(in, out)) return false;
    for (const auto& p : out) dev.reply(p);
    return true;
  });
  rom_.setJumpObserver([this](uint32_t address) { post(Event::Jump, address); });
  controller_ = std::thread([this] { control(); });
}

LiveLoader::~LiveLoader() {
  rom_.setJumpObserver(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  controller_.join();
  unplug();
  std::lock_guard<std::mutex> lock(mutex_);
}

void LiveLoader::post(Event e, uint32_t address) {
  // Notified under the lock, so that the destructor, which takes it last, comes after.
  std::lock_guard<std::mutex> lock(mutex_);
  events_.emplace_back(e, address);
  wake_.notify_all();
}

bool LiveLoader::pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

bool LiveLoader::waitForArrivals(unsigned count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return arrivals_ >= count; });
}

bool LiveLoader::waitForDepartures(unsigned count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return departures_ >= count; });
}

bool LiveLoader::waitForJumps(unsigned count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return jumps_ >= count; });
}

void LiveLoader::noteChange(std::atomic<unsigned>& counter) {
  std::lock_guard<std::mutex> lock(mutex_);
  counter++;
  wake_.notify_all();
}

void LiveLoader::plugIn() {
  usbemu::DeviceSpec spec;
  spec.serial = hex8(options_.serial);
  spec.productId = options_.model;
  usb_ = &bus_.add(spec);
  frontEnd_ = std::make_unique<usbemu::SimUsbFrontEnd>(*device_, *usb_);
  noteChange(arrivals_);
}

void LiveLoader::unplug() {
  if (usb_ == nullptr) return;
  frontEnd_.reset();
  bus_.remove(*usb_);
  usb_ = nullptr;
  noteChange(departures_);
}

void LiveLoader::control() {
  for (;;) {
    std::pair<Event, uint32_t> e;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !events_.empty(); });
      if (stopping_) return;
      e = events_.front();
      events_.pop_front();
    }
    switch (e.first) {
      case Event::Jump:
        // The boot ROM's serial downloader is gone once the chip runs something else.
        if (romDevice_ != nullptr) romDevice_->leave();
        if (e.second == options_.entry && options_.appears && usb_ == nullptr) {
          if (!pause(options_.appearAfterMs)) return;
          plugIn();
        }
        noteChange(jumps_);
        break;
      case Event::Reset:
        resets_++;
        if (!pause(options_.resetLeaveMs)) return;
        unplug();
        break;
      case Event::Crash:
        if (!pause(options_.resetLeaveMs)) return;
        unplug();
        break;
      case Event::Reboot:
        unplug();
        break;
    }
  }
}

}  // namespace sdpsim

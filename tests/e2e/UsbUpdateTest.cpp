// The real Updater binary updating a module on emulated USB (umockdev under the real
// libusb, in this process; the Updater child inherits the emulation). The module
// leaves the bus when its loader starts and when it reboots, and comes back under its
// serial number after a while: long enough, in the reconnect case, that only the
// updater's own USB reconnect loop finds it again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/e2e/FirmwareBuild.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"
#include "tests/sim/upgrade/UpgradeDevice.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/usb/SimUsbFrontEnd.h"
#include "tests/usb/UsbFixture.h"

namespace {

using birdgen::Bytes;
using devsim::upgrade::Event;
using e2e::hex8;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint32_t kFirmwareAddress = 0x08000000;

// One updatable module on the emulated bus. Leaving detaches its USB device; coming
// back attaches a new one with the same serial number to the same module state.
class UsbModule {
 public:
  UsbModule(usbemu::Bus& bus, uint32_t awayAfterLoadMs, uint32_t awayAfterRebootMs)
      : bus_(bus), awayAfterLoad_(awayAfterLoadMs), awayAfterReboot_(awayAfterRebootMs) {
    devsim::model::ModuleConfig mc;
    mc.serial = kSerial;
    mc.address = 0x06;
    mc.model = 0x13;
    mc.version = 0x2C000003;
    front_ = std::make_shared<devsim::model::Module>(mc);
    network_ = std::make_shared<devsim::model::Network>(front_);
    devsim::Config dc;
    dc.serial = kSerial;
    dc.address = mc.address;
    dc.model = mc.model;
    device_ = std::make_unique<devsim::Device>(dc);
    devsim::model::Network::attach(*device_, network_);
    upgrade_ = std::make_unique<devsim::upgrade::UpgradeDevice>(mc.address);
    upgrade_->setLoadAcknowledgedBySink(true);
    upgrade_->setEventSink([this](Event e) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
      wake_.notify_all();
    });
    device_->addHandler([this](const devsim::WirePacket& in, devsim::Device& dev) {
      std::vector<devsim::WirePacket> out;
      if (!upgrade_->handle(in, out)) return false;
      for (const auto& p : out) dev.reply(p);
      return true;
    });
    plugIn();
    controller_ = std::thread([this] { control(); });
  }

  ~UsbModule() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    controller_.join();
    unplug();
  }

  devsim::upgrade::UpgradeDevice& upgrade() { return *upgrade_; }
  unsigned arrivals() const { return arrivals_; }

 private:
  void plugIn() {
    usbemu::DeviceSpec spec;
    spec.serial = hex8(kSerial);
    spec.productId = 0x13;
    usb_ = &bus_.add(spec);
    frontEnd_ = std::make_unique<usbemu::SimUsbFrontEnd>(*device_, *usb_);
    arrivals_++;
  }
  void unplug() {
    frontEnd_.reset();
    if (usb_ != nullptr) bus_.remove(*usb_);
    usb_ = nullptr;
  }
  // Sleeps, bounded, unless the test ends first; false when it does.
  bool pause(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
  }
  void control() {
    for (;;) {
      Event e;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !events_.empty(); });
        if (stopping_) return;
        e = events_.front();
        events_.pop_front();
      }
      unplug();
      if (!pause(e == Event::LoaderStarted ? awayAfterLoad_ : awayAfterReboot_)) return;
      device_->clearReceived();
      plugIn();
      if (e != Event::LoaderStarted) continue;
      // The running loader announces itself once the host talks to it again.
      if (!device_->waitForCount([](const devsim::WirePacket&) { return true; }, 1, 20000)) continue;
      if (!pause(300)) return;
      device_->send(upgrade_->loadAcknowledgement());
    }
  }

  usbemu::Bus& bus_;
  const uint32_t awayAfterLoad_;
  const uint32_t awayAfterReboot_;
  std::shared_ptr<devsim::model::Module> front_;
  std::shared_ptr<devsim::model::Network> network_;
  std::unique_ptr<devsim::Device> device_;
  std::unique_ptr<devsim::upgrade::UpgradeDevice> upgrade_;
  usbemu::Device* usb_ = nullptr;
  std::unique_ptr<usbemu::SimUsbFrontEnd> frontEnd_;
  std::atomic<unsigned> arrivals_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Event> events_;
  bool stopping_ = false;
  std::thread controller_;
};

class UsbUpdate : public usbemu::UsbTest {
 protected:
  void SetUp() override {
    USBEMU_REQUIRE_PRELOAD();
    // A module the Updater did not find on USB would be looked for by TCP/IP discovery.
    NETTEST_ENTER_PRIVATE_NETWORK(false);
    usbemu::UsbTest::SetUp();
    image = birdgen::randomImage(3000, 5);
    birdgen::BirdLayout layout;
    layout.blocks.push_back(birdgen::imageBlock(birdgen::LOADER, 0x20000000, birdgen::randomImage(120, 6)));
    layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, kFirmwareAddress, image));
    layout.blocks.push_back(birdgen::identityBlock("7000", "2.12.3", hex8(kSerial), "Hemblork"));
    birdgen::writeFile(dir.sub("7000.bird"), birdgen::file(layout));
  }

  testsupport::RunResult update() {
    testsupport::RunOptions options;
    options.timeoutMs = 60000;
    // No server is needed with -f; the URL leads nowhere.
    return testsupport::RunProgram(UPDATER_BINARY,
                               {"Updater", "-U", "-d", hex8(kSerial), "-f", dir.sub("7000.bird"), "-i",
                                dir.sub("root"), "-u", "http://127.0.0.1:9/cgi/u", "-X", "0x10000"},
                               options);
  }

  testsupport::TempDir dir;
  Bytes image;
};

std::string describe(const testsupport::RunResult& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

TEST_F(UsbUpdate, ALoaderBackSoonIsReachedByTheLoaderStartItself) {
  UsbModule module(*bus, 300, 300);
  const auto r = update();
  EXPECT_EQ(r.status, 0) << describe(r);
  uint32_t low = 0;
  EXPECT_EQ(module.upgrade().image(&low), image);
  EXPECT_EQ(low, kFirmwareAddress);
  EXPECT_EQ(module.upgrade().counts().protocolErrors, 0u);
  EXPECT_EQ(r.err.find("refreshing libusb context"), std::string::npos) << r.err;
}

TEST_F(UsbUpdate, ALoaderBackLateIsFoundByTheReconnectLoop) {
  // Away longer than LoaderStart's own reconnection (one second and five attempts),
  // shorter than the fifteen tries of the loop, which refreshes libusb on its way.
  UsbModule module(*bus, 6500, 300);
  const auto r = update();
  EXPECT_EQ(r.status, 0) << describe(r);
  uint32_t low = 0;
  EXPECT_EQ(module.upgrade().image(&low), image);
  EXPECT_NE(r.err.find("refreshing libusb context"), std::string::npos) << r.err;
  EXPECT_EQ(module.upgrade().counts().reboots, 1u);
  // Plugged in, back as loader, back after the reboot (which the updater does not wait for).
  for (int i = 0; i < 300 && module.arrivals() < 3; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(module.arrivals(), 3u);
}

}  // namespace

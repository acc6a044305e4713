#pragma once
// The live loader as the host meets it: after the boot ROM's JUMP_ADDRESS to the
// loader's entry, a module of the family arrives on the emulated USB bus with the
// serial number PLACEHOLDER_SERIAL (0xDEADDEAD) or a chosen one. It answers the system
// entity (the four unique-identifier words of option 39, the reset of option 11) and
// the upgrade protocol over a flash model, starting as a loader already running from
// RAM. A system reset or the upgrade's reboot makes it leave the bus (a loader that
// crashes may be told to leave once it has given its last identifier word). A jump
// anywhere else starts nothing.
//
// When the ROM sits on USB HID, its hidraw device leaves the bus at the jump.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/imx/HidrawEmulator.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"
#include "tests/sim/sdp/SdpRom.h"
#include "tests/sim/upgrade/UpgradeDevice.h"
#include "tests/usb/SimUsbFrontEnd.h"
#include "tests/usb/UsbEmulator.h"

namespace sdpsim {

constexpr uint32_t kPlaceholderSerial = 0xDEADDEAD;

struct LiveLoaderOptions {
  uint32_t serial = kPlaceholderSerial;  // what the loader announces on USB
  uint32_t entry = 0x20000400;           // the jump that starts it
  bool appears = true;                   // false: it never comes up on USB
  uint32_t appearAfterMs = 150;          // from the jump to its arrival
  uint32_t resetLeaveMs = 50;            // from the reset request to its leaving
  bool leaveAfterIdentifier = false;     // leaves once it has answered identifier word 3
  uint32_t identifier[4] = {0xA0A0A0A0, 0xB1B1B1B1, 0xC2C2C2C2, 0xD3D3D3D3};  // subindexes 0 to 3
  uint8_t model = 0x13;
  uint8_t address = 0x06;
  devsim::upgrade::Settings upgrade;     // loaderRunning is set whatever is given
};

class LiveLoader {
 public:
  LiveLoader(usbemu::Bus& bus, Rom& rom, LiveLoaderOptions options = LiveLoaderOptions(),
             hidemu::HidrawDevice* romDevice = nullptr);
  ~LiveLoader();
  LiveLoader(const LiveLoader&) = delete;
  LiveLoader& operator=(const LiveLoader&) = delete;

  devsim::upgrade::UpgradeDevice& upgrade() { return *upgrade_; }
  devsim::model::Module& module() { return *module_; }
  unsigned arrivals() const { return arrivals_; }
  unsigned departures() const { return departures_; }
  unsigned resets() const { return resets_; }
  unsigned jumpsHandled() const { return jumps_; }
  // Wait (bounded) until the loader has arrived on, or left, the bus count times, or
  // until count jumps have been acted on.
  bool waitForArrivals(unsigned count, int timeoutMs);
  bool waitForDepartures(unsigned count, int timeoutMs);
  bool waitForJumps(unsigned count, int timeoutMs);

 private:
  enum class Event { Jump, Reset, Reboot, Crash };
  void post(Event e, uint32_t address = 0);
  void control();
  bool pause(uint32_t ms);
  void noteChange(std::atomic<unsigned>& counter);
  void plugIn();
  void unplug();

  usbemu::Bus& bus_;
  Rom& rom_;
  const LiveLoaderOptions options_;
  hidemu::HidrawDevice* romDevice_;
  std::shared_ptr<devsim::model::Module> module_;
  std::shared_ptr<devsim::model::Network> network_;
  std::unique_ptr<devsim::Device> device_;
  std::unique_ptr<devsim::upgrade::UpgradeDevice> upgrade_;
  usbemu::Device* usb_ = nullptr;
  std::unique_ptr<usbemu::SimUsbFrontEnd> frontEnd_;
  std::atomic<unsigned> arrivals_{0};
  std::atomic<unsigned> departures_{0};
  std::atomic<unsigned> resets_{0};
  std::atomic<unsigned> jumps_{0};
  std::atomic<bool> crashed_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<Event, uint32_t>> events_;
  bool stopping_ = false;
  std::thread controller_;
};

}  // namespace sdpsim

#pragma once
// A whole simulated module that can be updated: the link-level device, the model's
// entities, the upgrade entity with its flash, served on loopback TCP, and the
// transport side of leaving and coming back after LOAD and REBOOT. In router mode
// further modules sit behind the front one, each with an upgrade entity of its own
// (they never leave the router's link).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"
#include "tests/sim/upgrade/UpgradeDevice.h"

namespace devsim {
namespace upgrade {

struct BehindModule {
  uint8_t address = 0x10;
  uint32_t serial = 0;
  uint8_t model = 0x13;
};

struct SimOptions {
  model::ModuleConfig module;   // the front module's identity
  Settings upgrade;             // for every upgrade entity
  uint16_t tcpPort = 0;
  TcpFrontEnd::Accept accept = TcpFrontEnd::Accept::kReplace;
  // LOAD: -1 keeps the link and acknowledges at once; otherwise the module leaves for
  // this long and acknowledges on the new connection.
  int loadLeaveMs = -1;
  int rebootLeaveMs = 1500;        // REBOOT: the link drops for this long; -1 keeps it
  bool neverReturn = false;        // after leaving, never listen again
  bool trace = false;              // dump() also writes SERIAL.packets (below)
  std::vector<BehindModule> behind;
};

class UpgradeSim {
 public:
  explicit UpgradeSim(const SimOptions& options);
  ~UpgradeSim();
  UpgradeSim(const UpgradeSim&) = delete;
  UpgradeSim& operator=(const UpgradeSim&) = delete;

  bool ok() const { return port_ != 0; }
  // Read once at construction: the front end rewrites its own copy when it listens again.
  uint16_t port() const { return port_; }
  Device& device() { return *device_; }
  std::shared_ptr<model::Module> front() { return front_; }
  std::shared_ptr<model::Network> network() { return network_; }
  // The upgrade entity of the module with that serial number (the front one for 0).
  UpgradeDevice* upgrade(uint32_t serial = 0);
  std::vector<std::pair<uint32_t, UpgradeDevice*>> upgrades();

  // Writes SERIAL.flash, SERIAL.loader (raw bytes from the lowest address written) and
  // SERIAL.stats (key=value, the lowest addresses included, and turned_away: connections
  // the accept policy closed at once) into dir, each file whole.
  // With trace on, the front module's file SERIAL.packets holds every packet the module
  // received, one per line: milliseconds of the monotonic clock, then the wire bytes in
  // hex ("12345 04 02 5F 06").
  bool dump(const std::string& dir);

 private:
  struct Pending {
    Event event;
    UpgradeDevice* from;
  };
  void control();
  void leave(uint32_t awayMs, bool acknowledgeLoad, UpgradeDevice* from);

  SimOptions options_;
  std::shared_ptr<model::Module> front_;
  std::shared_ptr<model::Network> network_;
  std::unique_ptr<Device> device_;
  std::vector<std::pair<uint32_t, std::unique_ptr<UpgradeDevice>>> upgrades_;
  std::unique_ptr<TcpFrontEnd> tcp_;
  uint16_t port_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> events_;
  bool stopping_ = false;
  std::thread controller_;
};

}  // namespace upgrade
}  // namespace devsim

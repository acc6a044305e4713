// Discovery of the devices the host reaches directly and of those behind a router
// module.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "common/discovery/aDiscovery.h"
#include "common/aLinkSpecifier.h"
#include "common/transport/aSocket.h"
#include "common/unix/aTime.h"
#include "updater/DeviceQueries.h"
#include "updater/DiscoveredDevices.h"
#include "updater/ModuleConnection.h"
#include "updater/Updater.h"
#include "updater/cli/Log.h"

using Quenlark::Tallowick::I2CClass;
using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::SystemClass;

namespace updater {
namespace {

// Discovery takes 127.0.0.1 as "every interface".
uint32_t anyInterface() { return htonl(INADDR_LOOPBACK); }

const char* modelName(uint32_t model) {
  const char* name = aDefs_GetModelName(model);
  return name != nullptr ? name : "";
}

// A linkSpec that discovery handed out, released on every way out of its scope.
struct LinkSpecRelease {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using LinkSpecOwner = std::unique_ptr<linkSpec, LinkSpecRelease>;

// How long a TCP/IP row's address gets to accept a connection before it is queried.
constexpr int kReachBudgetMs = 1500;
// The whole query phase of the TCP/IP rows, whatever the replies named: an address can
// take connections and never answer, or have its connection queue filled (by the other
// rows' connections) so that a link's connection waits its whole time-out, and links are
// made one at a time. A row that the phase leaves no time for is listed with its error.
constexpr aTime kQueryPhaseMs = 4000;
// A link is made only while its connection can still end within the phase.
constexpr aTime kLinkTurnReserveMs = aSOCKET_CONNECT_TIMEOUT_MS;
// A link made quicker than this was work done in turn (slow on a loaded machine), not a
// connection left waiting by an address: the phase is lengthened by its time, by at
// most kMostLengtheningMs in all.
constexpr aTime kQuickLinkMs = 1000;
constexpr aTime kMostLengtheningMs = 3000;
// As a Module's own adoption of the device's address asks it.
constexpr int kAddressTries = 4;
constexpr aTime kAddressRetryMs = 5;

// Whether the row's address accepts a connection within the budget (and before the
// deadline): an address that swallows connection requests would otherwise hold a link
// creation (and with it every other one) for its whole connection time-out. aErrNone
// when it does, else the aErr the row is listed with.
aErr _reach_tcpip(const DeviceInfo& row, aTime phaseDeadline) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrResource;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = row.spec.t.ip.address;
  to.sin_port = htons(static_cast<uint16_t>(row.spec.t.ip.port));
  aErr result = aErrNone;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    result = errno == EINPROGRESS ? aErrTimeout : aErrConnection;
    const aTime deadline = std::min<aTime>(aTime_GetMonotonicMSTicks() + kReachBudgetMs, phaseDeadline);
    while (result == aErrTimeout) {
      const aTime now = aTime_GetMonotonicMSTicks();
      if (now >= deadline) break;
      pollfd waiter{fd, POLLOUT, 0};
      const int ready = poll(&waiter, 1, static_cast<int>(deadline - now));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      result = error == 0 ? aErrNone : aErrConnection;
    }
  }
  close(fd);
  return result;
}

// Hands each message whole to the display, one thread at a time.
class SharedDisplay : public UpdaterDisplayInterface {
public:
  explicit SharedDisplay(UpdaterDisplayInterface& target) : target_(target) {}
  void display_progress(bool on) override {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.display_progress(on);
  }
  void update_progress(double fraction, const char* label) override {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.update_progress(fraction, label);
  }
  void update_spinner(bool on, const char* label) override {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.update_spinner(on, label);
  }
  void info_message(const char* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.message(0, "%s", text);
  }
  void error_message(const char* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    target_.message(1, "%s", text);
  }

private:
  UpdaterDisplayInterface& target_;
  std::mutex mutex_;
};

// Connects to the row's device and asks it for its build, version and name.
void _query_device(DeviceInfo& row, UpdaterDisplayInterface& display) {
  Module module(2, 0);
  if (_disableQuivel(module, display) != aErrNone) return;
  row.error = module.connectFromSpec(row.spec);
  if (row.error == aErrNone) {
    row.build = _get_build_number(module);
    row.error = _get_version(module, row);
    if (row.error == aErrNone) row.error = _get_device_name(module, row);
  }
  module.disconnect();
}

// The phase's deadline and the turns at making links: one row at a time (link creations
// are serialised anyway), each waited for only while a link could still be made in time.
class QueryPhase {
 public:
  QueryPhase() : deadline_(aTime_GetMonotonicMSTicks() + kQueryPhaseMs) {}

  aTime deadline() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deadline_;
  }
  bool lasts() const { return aTime_GetMonotonicMSTicks() < deadline(); }

  // False when no turn came while a link could still be made in time.
  bool takeTurn() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!busy_) {
        busy_ = true;
        return true;
      }
      const aTime now = aTime_GetMonotonicMSTicks();
      const aTime lastTurn = deadline_ - kLinkTurnReserveMs;
      if (now >= lastTurn) return false;
      // Woken by the next turn given, or by the end of the wait.
      given_.wait_for(lock, std::chrono::milliseconds(lastTurn - now));
    }
  }
  // Ends the turn that took tookMs.
  void giveTurn(aTime tookMs) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
      if (tookMs < kQuickLinkMs) {
        const aTime more = std::min(tookMs, kMostLengtheningMs - lengthened_);
        lengthened_ += more;
        deadline_ += more;
      }
    }
    given_.notify_one();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable given_;
  aTime deadline_;
  aTime lengthened_ = 0;
  bool busy_ = false;
};

// The device's own address for the module's requests, asked as a Module that adopts it
// would, but only while the phase lasts. Its result is the row's.
aErr _adopt_device_address(Module& module, const QueryPhase& phase) {
  aErr e = aErrNotReady;
  for (int i = 0; i < kAddressTries && e == aErrNotReady && phase.lasts(); i++) {
    uint8_t address = 0;
    e = module.getLink()->getModuleAddress(&address);
    if (e == aErrNone && address != 0) module.setModuleAddress(address);
    if (e != aErrNone) aTime_MSSleep(kAddressRetryMs);
  }
  return e;
}

// One TCP/IP row's connection and queries, each step begun only while the phase lasts;
// the link is made in the row's turn, and only while its connection can still end in time.
void _query_tcpip_device(DeviceInfo& row, UpdaterDisplayInterface& display, QueryPhase& phase) {
  row.error = _reach_tcpip(row, phase.deadline());
  if (row.error != aErrNone) return;
  Module module(2, false, 0);
  if (_disableQuivel(module, display) != aErrNone) return;
  if (!phase.takeTurn()) {
    row.error = aErrTimeout;
    return;
  }
  const aTime start = aTime_GetMonotonicMSTicks();
  row.error = module.connectFromSpec(row.spec);
  phase.giveTurn(aTime_GetMonotonicMSTicks() - start);
  if (row.error == aErrNone) row.error = _adopt_device_address(module, phase);
  if (row.error == aErrNone && phase.lasts()) row.build = _get_build_number(module);
  if (row.error == aErrNone) row.error = phase.lasts() ? _get_version(module, row) : aErrTimeout;
  if (row.error == aErrNone) row.error = phase.lasts() ? _get_device_name(module, row) : aErrTimeout;
  module.disconnect();
}

// All TCP/IP rows at once, each on a thread of its own, within one deadline: a device
// that swallows the connection or takes it and never answers costs its waits once, not
// once per row, and the phase ends in time whatever the replies named.
void _query_tcpip_devices(const std::vector<DeviceInfo*>& rows, UpdaterDisplayInterface& display) {
  SharedDisplay shared(display);
  QueryPhase phase;
  std::atomic<size_t> next{0};
  auto work = [&]() {
    for (size_t i = next++; i < rows.size(); i = next++) _query_tcpip_device(*rows[i], shared, phase);
  };
  std::vector<std::thread> workers;
  for (size_t i = 1; i < rows.size(); i++) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads: the ones there take more rows each
    }
  }
  work();
  for (std::thread& worker : workers) worker.join();
}

bool _discovered_link(const linkSpec* spec, bool* found, void* reference) {
  auto* wanted = static_cast<std::pair<uint32_t, linkType>*>(reference);
  *found = true;
  if (spec->serialNumber != wanted->first) return true;
  Log::log(Log::DEBUG_Network_Link, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  wanted->second = spec->type;
  return false;
}

linkType _discover_link_type(uint32_t serial) {
  std::pair<uint32_t, linkType> wanted(serial, kLinkTypeNone);
  aDiscovery_EnumerateModules(kLinkTypeUSB, _discovered_link, &wanted, anyInterface());
  if (wanted.second == kLinkTypeNone)
    aDiscovery_EnumerateModules(kLinkTypeTCPIP, _discovered_link, &wanted, anyInterface());
  return wanted.second;
}

}  // namespace
}  // namespace updater

std::vector<DeviceInfo> Updater::Discover_Devices(linkType link) {
  std::vector<DeviceInfo> list;
  const linkType kinds[2] = {kLinkTypeUSB, kLinkTypeTCPIP};
  for (linkType kind : kinds) {
    if (link != kLinkTypeNone && link != kind) continue;
    updater::Collection collection{&list, list.size(), false};
    aDiscovery_EnumerateModules(kind, updater::_discovered_device, &collection, updater::anyInterface());
    if (collection.capped)
      display.message(1, "More than %u devices answered on %s: only the first %u are listed",
                      static_cast<unsigned>(updater::kMaxDevicesPerKind), kind == kLinkTypeUSB ? "USB" : "TCPIP",
                      static_cast<unsigned>(updater::kMaxDevicesPerKind));
  }

  std::vector<DeviceInfo*> network;
  for (DeviceInfo& row : list) {
    row.modelName = updater::modelName(row.spec.model);
    if (row.spec.type == kLinkTypeTCPIP) {
      network.push_back(&row);
    } else {
      updater::_query_device(row, display);
    }
  }
  updater::_query_tcpip_devices(network, display);
  return list;
}

std::vector<DeviceInfo> Updater::Discover_TWNetwork_Devices(uint32_t routerSerial, linkType link) {
  std::vector<DeviceInfo> list;
  if (link == kLinkTypeNone) link = updater::_discover_link_type(routerSerial);
  const updater::LinkSpecOwner routerSpec(aDiscovery_FindModule(link, routerSerial, updater::anyInterface()));
  if (!routerSpec) return list;
  Log::log(Log::DEBUG_Updater, "Found Link Module");

  Module router(2, 0);
  aErr e = updater::_disableQuivel(router, display);
  if (e == aErrNone) {
    e = router.connectFromSpec(*routerSpec);
    if (e != aErrNone) display.message(1, "Error %d on connectFromSpec", static_cast<int>(e));
  }
  if (e != aErrNone) return list;
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  e = routerSystem.routeToMe(1);
  if (e != aErrNone) {
    display.message(1, "Error %d on route to me", static_cast<int>(e));
    router.disconnect();
    return list;
  }
  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(3);
  const uint8_t probe[2] = {0x00, 0x00};
  const uint8_t own = router.getModuleAddress();
  for (unsigned a = 2; a <= 253; a += 2) {
    if (a == own) continue;
    Log::log(Log::DEBUG_Updater, "Searching Address 0x%02x\n", a);
    if (bus.write(static_cast<uint8_t>(a), 2, probe) != aErrNone) continue;
    Log::log(Log::DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", a);
    Module device(static_cast<uint8_t>(a), false, 0);
    updater::_disableQuivel(device, display);
    if (device.connectThroughLinkModule(&router) != aErrNone) continue;
    SystemClass system;
    system.init(&device, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
      device.disconnect();
      continue;
    }
    Log::log(Log::DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    DeviceInfo row;
    row.spec.type = link;
    row.spec.serialNumber = serial;
    row.spec.router = own;
    row.spec.routerSerialNumber = routerSerial;
    std::memcpy(&row.spec.t, &routerSpec->t, sizeof row.spec.t);
    row.networkAddress = static_cast<uint16_t>(a);
    row.build = updater::_get_build_number(device);
    row.error = updater::_get_version(device, row);
    uint8_t model = 0;
    const aErr m = system.getModel(&model);
    if (m == aErrNone) {
      row.spec.model = model;
      row.modelName = updater::modelName(model);
    } else {
      row.error = m;
    }
    device.disconnect();
    list.push_back(std::move(row));
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return list;
}

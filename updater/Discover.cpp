// Discovery of the devices the host reaches directly and of those behind a router
// module.
#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "common/aDiscovery.h"
#include "common/aLinkSpecifier.h"
#include "updater/DeviceQueries.h"
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

bool _discovered_device(const linkSpec* spec, bool* found, void* reference) {
  auto* list = static_cast<std::vector<DeviceInfo>*>(reference);
  DeviceInfo info;
  std::memcpy(&info.spec, spec, sizeof info.spec);
  list->push_back(std::move(info));
  *found = true;
  return true;
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
  for (linkType kind : kinds)
    if (link == kLinkTypeNone || link == kind)
      aDiscovery_EnumerateModules(kind, updater::_discovered_device, &list, updater::anyInterface());

  for (DeviceInfo& row : list) {
    row.modelName = updater::modelName(row.spec.model);
    Module module(2, 0);
    if (updater::_disableQuivel(module, display) != aErrNone) continue;
    row.error = module.connectFromSpec(row.spec);
    if (row.error == aErrNone) {
      row.build = updater::_get_build_number(module);
      row.error = updater::_get_version(module, row);
      if (row.error == aErrNone) row.error = updater::_get_device_name(module, row);
    }
    module.disconnect();
  }
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

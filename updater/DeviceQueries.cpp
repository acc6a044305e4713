#include "updater/DeviceQueries.h"

#include <cstddef>

#include "api/SystemClass.h"
#include "common/aVersion.h"

using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::SystemClass;

namespace updater {

uint32_t _get_build_number(Module& module) {
  uint32_t build = 0;
  return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr e = system.getVersion(&version);
  if (e != aErrNone) return e;
  info.major = static_cast<uint8_t>(aVersion_ParseMajor(version));
  info.minor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  info.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  e = system.getModule(&address);
  if (e != aErrNone) return e;
  info.spec.module = address;
  e = system.getRouter(&address);
  if (e != aErrNone) return e;
  info.spec.router = address;
  return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
  if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch), 2, 10, 4)) return aErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[32];
  uint64_t count = 0;
  const aErr e = system.getName(name, sizeof name, &count);
  if (e != aErrNone) return e;
  if (count > sizeof name) count = sizeof name;
  info.deviceName.assign(reinterpret_cast<const char*>(name), static_cast<size_t>(count));
  return aErrNone;
}

}  // namespace updater

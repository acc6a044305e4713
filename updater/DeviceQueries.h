#pragma once
// What discovery asks each connected device: its build, its version with its module and
// router addresses, and its name.
#include <cstdint>

#include "api/Module.h"
#include "common/aErr.h"
#include "updater/DeviceInfo.h"

namespace updater {

// 0 on any failure.
uint32_t _get_build_number(Quenlark::Tallowick::Module& module);
// Fills major, minor, patch and the linkSpec's module and router address words; a failing
// query is returned, leaving the fields after it unwritten.
aErr _get_version(Quenlark::Tallowick::Module& module, DeviceInfo& info);
// Firmware before 2.10.4 has no name: deviceName stays empty and nothing is asked.
aErr _get_device_name(Quenlark::Tallowick::Module& module, DeviceInfo& info);

}  // namespace updater

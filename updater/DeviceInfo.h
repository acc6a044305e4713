#pragma once
// One device as discovery reports it: how to reach it and what it answered.
#include <cstdint>
#include <string>

#include "common/aLinkSpecifier.h"

struct DeviceInfo {
  linkSpec spec{};              // link type, serial, addresses, model, transport
  uint16_t networkAddress = 0;  // I2C address behind a router (router scan only)
  uint32_t build = 0;           // firmware build, 0 when the query failed
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;
  std::string deviceName;       // empty unless read
  int32_t error = 0;            // aErr of the failing connection or query, 0 when all succeeded
};

#pragma once
// The device's system entity (cmdSYSTEM): one operation per system option. The chip
// identifier words (option 39, subindexes 0 to 3) are read with getUEI32(39, i, &word).
#include <cstdint>

#include "api/Entity.h"

namespace Quenlark {
namespace Tallowick {

#define systemUniqueIdentifier 39

class SystemClass : public EntityClass {
 public:
  SystemClass();
  ~SystemClass() override;

  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* value);   // option 1
  aErr getRouter(uint8_t* value);   // option 2
  aErr setRouter(uint8_t value);   // option 2
  aErr getHBInterval(uint8_t* value);   // option 3
  aErr setHBInterval(uint8_t value);   // option 3
  aErr getLED(uint8_t* value);   // option 4
  aErr setLED(uint8_t value);   // option 4
  aErr getBootSlot(uint8_t* value);   // option 6
  aErr setBootSlot(uint8_t value);   // option 6
  aErr getVersion(uint32_t* value);   // option 7
  aErr getModel(uint8_t* value);   // option 8
  aErr getSerialNumber(uint32_t* value);   // option 9
  aErr save();   // option 10
  aErr reset();   // option 11
  aErr getInputVoltage(uint32_t* value);   // option 12
  aErr getModuleHardwareOffset(uint8_t* value);   // option 13
  aErr getModuleBaseAddress(uint8_t* value);   // option 14
  aErr getModuleSoftwareOffset(uint8_t* value);   // option 15
  aErr setModuleSoftwareOffset(uint8_t value);   // option 15
  aErr getRouterAddressSetting(uint8_t* value);   // option 16
  aErr routeToMe(uint8_t value);   // option 20
  aErr getInputCurrent(uint32_t* value);   // option 21
  aErr getUptime(uint32_t* value);   // option 22
  aErr getMaximumTemperature(int32_t* value);   // option 23
  aErr logEvents();   // option 24
  aErr getUnregulatedVoltage(int32_t* value);   // option 25
  aErr getUnregulatedCurrent(int32_t* value);   // option 26
  aErr getTemperature(int32_t* value);   // option 27
  aErr getMinimumTemperature(int32_t* value);   // option 28
  aErr getInputPowerSource(uint8_t* value);   // option 29
  aErr getInputPowerBehavior(uint8_t* value);   // option 30
  aErr setInputPowerBehavior(uint8_t value);   // option 30
  aErr getPowerLimit(uint32_t* value);   // option 33
  aErr getPowerLimitMax(uint32_t* value);   // option 34
  aErr setPowerLimitMax(uint32_t value);   // option 34
  aErr getPowerLimitState(uint32_t* value);   // option 35
  aErr resetDeviceToFactoryDefaults();   // option 37
  aErr getLinkInterface(uint8_t* value);   // option 38
  aErr setLinkInterface(uint8_t value);   // option 38
  aErr getHardwareVersion(uint32_t* value);   // option 40
  aErr getErrors(uint32_t* value);   // option 41
  aErr getLEDMaxBrightness(uint8_t* value);   // option 42
  aErr setLEDMaxBrightness(uint8_t value);   // option 42
  aErr getBuild(uint32_t* value);   // option 43
  aErr getProtocolFeatures(uint32_t* value);   // option 45

  // The device name (option 32), not zero-terminated; *count in bytes.
  aErr getName(uint8_t* buffer, uint64_t capacity, uint64_t* count);
  aErr setName(const uint8_t* bytes, uint64_t length);
  // Option 31: 32-bit words as the device holds them (no byte-order change); *count in
  // words, aErrMemory when the reply is no whole number of words.
  aErr getInputPowerBehaviorConfig(uint32_t* words, uint64_t n, uint64_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, uint64_t n);

 private:
  aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Tallowick
}  // namespace Quenlark

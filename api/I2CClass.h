#pragma once
// An I2C bus of the device (cmdI2C): raw-packet read, write and pull-up, with a bus
// speed code sent with every read and write. Addresses are 8-bit with the direction in
// bit 0: write sends the address unchanged, read sets bit 0.
#include <cstdint>

#include "api/Entity.h"

namespace Quenlark {
namespace Tallowick {

class I2CClass : public EntityClass {
 public:
  I2CClass();
  ~I2CClass() override;

  void init(Module* module, uint8_t index);
  // Codes 0 to 3; aErrParam above (the old code stays). Sends nothing.
  aErr setSpeed(uint8_t code);
  aErr getSpeed(uint8_t* code) const;
  // At most 23 bytes each way; a failure status of the bus gives its code.
  aErr read(uint8_t address, uint8_t count, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t count, const uint8_t* bytes);
  aErr setPullup(bool on);

 private:
  uint8_t m_speed;
};

}  // namespace Tallowick
}  // namespace Quenlark

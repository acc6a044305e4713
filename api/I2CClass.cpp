#include "api/I2CClass.h"

#include <cstring>

#include "common/aUEI.h"

namespace Quenlark {
namespace Tallowick {

namespace {
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kMaxTransfer = 23;
constexpr uint8_t kPullupSelector = 1;
constexpr uint8_t kStatusFailure = 0x80;

// The status byte (data byte 4) of a reply of more than 4 data bytes.
aErr status(uint8_t length, const uint8_t* reply) {
  if (length <= 4) return aErrPacket;
  if (reply[4] & kStatusFailure) return static_cast<aErr>(reply[4] & 0x7F);
  return aErrNone;
}

// Sends [cmdI2C, request] and waits for the reply that begins with match; its status
// decides, and *length is its data length.
aErr exchange(EntityClass& bus, const uint8_t* request, uint8_t count, const uint8_t* match, uint8_t matchCount,
              uint8_t* reply, uint8_t* length) {
  aErr e = bus.sendPacket(cmdI2C, count, request);
  if (e != aErrNone) return e;
  *length = matchCount;
  e = bus.receivePacket(match, length, reply);
  if (e != aErrNone) return e;
  return status(*length, reply);
}
}  // namespace

I2CClass::I2CClass() : m_speed(0) {}

I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdI2C, index); }

aErr I2CClass::setSpeed(uint8_t code) {
  if (code > kMaxSpeed) return aErrParam;
  m_speed = code;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* code) const {
  if (code != nullptr) *code = m_speed;
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t count, uint8_t* buffer) {
  if (count > kMaxTransfer) return aErrSize;
  if (count > 0 && buffer == nullptr) return aErrParam;
  const uint8_t target = static_cast<uint8_t>(address | 1);
  const uint8_t request[] = {getIndex(), target, count, m_speed};
  const uint8_t match[] = {cmdI2C, getIndex(), target};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr e = exchange(*this, request, sizeof request, match, sizeof match, reply, &length);
  if (e != aErrNone) return e;
  // The reply names how many bytes it carries: never copy past what it holds, nor more
  // than the caller asked for.
  const uint8_t carried = reply[3];
  if (carried > length - 5) return aErrPacket;
  if (carried > count) return aErrSize;
  if (carried > 0) std::memcpy(buffer, &reply[5], carried);
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t count, const uint8_t* bytes) {
  if (count > kMaxTransfer) return aErrSize;
  if (count > 0 && bytes == nullptr) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA - 1] = {getIndex(), address, count, m_speed};
  if (count > 0) std::memcpy(&request[4], bytes, count);
  const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  return exchange(*this, request, static_cast<uint8_t>(count + 4), match, sizeof match, reply, &length);
}

aErr I2CClass::setPullup(bool on) {
  const uint8_t request[] = {getIndex(), kPullupSelector, static_cast<uint8_t>(on ? 1 : 0)};
  const uint8_t match[] = {cmdI2C, getIndex(), kPullupSelector};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  return exchange(*this, request, sizeof request, match, sizeof match, reply, &length);
}

}  // namespace Tallowick
}  // namespace Quenlark

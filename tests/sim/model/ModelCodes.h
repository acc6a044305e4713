#pragma once
// Entity commands and result codes the simulated module speaks (the module's own
// numbering, written down independently of the library's).
#include <cstdint>

namespace devsim {
namespace model {

constexpr uint8_t kCmdSlot = 0x04;
constexpr uint8_t kCmdSystem = 0x03;
constexpr uint8_t kCmdI2C = 0x08;
constexpr uint8_t kCmdDebug = 0x17;
constexpr uint8_t kCmdInfo = 0x49;
constexpr uint8_t kCmdStore = 0x5C;
constexpr uint8_t kCmdStream = 0x5D;
constexpr uint8_t kCmdFactory = 0x5E;

constexpr uint8_t kErrParam = 2;
constexpr uint8_t kErrNotFound = 3;
constexpr uint8_t kErrIO = 6;
constexpr uint8_t kErrMode = 7;
constexpr uint8_t kErrEOF = 10;
constexpr uint8_t kErrPermission = 12;
constexpr uint8_t kErrSize = 14;
constexpr uint8_t kErrPacket = 24;
constexpr uint8_t kErrIndexRange = 26;
constexpr uint8_t kErrInvalidEntity = 28;
constexpr uint8_t kErrInvalidOption = 29;
constexpr uint8_t kErrResource = 30;

}  // namespace model
}  // namespace devsim

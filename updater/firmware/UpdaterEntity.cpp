#include "updater/firmware/UpdaterEntity.h"

#include "api/SystemClass.h"
#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aUEI.h"
#include "common/unix/aTime.h"
#include "updater/cli/Log.h"

using Quenlark::Tallowick::EntityClass;
using Quenlark::Tallowick::Link;
using Quenlark::Tallowick::Module;
using Quenlark::Tallowick::SystemClass;

namespace {

constexpr uint32_t kRebootPassMs = 250;

}  // namespace

UpdaterEntity::UpdaterEntity()
    : module(nullptr), validateSum(true), noWaitForDrop(false), ueiData(false), rebootWaitMs(REBOOT_WAIT_MS) {}

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::sendRequest(uint8_t count, const uint8_t* bytes) { return sendPacket(cmdUPGRADE, count, bytes); }

aErr UpdaterEntity::awaitReply(uint8_t option, uint8_t* reply, uint8_t* length) {
  const uint8_t match[2] = {cmdUPGRADE, option};
  *length = sizeof match;
  return receivePacket(match, length, reply);
}

aErr UpdaterEntity::sendByteSequence(uint8_t option, const uint8_t* data, uint64_t length) {
  return setUEIBytes(option, data, length);
}

aErr UpdaterEntity::failed(const char* what, aErr e) {
  lastFailure = what;
  return e;
}

void UpdaterEntity::init(Module* m, uint8_t index, bool validate, bool noWait) {
  lastFailure.clear();
  module = m;
  validateSum = validate;
  noWaitForDrop = noWait;
  ueiData = false;
  EntityClass::init(m, cmdUPGRADE, index);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const uint8_t request[1] = {val_UPGRADE_INIT};
  aErr e = sendRequest(sizeof request, request);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", static_cast<int>(e));
    return failed("INIT could not be sent", e);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  e = awaitReply(val_UPGRADE_INIT, reply, &length);
  if (e != aErrNone) return failed("INIT unanswered", e);
  if (length <= 5) return failed("INIT answer too short", aErrPacket);
  const uint32_t base = aUEI_RetrieveInt(reply + 2);
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length),
           flags, static_cast<int>(blockSize));
  // The load address is the first four bytes: a shorter block has none to send.
  if (data == nullptr || length < 4) {
    Log::log(0, "NETWORK: Block of %u bytes is too short for its load address\n", length);
    return failed("block too short for its load address", aErrSize);
  }
  Log::log(Log::DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           data[0], data[1], data[2], data[3]);
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(aUEI_RetrieveInt(data)));
  const uint8_t request[6] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
  aErr e = sendRequest(sizeof request, request);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", static_cast<int>(e));
    return failed("PREPARE could not be sent", e);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length2 = 0;
  e = awaitReply(val_UPGRADE_STATUS, reply, &length2);
  if (e != aErrNone) return failed("PREPARE unanswered", e);
  if (length2 < 3 || reply[2] != 0) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return failed("PREPARE refused", aErrInvalidOption);
  }
  // A good status without the block size: the size would be read from bytes never sent.
  if (length2 < 5) {
    Log::log(0, "NETWORK: Prepare reply of %d bytes carries no block size\n", static_cast<int>(length2));
    return failed("PREPARE answer carries no block size", aErrPacket);
  }
  blockSize = static_cast<uint16_t>(reply[3] << 8 | reply[4]);
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
           static_cast<int>(blockSize));
  return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length < 4) {
    Log::log(0, "NETWORK: Block of %u bytes is too short for its load address\n", length);
    return failed("block too short for its load address", aErrSize);
  }
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(data),
           static_cast<int>(length - 4));
  uint32_t blocks = 0;
  return _block_transfer(data + 4, length - 4, blocks);
}

// One transfer: the data in DATA packets or as one byte sequence, then, unless told
// otherwise, the device's byte sum checked against what it took.
aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks) {
  Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  Account account;
  const aErr result = ueiData ? _send_byte_sequence(data, length, account, blocks)
                              : _send_data_packets(data, length, account, blocks);
  if (account.cutShort) return result;
  Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(account.accepted),
           static_cast<int>(length));
  if (result != aErrNone || !validateSum) return result;
  return _check_sum(account.sum, blocks);
}

void UpdaterEntity::Account::take(const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) sum += bytes[i];
  accepted += count;
}

aErr UpdaterEntity::_send_byte_sequence(const uint8_t* data, uint32_t length, Account& account, uint32_t& blocks) {
  Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  const aErr e = sendByteSequence(val_UPGRADE_DATA_UEI, data, length);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", static_cast<int>(e));
    account.cutShort = true;
    return failed("DATA (byte sequence) not taken", e);
  }
  account.take(data, length);
  blocks = 1;
  Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
  return aErrNone;
}

aErr UpdaterEntity::_send_data_packets(const uint8_t* data, uint32_t length, Account& account, uint32_t& blocks) {
  aErr result = aErrNone;
  int sends = 0;
  while (account.accepted < length && result == aErrNone) {
    const uint32_t left = length - account.accepted;
    const uint8_t n = static_cast<uint8_t>(left < DATA_CHUNK ? left : DATA_CHUNK);
    const uint8_t* chunk = data + account.accepted;
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
    int count = 0;
    const aErr e = _offer_chunk(chunk, n, &count);
    if (e != aErrNone) {
      account.cutShort = true;
      return e;
    }
    sends++;
    if (count == kUnanswered) {
      Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      result = failed("DATA unanswered", aErrPacket);
      break;
    }
    if (count != n) {
      Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count, n);
      // A device that never takes the chunk would otherwise hold the transfer for ever.
      if (sends >= DATA_SENDS) {
        Log::log(0, "\nNETWORK: Chunk refused %d times, giving up the transfer.\n", sends);
        result = failed("DATA refused at every try", aErrPacket);
      }
      continue;
    }
    account.take(chunk, n);
    sends = 0;
    blocks++;
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
             static_cast<int>(length - account.accepted), static_cast<int>(length));
  }
  return result;
}

aErr UpdaterEntity::_offer_chunk(const uint8_t* chunk, uint8_t n, int* count) {
  uint8_t request[1 + DATA_CHUNK];
  request[0] = val_UPGRADE_DATA;
  for (uint8_t i = 0; i < n; i++) request[1 + i] = chunk[i];
  const aErr e = sendRequest(static_cast<uint8_t>(n + 1), request);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", static_cast<int>(e));
    return failed("DATA could not be sent", e);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  if (awaitReply(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) *count = kUnanswered;
  else *count = replyLength >= 3 ? reply[2] : -1;
  return aErrNone;
}

aErr UpdaterEntity::_check_sum(uint32_t sum, uint32_t blocks) {
  Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  const uint8_t request[1] = {val_UPGRADE_SUM};
  // A failed send shows as the missing reply below.
  (void)sendRequest(sizeof request, request);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  if (awaitReply(val_UPGRADE_STATUS, reply, &replyLength) != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return failed("SUM unanswered", aErrPacket);
  }
  // A reply too short to hold the status and the sum cannot validate anything.
  if (replyLength < 7) {
    Log::log(0, "\nNETWORK: Unable to validate transfer: sum reply of %d bytes.\n", static_cast<int>(replyLength));
    return failed("SUM answer too short", aErrPacket);
  }
  const uint8_t status = reply[2];
  const uint32_t deviceSum = aUEI_RetrieveInt(reply + 3);
  if (status == 0 && deviceSum == sum) {
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status,
             sum, deviceSum, static_cast<int>(blocks));
    return aErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, deviceSum);
  return failed("SUM does not match what was sent", aErrInvalidOption);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (data == nullptr || length < 4) {
    Log::log(0, "NETWORK: Block of %u bytes is too short for its load address\n", length);
    return failed("block too short for its load address", aErrSize);
  }
  // A block size of 0 would never advance through the image.
  if (blockSize == 0 && length > 4) {
    Log::log(0, "NETWORK: Device named a block size of 0\n");
    return failed("PREPARE named a block size of 0", aErrSize);
  }
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(data),
           static_cast<int>(length - 4));
  uint32_t remaining = length - 4;
  const uint8_t* at = data + 4;
  uint32_t blocks = 0;
  aErr result = aErrNone;
  display.display_progress(true);
  while (remaining > 0 && result == aErrNone) {
    const uint32_t piece = remaining < blockSize ? remaining : blockSize;
    result = _block_transfer(at, piece, blocks);
    if (result != aErrNone) break;
    at += piece;
    remaining -= piece;
    blocks++;
    display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length), nullptr);
    Log::log(Log::DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
             static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(length));
    result = FirmwareWrite(piece);
  }
  display.display_progress(false);
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return result;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           static_cast<int>(count));
  const uint8_t request[3] = {val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  aErr e = sendRequest(sizeof request, request);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", static_cast<int>(e),
             aError_GetErrorText(e));
    return failed("WRITE could not be sent", e);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  e = awaitReply(val_UPGRADE_STATUS, reply, &length);
  if (e != aErrNone || length < 3 || reply[2] != 0) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return failed(e != aErrNone ? "WRITE unanswered" : "WRITE refused", aErrInvalidOption);
  }
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const uint8_t request[1] = {val_UPGRADE_LOAD};
  aErr e = sendRequest(sizeof request, request);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", static_cast<int>(e));
    return failed("LOAD could not be sent", e);
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (awaitReply(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  e = _reconnect(500);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
             static_cast<int>(e), aError_GetErrorText(e));
    return failed("LOAD unanswered", aErrTimeout);
  }
  e = awaitReply(val_UPGRADE_LOAD, reply, &length);
  if (e == aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n",
           static_cast<int>(e), aError_GetErrorText(e));
  return failed("LOAD unanswered", aErrTimeout);
}

aErr UpdaterEntity::_reconnect(uint32_t delay) {
  if (module == nullptr) return aErrConnection;
  module->disconnect();
  aErr e = aErrConnection;
  for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; attempt++) {
    Log::log(Log::DEBUG_Network_Link, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             RECONNECT_ATTEMPTS);
    e = module->reconnect();
    if (e == aErrNone) {
      Log::log(Log::DEBUG_Network_Link, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(Log::DEBUG_Network_Link, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             static_cast<int>(delay));
    aTime_MSSleep(delay);
  }
  return e;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const uint8_t request[1] = {val_UPGRADE_REBOOT};
  aErr result = sendRequest(sizeof request, request);
  if (result != aErrNone) {
    Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    failed("REBOOT could not be sent", result);
  }
  // Bounded: a device that keeps its link would otherwise hold the updater for ever.
  const aTime deadline = aTime_GetMonotonicMSTicks() + rebootWaitMs;
  bool dropped = true;
  while (module != nullptr && module->isConnected()) {
    if (aTime_GetMonotonicMSTicks() >= deadline) {
      dropped = false;
      break;
    }
    // A pass lasts 250 ms, but a link that drops during it ends the wait at once: the
    // wait is on the link's own status, which its reader changes as the device goes.
    if (module->awaitDisconnect(kRebootPassMs)) break;
    display.update_spinner(true, "Verifying Update");
    Log::log(Log::DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(Log::DEBUG_Network_FIRM, "Rebooting Device\n");
    if (noWaitForDrop) break;
  }
  display.update_spinner(false, "Verifying Update");
  if (!dropped && result == aErrNone) {
    // The device never restarted: the new firmware is not known to run.
    Log::log(0, "NETWORK: Device kept its link %u ms after REBOOT\n", rebootWaitMs);
    result = failed("REBOOT: the device kept its link", aErrTimeout);
  }
  return result;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  aErr r = module != nullptr ? module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80) : aErrConnection;
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", static_cast<int>(r));
  if (r == aErrNone) ueiData = true;
  return r;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr) return aErrConnection;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  aErr r = system.getProtocolFeatures(&features);
  Log::log(Log::DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features),
           static_cast<int>(r));
  if (r != aErrNone) return r;
  if ((features & 0x80000000u) == 0) return aErrNone;
  Link* link = module->getLink();
  if (link == nullptr) return aErrConnection;
  return link->enablePooledPackets(true);
}

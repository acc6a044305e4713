#pragma once
// The device's upgrade entity (cmdUPGRADE): announces an upgrade, sends a loader and
// firmware images in checked pieces, starts the loader and reboots the device.
//
// Every exchange is one request and one awaited reply (up to 1000 ms) through the
// entity's Module; nothing here is retried except a DATA chunk whose acknowledged count
// is wrong, and that only a bounded number of times.
#include <cstdint>
#include <string>

#include "api/Entity.h"
#include "api/Module.h"
#include "common/aUEI.h"
#include "updater/cli/UpdaterDisplayInterface.h"

#define val_UPGRADE_INIT 0
#define val_UPGRADE_DATA 1
#define val_UPGRADE_LOAD 2
#define val_UPGRADE_PREPARE 3
#define val_UPGRADE_SUM 4
#define val_UPGRADE_WRITE 5
#define val_UPGRADE_REBOOT 6
#define val_UPGRADE_STATUS 7
#define val_UPGRADE_DATA_UEI 10

class UpdaterEntity : public Quenlark::Tallowick::EntityClass {
 public:
  // Data bytes in one DATA request: command, option and 26 bytes fill a packet.
  static constexpr uint8_t DATA_CHUNK = 26;
  // Sends of one DATA chunk whose acknowledged count is wrong, before the transfer fails.
  static constexpr int DATA_SENDS = 5;
  // The reboot wait for a device that keeps its link.
  static constexpr uint32_t REBOOT_WAIT_MS = 8000;
  static constexpr int RECONNECT_ATTEMPTS = 5;

  UpdaterEntity();
  ~UpdaterEntity() override;

  void init(Quenlark::Tallowick::Module* module, uint8_t index, bool validateSum, bool noWaitForDrop);

  aErr LoaderInit();
  aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  aErr LoaderStart();
  aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  aErr FirmwareWrite(uint32_t count);
  aErr LoaderReboot(UpdaterDisplayInterface& display);
  aErr CheckUEIDataSupport();
  aErr CheckPooledPacketsSupport();

  // How long LoaderReboot waits for the link to drop (tests shorten it).
  void setRebootWaitMs(uint32_t ms) { rebootWaitMs = ms; }

  // What the last failed call ran into, as the request and what became of it ("INIT
  // unanswered", "PREPARE refused", "SUM does not match what was sent"); empty when
  // nothing failed since init.
  const std::string& LastFailure() const { return lastFailure; }

 protected:
  // Every request leaves and every reply arrives through these three: a cmdUPGRADE
  // packet with these data bytes after the command; the first reply that begins with
  // cmdUPGRADE and option (*length gets its data length, at most aPACKET_MAX_DATA); a
  // byte sequence of the option. By default through the entity's Module; a test or a
  // fuzzer feeds replies of its own here.
  virtual aErr sendRequest(uint8_t count, const uint8_t* bytes);
  virtual aErr awaitReply(uint8_t option, uint8_t* reply, uint8_t* length);
  virtual aErr sendByteSequence(uint8_t option, const uint8_t* data, uint64_t length);
  // What CheckUEIDataSupport decides from the device's answer.
  void useByteSequences(bool on) { ueiData = on; }

 private:
  aErr _reconnect(uint32_t delay);
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks);
  // The steps of a transfer. Account: what the device took so far and the byte sum of it;
  // cutShort when a request could not be sent, which ends the transfer at once.
  struct Account {
    uint32_t sum = 0;
    uint32_t accepted = 0;
    bool cutShort = false;
    void take(const uint8_t* bytes, uint32_t count);
  };
  aErr _send_byte_sequence(const uint8_t* data, uint32_t length, Account& account, uint32_t& blocks);
  aErr _send_data_packets(const uint8_t* data, uint32_t length, Account& account, uint32_t& blocks);
  // One DATA request of n bytes and its acknowledgement: *count gets the count the device
  // took (-1 from a reply without one, kUnanswered when no reply came). The result is the
  // send's.
  static constexpr int kUnanswered = -2;
  aErr _offer_chunk(const uint8_t* chunk, uint8_t n, int* count);
  aErr _check_sum(uint32_t sum, uint32_t blocks);
  // Keeps what failed for LastFailure and returns e.
  aErr failed(const char* what, aErr e);

  Quenlark::Tallowick::Module* module;
  bool validateSum;
  bool noWaitForDrop;
  bool ueiData;
  uint32_t rebootWaitMs;
  std::string lastFailure;
};

#include "updater/recovery/LpcRecovery.h"

#include <cstdint>
#include <vector>

#include "updater/cli/Log.h"
#include "updater/recovery/NXPSerial.h"

namespace updater {

namespace {

// One piece of an image bound for flash.
struct Chunk {
  uint32_t address;
  const uint8_t* data;
  uint32_t length;
};

// A step of the transfer that failed ends the recovery with one error line naming the
// step and the port: the diagnostic log alone would leave the user with status 1 and no
// word of what happened to the chip. A command whose echo never came may never have
// reached the chip at all, and the line says so.
bool failed(UpdaterDisplayInterface& display, const std::string& serialPort, const char* step,
            const NXPSerialClass& isp) {
  display.message(1, "Failed to recover the chip on %s: %s%s", serialPort.c_str(), step,
                  isp.EchoFailed() ? ": the chip did not echo the command" : "");
  return false;
}

// Writes a chunk into the RAM buffer and copies it to flash. The copy moves a whole
// copy length (256, 512, 1024 or 4096 bytes): the buffer is filled up to it with 0xFF,
// which leaves NOR flash as it is, and every sector the copy reaches is prepared.
// Returns the step that failed, or nullptr.
const char* programChunk(NXPSerialClass& isp, const Chunk& chunk) {
  Log::log(Log::DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(chunk.length),
           chunk.address);
  Log::log(Log::DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(chunk.length),
           NXPSerialClass::WRITE_ADDRESS);
  const uint32_t copy = NXPSerialClass::CopyLength(chunk.length);
  std::vector<uint8_t> ram(chunk.data, chunk.data + chunk.length);
  if (copy > chunk.length) ram.resize(copy, 0xFF);
  if (isp.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(ram.size()), ram.data()) != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Write to RAM failed\n");
    return "write to RAM failed";
  }
  const uint32_t first = NXPSerialClass::SectorFromAddress(chunk.address);
  // Computed in 64 bits: a copy that would run past the top of the address space
  // names no sector instead of one near address 0.
  const uint64_t end = static_cast<uint64_t>(chunk.address) + (copy - 1);
  const uint32_t last = NXPSerialClass::SectorFromAddress(end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end));
  Log::log(Log::DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
           static_cast<int>(last));
  if (isp.Prepare(first, last) != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Prepare failed\n");
    return "prepare failed";
  }
  Log::log(Log::DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy),
           NXPSerialClass::WRITE_ADDRESS, chunk.address);
  if (isp.CopyToFlash(chunk.address, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
    Log::log(Log::DEBUG_Updater, "\t Transfer to flash failed\n");
    return "transfer to flash failed";
  }
  return nullptr;
}

// The blocks the transfer sends: those with a load address, up to the end marker (a
// block of eight data bytes). Counting every block less one fits only a file that ends
// with the marker: a file of two images would show "block 2 of 1".
int blocksToSend(const std::vector<BirdBlock>& blocks) {
  int n = 0;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) continue;
    if (block.length - 4 == 4) break;
    n++;
  }
  return n;
}

}  // namespace

LpcProbe _get_fingerprint_lpc(std::string serialPort, uint32_t baud, Fingerprint& fingerprint,
                              std::string& failure) {
  NXPSerialClass isp;
  aErr e = isp.Connect(serialPort.c_str(), baud);
  if (e != aErrNone) {
    Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not open serial port\n", static_cast<int>(e));
    return LpcProbe::NoChip;
  }
  Log::log(Log::DEBUG_APP, "\n\tSync to Device:\n");
  e = isp.Sync();
  if (e != aErrNone) {
    Log::log(Log::DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", static_cast<int>(e));
    return LpcProbe::NoChip;
  }
  // From here on the chip is known to be an LPC part: a serial number it will not give
  // ends the step, for any other answer would be a key the chip never had.
  Log::log(Log::DEBUG_APP, "\n\tGet Info from Device:\n");
  e = isp.GetDeviceID();
  if (e != aErrNone) {
    Log::log(Log::DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    if (isp.EchoFailed())
      failure = "the chip did not echo the serial number command";
    else if (e == aErrParam)
      failure = "the chip refused to give its serial number";
    else if (e == aErrTimeout)
      failure = "no serial number from the chip";
    else
      failure = "the chip's serial number is not four 32-bit numbers";
    return LpcProbe::Failed;
  }
  for (size_t i = 0; i < Fingerprint::size(); i++) fingerprint[i] = isp.deviceID[i];
  return LpcProbe::Read;
}

namespace {

// Opens the port at the rate the fingerprint step synchronised the chip at, then moves
// both ends to baud when it differs: another rate holds only once the chip was told it.
const char* openLine(NXPSerialClass& isp, const std::string& serialPort, uint32_t baud) {
  if (isp.Connect(serialPort.c_str(), LPC_FINGERPRINT_BAUD) != aErrNone) {
    Log::log(Log::DEBUG_Network_Link, "Could not connect to %s\n", serialPort.c_str());
    return "could not connect";
  }
  const uint32_t rate = NXPSerialClass::LineRate(baud);
  if (rate != isp.baud && (isp.SetBaudRate(rate) != aErrNone || isp.ChangeLineRate(rate) != aErrNone)) {
    Log::log(Log::DEBUG_Network_Link, "Could not connect to %s at %u baud\n", serialPort.c_str(), rate);
    return "could not change the baud rate";
  }
  return nullptr;
}

// Unlocks the chip and erases sectors 0 to 29.
const char* eraseFlash(NXPSerialClass& isp) {
  Log::log(Log::DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (isp.Unlock() != aErrNone) {
    Log::log(Log::DEBUG_Network_Link, "Could not unlock\n");
    return "could not unlock";
  }
  Log::log(Log::DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (isp.Prepare(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != aErrNone) {
    Log::log(Log::DEBUG_Network_Link, "Could not prepare\n");
    return "could not prepare";
  }
  Log::log(Log::DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (isp.Erase(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != aErrNone) {
    Log::log(Log::DEBUG_Network_Link, "Could not erase\n");
    return "could not erase";
  }
  return nullptr;
}

// One image (address and payload) in chunks, with its progress. The chunk at address 0
// holds the vector table: a chip whose table is valid boots the firmware instead of
// staying in ISP mode, so it is kept in deferred and written last.
const char* writeImage(NXPSerialClass& isp, UpdaterDisplayInterface& display, uint32_t address,
                       const uint8_t* payload, uint32_t size, std::vector<Chunk>& deferred) {
  Log::log(Log::DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(size),
           address);
  display.display_progress(true);
  uint32_t chunk = LPC_CHUNK;
  uint32_t offset = 0;
  while (offset < size) {
    if (size - offset < chunk) chunk = size - offset;
    const Chunk piece{address, payload + offset, chunk};
    if (address == 0) {
      deferred.push_back(piece);
    } else if (const char* step = programChunk(isp, piece)) {
      display.display_progress(false);
      return step;
    }
    address += chunk;
    offset += chunk;
    display.update_progress(static_cast<double>(offset) / size, nullptr);
  }
  display.display_progress(false);
  return nullptr;
}

// Every firmware block up to the end marker, then the deferred vector table.
const char* writeFirmware(NXPSerialClass& isp, UpdaterDisplayInterface& display, BirdFile& bird) {
  Log::log(Log::DEBUG_Updater, "Updating device firmware: \n");
  Log::log(Log::DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
  const int shown = blocksToSend(blocks);
  int k = 1;
  uint32_t total = 0;
  std::vector<Chunk> deferred;
  for (const BirdBlock& block : blocks) {
    if (block.length < 4) {
      Log::log(Log::DEBUG_Updater, "Skipping firmware block of %u bytes: no load address\n", block.length);
      continue;
    }
    const uint32_t size = block.length - 4;
    if (size == 4) break;  // the end marker: nothing from here on is written
    display.message(0, "Transferring firmware block %d of %d, %d bytes", k, shown, static_cast<int>(size));
    if (const char* step = writeImage(isp, display, block.address, block.data + 4, size, deferred)) return step;
    total += size;
    k++;
  }
  for (const Chunk& piece : deferred)
    if (const char* step = programChunk(isp, piece)) return step;
  display.message(0, "Transferred %d blocks, %d total bytes", shown, static_cast<int>(total));
  return nullptr;
}

// Echo back on, then the start from address 0, which the chip must accept.
bool startChip(NXPSerialClass& isp, UpdaterDisplayInterface& display, const std::string& serialPort) {
  const aErr e = isp.SetEcho(true);
  if (e != aErrNone) {
    display.message(1, "Recovery Error transfering data to device ==> [%d, %s]", static_cast<int>(e),
                    aError_GetErrorText(e));
    return false;
  }
  const aErr started = isp.ExecuteFrom(0);
  if (started == aErrParam) return failed(display, serialPort, "the chip refused to start", isp);
  if (started != aErrNone) return failed(display, serialPort, "no answer to the start command", isp);
  display.message(0, "Rebooting Device");
  return true;
}

}  // namespace

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& serialPort, uint32_t baud,
                           Fingerprint&) {
  NXPSerialClass isp;
  const char* step = openLine(isp, serialPort, baud);
  if (step == nullptr) step = eraseFlash(isp);
  if (step != nullptr) return failed(display, serialPort, step, isp);
  // A chip that keeps its echo on is still written to, only more slowly.
  isp.SetEcho(false);
  if ((step = writeFirmware(isp, display, bird)) != nullptr) return failed(display, serialPort, step, isp);
  return startChip(isp, display, serialPort);
}

}  // namespace updater

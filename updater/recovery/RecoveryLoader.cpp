#include "updater/recovery/RecoveryLoader.h"

#include <vector>

#include "updater/cli/Log.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/IMX1050.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader_unix.h"

namespace {
constexpr const char* HID_PORT = "USB";
constexpr uint32_t ADDRESS_BYTES = 4;

uint32_t bigEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
}  // namespace

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, std::string serialPort) {
  Log::log(Log::DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader loader;
  if (serialPort == HID_PORT) {
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  } else {
    loader.setLoader(new Serial_SDPLoader(serialPort.c_str()));
  }
  if (loader.init() != SDPLoader::SDP_OK) return aErrNotReady;

  uint8_t counter = 0;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)) {
    // Loading refuses loader blocks without their address; one that got here anyway is
    // not sent anywhere.
    if (block.length < ADDRESS_BYTES) return aErrConnection;
    const uint32_t address = bigEndian(block.data);
    std::vector<uint8_t> payload(block.data + ADDRESS_BYTES, block.data + block.length);
    Log::log(Log::DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", counter, payload.size(),
             static_cast<int>(address));
    counter++;
    if (loader.writeLoader(std::move(payload), address) != SDPLoader::SDP_OK) return aErrConnection;
  }

  uint32_t entry = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  const std::vector<BirdBlock> entries = bird.FindBlocks(BirdFile::BLOCK_TYPE_LOADER_ENTRY);
  if (!entries.empty() && entries[0].length >= ADDRESS_BYTES) entry = bigEndian(entries[0].data);
  loader.startLoader(entry);
  return aErrNone;
}

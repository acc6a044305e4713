#pragma once
// The LPC road of the recovery: the chip's boot ROM speaks the ISP protocol on a serial
// line; its serial number is the fingerprint, and the firmware goes straight into its
// flash through a RAM buffer.
#include <cstdint>
#include <string>

#include "updater/Fingerprint.h"
#include "updater/cli/UpdaterDisplayInterface.h"
#include "updater/firmware/BirdFile.h"

namespace updater {

// The rate a recovery reads the fingerprint at; the chip keeps it for the transfer.
constexpr uint32_t LPC_FINGERPRINT_BAUD = 115200;
// Sectors prepared and erased before the firmware is written.
constexpr uint32_t LPC_FIRST_SECTOR = 0;
constexpr uint32_t LPC_LAST_SECTOR = 29;
// The largest piece written to RAM and copied to flash at a time.
constexpr uint32_t LPC_CHUNK = 4096;

// What the LPC attempt found on a port.
enum class LpcProbe {
  NoChip,  // no LPC boot ROM answered the handshake: another family may be there
  Failed,  // an LPC chip answered, but its serial number could not be read
  Read,    // the four words are in the fingerprint
};

// Opens the port at baud, synchronises and reads the chip's four serial-number words.
// On Failed, failure names the step; the fingerprint is left as it was.
LpcProbe _get_fingerprint_lpc(std::string serialPort, uint32_t baud, Fingerprint& fingerprint,
                              std::string& failure);

// Unlocks, erases sectors 0 to 29 and writes the (already decoded) firmware images of
// the file, then starts the chip from address 0. The chunk at flash address 0 (the
// vector table) is written last, so that a transfer cut short leaves a chip that still
// enters ISP mode. The port is opened at the fingerprint rate; a different baud is
// told to the chip first. A start the chip refuses is a failed step.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& serialPort, uint32_t baud,
                           Fingerprint& fingerprint);

}  // namespace updater

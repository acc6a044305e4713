#pragma once
// The USB stream: an aStream whose callbacks move link bytes through the USB access
// layer to one module of the family, found by its serial number.
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

#define aUSBSTREAM_CHECK 0xDEAD

struct twusb_device;

struct aUSBStreamRecord {
  uint32_t serialNumber;
  twusb_device* device;
  uint16_t check;   // aUSBSTREAM_CHECK while live
};

#define aVALIDUSBS(r) ((r) != nullptr && (r)->check == aUSBSTREAM_CHECK)

// Opens the module with that serial number: through the family's kernel driver node
// when it exists, else through libusb. *stream is null on any failure; aErrParam for a
// null out pointer or serial number 0, aErrNotFound when no module has that serial.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
// The same, going straight to the place on the bus where discovery found the module (bus
// 0: not known); the whole bus is looked through only when it is no longer there.
aErr aStream_CreateUSBAt(uint32_t serialNumber, uint8_t bus, uint8_t address, aStream** stream);

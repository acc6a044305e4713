#include "common/transport/aUSBStream.h"

#include <cstdio>
#include <new>

#include "common/unix/aUSB.h"

namespace {

aErr usbGet(uint8_t* byte, void* reference) {
  aUSBStreamRecord* record = static_cast<aUSBStreamRecord*>(reference);
  if (!aVALIDUSBS(record)) return aErrParam;
  return twusb_get_from_device(record->device, byte);
}

aErr usbPut(const uint8_t* byte, void* reference) {
  aUSBStreamRecord* record = static_cast<aUSBStreamRecord*>(reference);
  if (!aVALIDUSBS(record)) return aErrParam;
  return twusb_write_to_device(record->device, byte, 1);
}

aErr usbWrite(const uint8_t* data, uint64_t length, void* reference) {
  aUSBStreamRecord* record = static_cast<aUSBStreamRecord*>(reference);
  if (!aVALIDUSBS(record)) return aErrParam;
  return twusb_write_to_device(record->device, data, length);
}

aErr usbDelete(void* reference) {
  aUSBStreamRecord* record = static_cast<aUSBStreamRecord*>(reference);
  if (!aVALIDUSBS(record)) return aErrParam;
  aErr closed = twusb_close_tallowick_device(record->device);
  twusb_destroy(&record->device);
  record->check = 0;
  delete record;
  return closed;
}

// A read waits by itself for the device (up to a transfer's time-out): there is no
// descriptor to wait on. A write may wait for the bus: it is left to the link's writer.
const aStreamOps kUSBOps = {usbGet, usbPut, usbWrite, usbDelete, /*pending*/ nullptr, /*waitDescriptor*/ nullptr,
                            /*promptWrites*/ false, /*connection*/ nullptr};

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  return aStream_CreateUSBAt(serialNumber, 0, 0, stream);
}

aErr aStream_CreateUSBAt(uint32_t serialNumber, uint8_t bus, uint8_t address, aStream** stream) {
  if (stream != nullptr) *stream = nullptr;
  if (stream == nullptr || serialNumber == 0) return aErrParam;
  bool kernelNode = twusb_is_kernel_driver_installed(serialNumber);

  aUSBStreamRecord* record = new (std::nothrow) aUSBStreamRecord();
  if (record == nullptr) return aErrMemory;
  record->serialNumber = serialNumber;
  record->check = aUSBSTREAM_CHECK;

  record->device = twusb_create_usb(kernelNode ? 0 : 1);
  if (record->device == nullptr) {
    delete record;
    return aErrResource;
  }
  aErr opened;
  if (kernelNode) {
    // The node is named by the serial number's canonical text.
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);
    opened = twusb_open_tallowick_kernel_device(record->device, serialText);
  } else {
    const twusb_location at{bus, address};
    opened = twusb_open_tallowick_USBlib_device_at(record->device, serialNumber, &at);
  }
  if (opened != aErrNone) {
    twusb_destroy(&record->device);
    delete record;
    return opened;
  }
  aStream* made = aStream_CreateWith(kUSBOps, record);
  if (made == nullptr) {
    twusb_close_tallowick_device(record->device);
    twusb_destroy(&record->device);
    delete record;
    return aErrMemory;
  }
  *stream = made;
  return aErrNone;
}

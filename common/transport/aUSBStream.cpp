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

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (stream != nullptr) *stream = nullptr;
  if (stream == nullptr || serialNumber == 0) return aErrParam;
  bool kernelNode = twusb_is_kernel_driver_installed(serialNumber);

  aUSBStreamRecord* record = new (std::nothrow) aUSBStreamRecord();
  if (record == nullptr) return aErrMemory;
  char serialText[16];
  std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);
  record->serialNumber = serialNumber;
  record->check = aUSBSTREAM_CHECK;

  record->device = twusb_create_usb(kernelNode ? 0 : 1);
  if (record->device == nullptr) {
    delete record;
    return aErrResource;
  }
  aErr opened = twusb_open_tallowick_device(record->device, serialText);
  if (opened != aErrNone) {
    twusb_destroy(&record->device);
    delete record;
    return opened;
  }
  aStream* made = aStream_Create(usbGet, usbPut, usbWrite, usbDelete, record);
  if (made == nullptr) {
    twusb_close_tallowick_device(record->device);
    twusb_destroy(&record->device);
    delete record;
    return aErrMemory;
  }
  *stream = made;
  return aErrNone;
}

#pragma once
// USB access layer: finds one module of the family by its serial-number text, opens
// its vendor data interface and moves link bytes with bulk transfers through the
// shared libusb context, or through the family's kernel driver node when installed.
//
// One reader thread (twusb_get_from_device) and one writer thread
// (twusb_write_to_device) may use a record at the same time; the state and the
// consecutive IO error count they share are kept under the record's own lock.
#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/aErr.h"
#include "common/unix/aUSBBus.h"

enum twusbState : uint32_t {
  kTwusbCreated = 1,
  kTwusbClosed = 2,   // closed, or failed to find its endpoints or claim its interface
  kTwusbFound = 3,    // opened, interface not yet claimed
  kTwusbReady = 4,    // interface claimed: transfers allowed
  kTwusbErrorLimit = 5,
};

#define TWUSB_SERIAL_TEXT_SIZE 256
#define TWUSB_RECEIVE_BUFFER_SIZE 1024
// Time-outs of one transfer: a read waits for the device this long, which is also
// what bounds how long a link's reader takes to notice that it must stop.
#define TWUSB_WRITE_TIMEOUT_MS 50
#define TWUSB_READ_TIMEOUT_MS 1000
#define TWUSB_MAX_FAILED_WRITES 10
#define TWUSB_TOLERATED_IO_ERRORS 4
// Used for an OUT endpoint that reports a maximum packet size of 0: the smallest
// bulk packet size every USB speed accepts.
#define TWUSB_FALLBACK_PACKET_SIZE 64

struct twusb_device {
  uint32_t useLibusb;                        // 1 through libusb, 0 through the kernel node
  char serialText[TWUSB_SERIAL_TEXT_SIZE];   // the text the device was opened by
  int fd;                                    // the open kernel node; -1 when none
  libusb_device_handle* handle;
  libusb_context* context;                   // the context use held while the handle is open
  std::atomic<uint32_t> state;
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  bool outInterrupt;                         // endpoint transfer types (bulk otherwise)
  bool inInterrupt;
  uint8_t receiveBuffer[TWUSB_RECEIVE_BUFFER_SIZE];
  int32_t available;                         // bytes of receiveBuffer not yet handed out
  uint8_t* cursor;
  uint8_t ioErrorCount;                      // consecutive, reads and writes together
  uint16_t inMaxPacketSize;
  uint16_t outMaxPacketSize;
  std::mutex toleranceLock;
};

twusb_device* twusb_create_usb(uint32_t useLibusb);
aErr twusb_destroy(twusb_device** device);

bool twusb_is_kernel_driver_installed(uint32_t serialNumber);

aErr twusb_open_tallowick_device(twusb_device* device, const char* serialText);
aErr twusb_write_to_device(twusb_device* device, const uint8_t* data, uint64_t length);
aErr twusb_get_from_device(twusb_device* device, uint8_t* byte);
aErr twusb_close_tallowick_device(twusb_device* device);

aErr twusb_open_tallowick_USBlib_device(twusb_device* device, const char* serialText);
// Opens the module with that serial number where discovery found it (at; null or bus 0:
// not known), or, when that place no longer holds it, wherever the bus has it. The
// serial text opens the same way: only its canonical "%08X" form matches a module.
aErr twusb_open_tallowick_USBlib_device_at(twusb_device* device, uint32_t serial, const twusb_location* at);
aErr twusb_open_tallowick_kernel_device(twusb_device* device, const char* serialText);
aErr twusb_write_to_USBlib_device(twusb_device* device, const uint8_t* data, uint64_t length);
aErr twusb_write_to_kernel_device(twusb_device* device, const uint8_t* data, uint64_t length);
aErr twusb_get_from_USBlib_device(twusb_device* device, uint8_t* byte);
aErr twusb_get_from_kernel_device(twusb_device* device, uint8_t* byte);
aErr twusb_close_tallowick_USBlib_device(twusb_device* device);
aErr twusb_close_tallowick_kernel_device(twusb_device* device);

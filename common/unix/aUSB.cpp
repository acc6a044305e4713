#include "common/unix/aUSB.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/aLibusb.h"
#include "common/aVendor.h"
#include "common/unix/aFile.h"
#include "common/unix/aUSBBus.h"

namespace {

bool isLibusb(const twusb_device* device) { return device->useLibusb == 1; }

// Reads and writes share one count of consecutive IO errors: the first few are
// hidden (a hiccup on the bus), after that the device is given up until reopened.
aErr handleErrorTolerance(twusb_device* device, aErr result, bool isRead) {
  std::lock_guard<std::mutex> guard(device->toleranceLock);
  if (result != aErrIO) {
    device->ioErrorCount = 0;
    return result;
  }
  if (device->ioErrorCount < UINT8_MAX) ++device->ioErrorCount;
  if (device->ioErrorCount <= TWUSB_TOLERATED_IO_ERRORS) return isRead ? aErrNotReady : aErrNone;
  device->state = kTwusbErrorLimit;
  return aErrIO;
}

aErr stateError(uint32_t state) {
  switch (state) {
    case kTwusbReady: return aErrNone;
    case kTwusbClosed: return aErrConnection;
    case kTwusbCreated:
    case kTwusbFound: return aErrNotReady;
    default: return aErrIO;
  }
}

int transfer(twusb_device* device, uint8_t endpoint, bool interrupt, uint8_t* data, int length,
             int* transferred, unsigned timeout) {
  if (interrupt) return libusb_interrupt_transfer(device->handle, endpoint, data, length, transferred, timeout);
  return libusb_bulk_transfer(device->handle, endpoint, data, length, transferred, timeout);
}

bool findEndpoints(twusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(libusb_get_device(device->handle), 0, &config) != 0) return false;
  bool haveIn = false;
  bool haveOut = false;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != kTallowickUSBInterfaceClass ||
          setting.bInterfaceSubClass != kTallowickUSBInterfaceSubClass ||
          setting.bInterfaceProtocol != kTallowickUSBInterfaceProtocol)
        continue;
      device->interfaceNumber = setting.bInterfaceNumber;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & 0x02) == 0) continue;  // control or isochronous
        bool interrupt = (endpoint.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_INTERRUPT;
        if (endpoint.bEndpointAddress & 0x80) {
          device->inEndpoint = endpoint.bEndpointAddress;
          device->inMaxPacketSize = endpoint.wMaxPacketSize;
          device->inInterrupt = interrupt;
          haveIn = true;
        } else {
          device->outEndpoint = endpoint.bEndpointAddress;
          device->outMaxPacketSize = endpoint.wMaxPacketSize;
          device->outInterrupt = interrupt;
          haveOut = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return haveIn && haveOut;
}

void copySerialText(twusb_device* device, const char* serialText) {
  std::snprintf(device->serialText, sizeof device->serialText, "%s", serialText);
}

}  // namespace

twusb_device* twusb_create_usb(uint32_t useLibusb) {
  twusb_device* device = new (std::nothrow) twusb_device();
  if (device == nullptr) return nullptr;
  device->useLibusb = useLibusb;
  device->fd = -1;
  device->state = kTwusbCreated;
  device->cursor = device->receiveBuffer;
  if (useLibusb == 1) Tallowick_libusb_context();
  return device;
}

aErr twusb_destroy(twusb_device** device) {
  if (device == nullptr || *device == nullptr) return aErrParam;
  twusb_device* record = *device;
  if (record->handle != nullptr) libusb_close(record->handle);
  Tallowick_libusb_release(record->context);
  if (record->fd >= 0) close(record->fd);
  delete record;
  *device = nullptr;
  return aErrNone;
}

bool twusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[64];
  std::snprintf(path, sizeof path, TALLOWICK_KERNEL_NODE_FORMAT, serialNumber);
  return aFile_Exists(path);
}

aErr twusb_open_tallowick_device(twusb_device* device, const char* serialText) {
  if (device == nullptr) return aErrParam;
  return isLibusb(device) ? twusb_open_tallowick_USBlib_device(device, serialText)
                          : twusb_open_tallowick_kernel_device(device, serialText);
}

aErr twusb_write_to_device(twusb_device* device, const uint8_t* data, uint64_t length) {
  if (device == nullptr) return aErrParam;
  return isLibusb(device) ? twusb_write_to_USBlib_device(device, data, length)
                          : twusb_write_to_kernel_device(device, data, length);
}

aErr twusb_get_from_device(twusb_device* device, uint8_t* byte) {
  if (device == nullptr) return aErrParam;
  return isLibusb(device) ? twusb_get_from_USBlib_device(device, byte)
                          : twusb_get_from_kernel_device(device, byte);
}

aErr twusb_close_tallowick_device(twusb_device* device) {
  if (device == nullptr) return aErrParam;
  return isLibusb(device) ? twusb_close_tallowick_USBlib_device(device)
                          : twusb_close_tallowick_kernel_device(device);
}

namespace {

struct OpenRequest {
  twusb_device* device;
  uint32_t serial;
  aErr result;
  bool decided;   // a module with the serial number was found: its outcome stands
};

// The first module whose string is the canonical form of the serial number decides the
// outcome; later ones are not tried.
bool openVisitor(twusb_seen* seen, void* reference) {
  OpenRequest* r = static_cast<OpenRequest*>(reference);
  if (seen->form != kVendorSerialCanonical || seen->serial != r->serial) return true;
  twusb_device* device = r->device;
  libusb_device_handle* handle = seen->handle;
  seen->handle = nullptr;
  r->decided = true;
  copySerialText(device, seen->text);
  device->handle = handle;
  device->state = kTwusbFound;
  if (!findEndpoints(device)) {
    device->state = kTwusbClosed;
    libusb_close(handle);
    device->handle = nullptr;
    r->result = aErrConfiguration;
    return false;
  }
  int claimed = libusb_claim_interface(handle, device->interfaceNumber);
  if (claimed == 0) {
    device->state = kTwusbReady;
    {
      std::lock_guard<std::mutex> guard(device->toleranceLock);
      device->ioErrorCount = 0;
    }
    device->available = 0;
    device->cursor = device->receiveBuffer;
    r->result = aErrNone;
  } else {
    device->state = kTwusbClosed;
    libusb_close(handle);
    device->handle = nullptr;
    if (claimed == LIBUSB_ERROR_BUSY || claimed == LIBUSB_ERROR_NO_DEVICE) r->result = aErrBusy;
    else if (claimed == LIBUSB_ERROR_ACCESS) r->result = aErrPermission;
    else r->result = aErrUnknown;
  }
  return false;
}

}  // namespace

aErr twusb_open_tallowick_USBlib_device(twusb_device* device, const char* serialText) {
  if (device == nullptr || serialText == nullptr) return aErrParam;
  if (!isLibusb(device)) return aErrMode;
  if (device->handle != nullptr) return aErrBusy;  // close the open device first
  uint32_t serial = 0;
  // Only the canonical text can equal a module's string exactly.
  if (aVendor_ParseSerialText(serialText, &serial) != kVendorSerialCanonical) return aErrNotFound;
  return twusb_open_tallowick_USBlib_device_at(device, serial, nullptr);
}

aErr twusb_open_tallowick_USBlib_device_at(twusb_device* device, uint32_t serial, const twusb_location* at) {
  if (device == nullptr) return aErrParam;
  if (!isLibusb(device)) return aErrMode;
  if (device->handle != nullptr) return aErrBusy;

  libusb_context* context = Tallowick_libusb_acquire();
  if (context == nullptr) return aErrNotFound;
  OpenRequest request{device, serial, aErrNotFound, false};
  // The place discovery named, then, when it no longer holds the module (it left and
  // came back elsewhere, or another took its address), the whole bus.
  if (at != nullptr && at->bus != 0) twusb_walk(context, at, openVisitor, &request);
  if (!request.decided) twusb_walk(context, nullptr, openVisitor, &request);
  if (request.result == aErrNone) device->context = context;
  else Tallowick_libusb_release(context);
  return request.result;
}

aErr twusb_write_to_USBlib_device(twusb_device* device, const uint8_t* data, uint64_t length) {
  if (device == nullptr) return aErrParam;
  if (!isLibusb(device)) return aErrMode;
  if (data == nullptr && length > 0) return aErrParam;
  aErr result = stateError(device->state);
  if (result != aErrNone) return handleErrorTolerance(device, result, false);

  uint64_t packetSize = device->outMaxPacketSize ? device->outMaxPacketSize : TWUSB_FALLBACK_PACKET_SIZE;
  uint64_t sent = 0;
  unsigned failures = 0;
  while (sent < length && failures < TWUSB_MAX_FAILED_WRITES) {
    uint64_t chunk = length - sent;
    if (chunk > packetSize) chunk = packetSize;
    if (chunk == 512) chunk = 511;  // keeps every chunk a short packet on a 512-byte endpoint
    int transferred = 0;
    int r = transfer(device, device->outEndpoint, device->outInterrupt, const_cast<uint8_t*>(data + sent),
                     static_cast<int>(chunk), &transferred, TWUSB_WRITE_TIMEOUT_MS);
    if (r == 0 && transferred > 0) {
      sent += static_cast<uint64_t>(transferred) < chunk ? static_cast<uint64_t>(transferred) : chunk;
      continue;
    }
    // A failed transfer, or one that moved nothing (which would otherwise never end).
    ++failures;
    if (r == LIBUSB_ERROR_PIPE && libusb_clear_halt(device->handle, device->outEndpoint) != 0) result = aErrIO;
  }
  if (sent < length) result = aErrWrite;
  return handleErrorTolerance(device, result, false);
}

aErr twusb_get_from_USBlib_device(twusb_device* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  if (!isLibusb(device)) return aErrMode;
  if (device->available > 0) {
    *byte = *device->cursor++;
    --device->available;
    return aErrNone;
  }
  aErr result = stateError(device->state);
  int received = 0;
  if (result == aErrNone) {
    int r = transfer(device, device->inEndpoint, device->inInterrupt, device->receiveBuffer,
                     TWUSB_RECEIVE_BUFFER_SIZE, &received, TWUSB_READ_TIMEOUT_MS);
    if (r == LIBUSB_ERROR_PIPE) {
      libusb_clear_halt(device->handle, device->inEndpoint);
      received = 0;
      result = aErrNotReady;
    } else if (r == LIBUSB_ERROR_TIMEOUT) {
      result = received > 0 ? aErrNone : aErrNotReady;
    } else if (r != 0) {
      received = 0;
      result = aErrIO;
    }
  }
  if (received > 0) {
    device->cursor = device->receiveBuffer;
    *byte = *device->cursor++;
    device->available = received - 1;
    result = aErrNone;
  } else if (result == aErrNone) {
    result = aErrNotReady;
  }
  return handleErrorTolerance(device, result, true);
}

aErr twusb_close_tallowick_USBlib_device(twusb_device* device) {
  if (device == nullptr) return aErrParam;
  if (!isLibusb(device) || device->handle == nullptr) return aErrMode;
  libusb_release_interface(device->handle, device->interfaceNumber);
  libusb_close(device->handle);
  device->handle = nullptr;
  Tallowick_libusb_release(device->context);
  device->context = nullptr;
  device->state = kTwusbClosed;
  device->interfaceNumber = 0;
  device->inEndpoint = 0;
  device->outEndpoint = 0;
  // Bytes left from this device must not be handed out after a reopen.
  device->available = 0;
  device->cursor = device->receiveBuffer;
  return aErrNone;
}

aErr twusb_open_tallowick_kernel_device(twusb_device* device, const char* serialText) {
  if (device == nullptr || serialText == nullptr) return aErrParam;
  if (isLibusb(device)) return aErrMode;
  if (std::strchr(serialText, '/') != nullptr) return aErrParam;  // stays inside /dev
  if (device->fd >= 0) return aErrBusy;
  copySerialText(device, serialText);
  char path[sizeof TALLOWICK_KERNEL_NODE_PREFIX + TWUSB_SERIAL_TEXT_SIZE];
  std::snprintf(path, sizeof path, "%s%s", TALLOWICK_KERNEL_NODE_PREFIX, device->serialText);
  // Non-blocking, so that every read and write waits a bounded time (poll) and a
  // link stop is never held up by a node that has nothing to say.
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  device->fd = fd;
  return aErrNone;
}

aErr twusb_write_to_kernel_device(twusb_device* device, const uint8_t* data, uint64_t length) {
  if (device == nullptr) return aErrParam;
  if (isLibusb(device) || device->fd < 0) return aErrMode;
  if (data == nullptr && length > 0) return aErrParam;
  uint64_t sent = 0;
  for (int call = 0; call < 1000 && sent < length; ++call) {
    pollfd waiter = {device->fd, POLLOUT, 0};
    int ready = poll(&waiter, 1, TWUSB_READ_TIMEOUT_MS);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (waiter.revents & (POLLERR | POLLHUP | POLLNVAL))) return aErrIO;
    ssize_t n = write(device->fd, data + sent, length - sent);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return aErrIO;
    }
    sent += static_cast<uint64_t>(n);
  }
  return sent < length ? aErrIO : aErrNone;
}

aErr twusb_get_from_kernel_device(twusb_device* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  if (isLibusb(device) || device->fd < 0) return aErrMode;
  pollfd waiter = {device->fd, POLLIN, 0};
  int ready = poll(&waiter, 1, TWUSB_READ_TIMEOUT_MS);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;
  if (ready < 0) return aErrIO;
  ssize_t n = read(device->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0) {
    // End of data on a node that has hung up stays so: reporting it as not ready
    // would have the reader spin on it.
    return (waiter.revents & POLLHUP) ? aErrIO : aErrNotReady;
  }
  if (errno == EFAULT || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr twusb_close_tallowick_kernel_device(twusb_device* device) {
  if (device == nullptr) return aErrParam;
  if (isLibusb(device)) return aErrMode;
  if (device->fd < 0) return aErrNone;
  if (close(device->fd) != 0) return aErrCancel;
  device->fd = -1;
  device->state = kTwusbClosed;
  return aErrNone;
}

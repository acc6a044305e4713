#include "common/unix/aUSBBus.h"

#include <cstring>

#include "common/aVendor.h"

namespace {

// Room for any string descriptor (255 bytes of text at most) and its terminator.
constexpr int kSerialTextSize = 256;

// The serial string of an open device, empty when it has none or it cannot be read.
void readSerialText(libusb_device_handle* handle, const libusb_device_descriptor& descriptor, char* text) {
  std::memset(text, 0, kSerialTextSize);
  if (descriptor.iSerialNumber == 0) return;
  if (libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, reinterpret_cast<unsigned char*>(text),
                                         kSerialTextSize - 1) < 0)
    text[0] = '\0';
}

}  // namespace

unsigned twusb_walk(libusb_context* context, const twusb_location* at, twusb_visitor visit, void* reference) {
  if (context == nullptr || visit == nullptr) return 0;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  unsigned visited = 0;
  bool goOn = true;
  for (ssize_t i = 0; i < count && goOn; ++i) {
    libusb_device* device = list[i];
    twusb_seen seen{};
    seen.device = device;
    seen.location.bus = libusb_get_bus_number(device);
    seen.location.address = libusb_get_device_address(device);
    // Another place is passed over before anything is asked of the device.
    if (at != nullptr && (seen.location.bus != at->bus || seen.location.address != at->address)) continue;
    if (libusb_get_device_descriptor(device, &seen.descriptor) != 0 ||
        !aVendor_IsFamilyDevice(seen.descriptor.idVendor, seen.descriptor.idProduct))
      continue;
    if (libusb_open(device, &seen.handle) != 0) continue;
    if (libusb_get_device_descriptor(device, &seen.descriptor) != 0) {
      libusb_close(seen.handle);
      continue;
    }
    char text[kSerialTextSize];
    readSerialText(seen.handle, seen.descriptor, text);
    seen.text = text;
    seen.form = aVendor_ParseSerialText(text, &seen.serial);
    ++visited;
    goOn = visit(&seen, reference);
    if (seen.handle != nullptr) libusb_close(seen.handle);
  }
  if (count >= 0) libusb_free_device_list(list, 1);
  return visited;
}

// USB links: the generic creation step over the USB stream, with the synchronisation
// handshake that finds the packet boundaries before the link is handed out.
#include "common/aLink.h"
#include "common/internal/aLinkInternal.h"
#include "common/transport/aUSBStream.h"

namespace {

struct Place {
  uint8_t bus;
  uint8_t address;
};

// At creation the device is opened where discovery found it; at a reset it is found
// again by its serial number.
aErr makeUSBStream(const aLinkManagedEntry& entry, void* context, aStream** stream) {
  const Place* at = static_cast<const Place*>(context);
  return aStream_CreateUSBAt(entry.ident0, at != nullptr ? at->bus : 0, at != nullptr ? at->address : 0, stream);
}

aErr remakeUSBStream(const aLinkManagedEntry& entry, aStream** stream) {
  return aStream_CreateUSB(entry.ident0, stream);
}

const aLinkTransport kUSBTransport = {makeUSBStream, remakeUSBStream};

}  // namespace

aLinkRef aLink_CreateUSB(uint32_t serial) { return aLink_CreateUSBAt(serial, 0, 0); }

aLinkRef aLink_CreateUSBAt(uint32_t serial, uint8_t bus, uint8_t address) {
  if (serial == 0) return 0;
  Place at{bus, address};
  aLinkDeviceRequest request{};
  request.type = aLINK_TYPE_USB;
  request.ident0 = serial;
  request.refuseServed = true;
  request.synchronise = true;
  request.transport = &kUSBTransport;
  request.context = &at;
  return aLink_CreateForDevice(request);
}

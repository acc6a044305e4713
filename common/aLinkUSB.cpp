// USB links: the generic creation step over the USB stream, with the synchronisation
// handshake that finds the packet boundaries before the link is handed out.
#include "common/aLink.h"
#include "common/internal/aLinkInternal.h"
#include "common/transport/aUSBStream.h"

namespace {

// At creation and at a reset alike the device is found again by its serial number.
aErr makeUSBStream(const aLinkManagedEntry& entry, void*, aStream** stream) {
  return aStream_CreateUSB(entry.ident0, stream);
}

}  // namespace

aLinkRef aLink_CreateUSB(uint32_t serial) {
  if (serial == 0) return 0;
  aLinkDeviceRequest request{};
  request.type = aLINK_TYPE_USB;
  request.ident0 = serial;
  request.refuseServed = true;
  request.synchronise = true;
  request.makeStream = makeUSBStream;
  return aLink_CreateForDevice(request);
}

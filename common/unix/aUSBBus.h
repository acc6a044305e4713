#pragma once
// The one walk of the USB bus for modules of the family, shared by discovery and by the
// access layer's open. Both read a module's serial string the same way and judge it by
// the one rule of common/aVendor.h.
//
// Discovery walks the bus, opening each module to read its serial string, and reports
// where it found each one (bus number and address). The open step goes straight to that
// place and only looks for the serial number on the whole bus when the module is no
// longer there, so a connect opens the other modules once, not twice, and the serial
// number is compared as a number, never turned back into text.
#include <libusb.h>

#include <cstdint>

#include "common/aVendor.h"

// Where a device sits while it stays attached: its bus and the address the bus gave it.
// A device that leaves and comes back gets a new address. Bus 0: not known.
struct twusb_location {
  uint8_t bus;
  uint8_t address;
};

// A module of the family as the walk shows it to its visitor.
struct twusb_seen {
  libusb_device* device;                // lent for the visit
  libusb_device_handle* handle;         // open for the visit; a visitor that keeps it sets it null
  libusb_device_descriptor descriptor;
  twusb_location location;
  const char* text;                     // its serial string, as read (empty when none)
  aVendorSerialForm form;               // what the string says (aVendor.h)
  uint32_t serial;                      // unless form is kVendorNoSerial
};

// Returns true to go on with the next module, false to end the walk.
typedef bool (*twusb_visitor)(twusb_seen* seen, void* reference);

// Visits, in the bus's list order, every device of the context that shows the family's
// vendor id and a product id below 0x8000, opened and with its serial string read (a
// device that cannot be opened or described is passed over). With a location, only the
// device at that place is looked at. Returns the number of modules visited.
unsigned twusb_walk(libusb_context* context, const twusb_location* at, twusb_visitor visit, void* reference);

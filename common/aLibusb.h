#pragma once
// The process-wide libusb context shared by USB enumeration and the USB access layer.
//
// Tallowick_libusb_exit() refreshes the context: the next Tallowick_libusb_context()
// makes a new one, which sees the bus afresh (a device that left and came back).
// A context that still has users (an open device handle, an enumeration in progress)
// is not torn down under them: it is retired and released when its last user lets go.
#include <libusb.h>

libusb_context* Tallowick_libusb_context();
libusb_context* Tallowick_libusb_init();
int Tallowick_libusb_exit();

// Takes a use of the current context (creating it when needed); null when libusb
// cannot be initialised. Every successful acquire is paired with one release.
libusb_context* Tallowick_libusb_acquire();
void Tallowick_libusb_release(libusb_context* context);

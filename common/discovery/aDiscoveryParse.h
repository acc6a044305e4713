#pragma once
// What discovery reads from devices it does not know yet: the serial-number string of a
// USB device and the datagram that answers a TCP/IP discovery request. Both come from
// outside and are checked here, apart from the sockets and libusb that deliver them.
#include <cstddef>
#include <cstdint>

#include "common/aLinkSpecifier.h"

// Exactly eight hexadecimal digits (either case), nothing before or after: a string that
// only starts like a serial number must not be reported under a number parsed from part
// of it. False leaves *serial alone. The rule itself is the USB walk's
// (aVendor_ParseSerialText, common/aVendor.h).
bool aDiscovery_ParseSerialText(const char* text, uint32_t* serial);

// A TCP/IP discovery reply of `length` bytes received from fromAddress (IPv4, network
// byte order) as a TCP/IP linkSpec: serial number (bytes 4-7, little-endian), module and
// router address (byte 1), the serial number as router serial number, model (byte 12,
// 255 for a reply of 12 bytes or fewer), the sender's address and the port (bytes 2-3,
// little-endian). Bytes beyond the reply's 16 are not read. False, with *spec untouched,
// for a reply too short to carry a serial number.
bool aDiscovery_ParseReply(const uint8_t* reply, size_t length, uint32_t fromAddress, linkSpec* spec);

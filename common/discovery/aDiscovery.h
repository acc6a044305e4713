#pragma once
// Device discovery: enumeration of the family's modules on USB and on TCP/IP, reported
// one linkSpec at a time through a callback, and look-up of one module by serial number.
#include <cstdint>

#include "common/aLinkSpecifier.h"

// Called once per device enumerated. The spec is lent for the call only (copy its 128
// bytes to keep it). *found is false on entry; set it to count the device. Return false
// to end the enumeration at once.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* found, void* reference);

// TCP/IP discovery: a 16-byte request to this group and port, replies of up to 16
// bytes to the requesting host's reply port.
#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_MESSAGE_SIZE 16
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000
// Longest time replies are listened for, however often datagrams keep arriving: a
// sender that never pauses for the quiet time must not hold an enumeration for ever.
#define aDISCOVERY_LISTEN_LIMIT_MS 10000
// A reply shorter than this carries no serial number and is passed over.
#define aDISCOVERY_MIN_REPLY_SIZE 8

// Returns how many devices the callback marked found (modulo 256). interfaceAddress is
// IPv4 in network byte order; 0 or 127.0.0.1 means every interface for TCP/IP and this
// machine for link servers (kinds 4 to 7, aDiscoveryQuivel.h). Other kinds find nothing.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                    uint32_t interfaceAddress);
// A new spec (the caller destroys it) of the first device with that serial number, or
// null. Over TCP/IP it returns as soon as that device answers.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress);
// The same for the first device whose serial number is not 0.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress);

// The interface rule every discovery and the link server share: 0 and 127.0.0.1 name
// no interface of their own. TCP/IP discovery then asks on every interface, link-server
// discovery asks this machine (loopback multicast), and a link server that is not local
// only serves on the first interface listed.
bool aDiscovery_IsEveryInterface(uint32_t interfaceAddress);
// 127.0.0.1 in network byte order.
uint32_t aDiscovery_Loopback();
// A dotted-decimal IPv4 text (a multicast group, an interface CZMQ names) in network
// byte order; 0 when the text is none.
uint32_t aDiscovery_ParseIPv4(const char* text);

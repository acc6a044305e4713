#pragma once
// Discovery of link servers (link kinds 4 to 7), and the interface helpers that the
// discovery and the link server share.
//
// Two protocols, chosen by the interface asked for: on a real interface of the host a
// UDP beacon through CZMQ's beacon actor reaches link servers on other machines of that
// network; on 127.0.0.1 (or 0) loopback multicast reaches link servers of this machine.
// Every link server answers with the 128 bytes of its own linkSpec.
#include <cstdint>

#include "common/discovery/aDiscovery.h"
#include "common/aLinkSpecifier.h"

// The beacon text a client publishes (20 bytes on the wire, no terminator).
#define DISCOVERY_BEACON_FILTER "Tallowick2-Discovery"
#define aDISCOVERY_BEACON_FILTER_SIZE 20
#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_INTERVAL_MS 100
// How long a beacon discovery listens, whatever arrives meanwhile.
#define aDISCOVERY_BEACON_LISTEN_MS 2200

#define aDISCOVERY_MULTICAST_GROUP "224.0.0.7"
#define aDISCOVERY_MULTICAST_REQUEST_PORT 9850   // + offset: a link server listens here
#define aDISCOVERY_MULTICAST_REPLY_PORT 9950     // + offset: it answers here
#define aDISCOVERY_MULTICAST_OFFSETS 50
// The request: this word as 4 bytes in host order (both ends are on one machine).
#define aDISCOVERY_MULTICAST_REQUEST 0xABCDDCBAu

#define aDISCOVERY_MAX_INTERFACES 50

// Reports every link server found, whatever its kind, through callback (the linkSpec is
// lent for the call); returns how many the callback marked found, modulo 256.
// interfaceAddress: IPv4 in network byte order; 0 or 127.0.0.1 asks this machine by
// loopback multicast, an address of one of the host's interfaces by beacon on it. Any
// other address finds nothing and returns at once.
uint8_t aDiscovery_Enumerate_QuivelModules(aDiscoveryCallback callback, void* reference,
                                           uint32_t interfaceAddress);

// The host's interfaces that are up, broadcast-capable, neither loopback nor
// point-to-point, in CZMQ's order: up to maximum IPv4 addresses (network byte order)
// stored into addresses. Returns how many; 0 for a null array.
int32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, int32_t maximum);
// Dotted-decimal text of an IPv4 address (network byte order) into buffer, which is
// zeroed first. Returns the text's length; 0 when length is below 16 (nothing written).
uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t length);

// The test every discovery reply passes before it is reported: a link-server kind
// (5 to 7) with a port in 1..65535. fallbackAddress replaces an address of 0 (a server
// whose beacon could not name its interface: the beacon's sender); with requiredAddress
// non-zero the reply must carry exactly that address. True with *spec filled.
bool aDiscovery_AcceptServerReply(const uint8_t reply[aLINKSPEC_SIZE], uint32_t fallbackAddress,
                                  uint32_t requiredAddress, linkSpec* spec);

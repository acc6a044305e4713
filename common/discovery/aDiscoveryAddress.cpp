// The address rules the discoveries and the link server share (aDiscovery.h).
#include <arpa/inet.h>
#include <netinet/in.h>

#include "common/discovery/aDiscovery.h"

uint32_t aDiscovery_Loopback() { return htonl(INADDR_LOOPBACK); }

bool aDiscovery_IsEveryInterface(uint32_t interfaceAddress) {
  return interfaceAddress == 0 || interfaceAddress == aDiscovery_Loopback();
}

uint32_t aDiscovery_ParseIPv4(const char* text) {
  in_addr a{};
  return text != nullptr && inet_pton(AF_INET, text, &a) == 1 ? a.s_addr : 0;
}

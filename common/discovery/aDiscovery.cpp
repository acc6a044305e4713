#include "common/discovery/aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/discovery/aDiscoveryParse.h"
#include "common/discovery/aDiscoveryQuivel.h"
#include "common/aLibusb.h"
#include "common/aVendor.h"
#include "common/unix/aTime.h"
#include "common/unix/aUSBBus.h"

namespace {

struct FindRequest {
  linkSpec* spec;
};

bool cbSNCallback(const linkSpec* spec, bool* found, void* reference) {
  FindRequest* request = static_cast<FindRequest*>(reference);
  if (spec->serialNumber != request->spec->serialNumber) return true;
  std::memcpy(request->spec, spec, sizeof *spec);
  *found = true;
  return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* found, void* reference) {
  FindRequest* request = static_cast<FindRequest*>(reference);
  if (spec->serialNumber == 0) return true;
  std::memcpy(request->spec, spec, sizeof *spec);
  *found = true;
  return false;
}

struct UsbEnumeration {
  aDiscoveryCallback callback;
  void* reference;
  uint8_t counted;
};

bool reportUSB(twusb_seen* seen, void* reference) {
  UsbEnumeration* e = static_cast<UsbEnumeration*>(reference);
  // Closed before the callback runs, which may open the device itself.
  libusb_close(seen->handle);
  seen->handle = nullptr;
  if (seen->form == kVendorNoSerial) return true;
  linkSpec* spec = aLinkSpec_Create(kLinkTypeUSB);
  if (spec == nullptr) return true;
  spec->serialNumber = seen->serial;
  spec->model = aVendor_ModelFromProductId(seen->descriptor.idProduct);
  spec->t.usb.serialNumber = seen->serial;
  spec->t.usb.bus = seen->location.bus;
  spec->t.usb.address = seen->location.address;
  bool found = false;
  const bool goOn = e->callback(spec, &found, e->reference);
  if (found) ++e->counted;
  aLinkSpec_Destroy(&spec);
  return goOn;
}

uint8_t enumerateUSB(aDiscoveryCallback callback, void* reference) {
  libusb_context* context = Tallowick_libusb_acquire();
  if (context == nullptr) return 0;
  UsbEnumeration e{callback, reference, 0};
  twusb_walk(context, nullptr, reportUSB, &e);
  Tallowick_libusb_release(context);
  return e.counted;
}

bool sendRequest(uint32_t interfaceAddress, bool chooseInterface) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return false;
  int on = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
  if (ok && chooseInterface) {
    in_addr through;
    through.s_addr = interfaceAddress;
    ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through) == 0;
  }
  if (ok) {
    uint8_t request[aDISCOVERY_MESSAGE_SIZE] = {0x01};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    group.sin_addr.s_addr = aDiscovery_ParseIPv4(aDISCOVERY_GROUP);
    ok = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
         static_cast<ssize_t>(sizeof request);
  }
  close(fd);
  return ok;
}

int openReplySocket(uint32_t interfaceAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(aDISCOVERY_REPLY_PORT);
  local.sin_addr.s_addr = interfaceAddress;  // 0: any address
  timeval wait{aDISCOVERY_REPLY_TIMEOUT_MS / 1000, (aDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint8_t enumerateTCPIP(aDiscoveryCallback callback, void* reference, uint32_t interfaceAddress) {
  bool oneInterface = !aDiscovery_IsEveryInterface(interfaceAddress);

  int replies = openReplySocket(oneInterface ? interfaceAddress : 0);
  unsigned sent = 0;
  if (oneInterface) {
    sent += sendRequest(interfaceAddress, true);
  } else {
    ifaddrs* addresses = nullptr;
    if (getifaddrs(&addresses) != 0) {
      sent += sendRequest(0, false);
    } else {
      for (ifaddrs* entry = addresses; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if (aDiscovery_IsEveryInterface(address)) continue;   // no interface of its own
        sent += sendRequest(address, true);
      }
      freeifaddrs(addresses);
    }
  }

  uint8_t counted = 0;
  if (replies >= 0 && sent > 0) {
    const aTime limit = aTime_GetMonotonicMSTicks() + aDISCOVERY_LISTEN_LIMIT_MS;
    for (;;) {
      uint8_t reply[aDISCOVERY_MESSAGE_SIZE];
      const aTime now = aTime_GetMonotonicMSTicks();
      if (now >= limit) break;
      const aTime left = limit - now;
      const int wait = static_cast<int>(left < aDISCOVERY_REPLY_TIMEOUT_MS ? left : aDISCOVERY_REPLY_TIMEOUT_MS);
      pollfd waiter{replies, POLLIN, 0};
      const int ready = poll(&waiter, 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;  // the 2-second quiet time, or a failure
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t n = recvfrom(replies, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n < 0) break;
      linkSpec* spec = aLinkSpec_Create(kLinkTypeTCPIP);
      if (spec == nullptr) continue;
      if (!aDiscovery_ParseReply(reply, static_cast<size_t>(n), from.sin_addr.s_addr, spec)) {
        aLinkSpec_Destroy(&spec);
        continue;
      }
      bool found = false;
      bool goOn = callback(spec, &found, reference);
      if (found) ++counted;
      aLinkSpec_Destroy(&spec);
      if (!goOn) break;
    }
  }
  if (replies >= 0) close(replies);
  return counted;
}

linkSpec* findWith(linkType type, uint32_t serialNumber, uint32_t interfaceAddress, aDiscoveryCallback callback) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (spec == nullptr) return nullptr;
  spec->serialNumber = serialNumber;
  FindRequest request{spec};
  if (aDiscovery_EnumerateModules(type, callback, &request, interfaceAddress) == 0) aLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                    uint32_t interfaceAddress) {
  if (callback == nullptr) return 0;
  switch (type) {
    case kLinkTypeUSB: return enumerateUSB(callback, reference);
    case kLinkTypeTCPIP: return enumerateTCPIP(callback, reference, interfaceAddress);
    // Every link server found is reported whichever of its kinds was asked for; the
    // callback chooses.
    case kLinkTypeQuivel:
    case kLinkTypeQuivelUSB:
    case kLinkTypeQuivelTCPIP:
    case kLinkTypeQuivelSerial: return aDiscovery_Enumerate_QuivelModules(callback, reference, interfaceAddress);
    default: return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress) {
  return findWith(type, serialNumber, interfaceAddress, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress) {
  return findWith(type, 0, interfaceAddress, cbFirstCallback);
}

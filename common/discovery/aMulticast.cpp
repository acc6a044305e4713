#include "common/discovery/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "common/unix/aTime.h"

struct aMulticast {
  int socket = -1;
  addrinfo* group = nullptr;      // destination of every send; its family, type, protocol
  addrinfo* bindAddress = nullptr;
  addrinfo* interfaceAddress = nullptr;
  uint8_t isSender = 0;
};

namespace {

enum class Role { sender, exclusiveReceiver, sharedReceiver };

void sRelease(aMulticast* m) {
  if (m == nullptr) return;
  if (m->group != nullptr) freeaddrinfo(m->group);
  if (m->bindAddress != nullptr) freeaddrinfo(m->bindAddress);
  if (m->interfaceAddress != nullptr) freeaddrinfo(m->interfaceAddress);
  if (m->socket >= 0) close(m->socket);
  delete m;
}

bool sResolve(const char* host, const char* service, const addrinfo* like, addrinfo** out) {
  addrinfo hints{};
  hints.ai_family = like != nullptr ? like->ai_family : AF_UNSPEC;
  hints.ai_socktype = like != nullptr ? like->ai_socktype : SOCK_DGRAM;
  hints.ai_protocol = like != nullptr ? like->ai_protocol : IPPROTO_UDP;
  return getaddrinfo(host, service, &hints, out) == 0 && *out != nullptr;
}

in_addr sIPv4(const addrinfo* entry) { return reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr; }

aMulticast* sCreate(uint32_t interfaceAddress, uint32_t group, uint16_t port, Role role) {
  aMulticast* m = new (std::nothrow) aMulticast();
  if (m == nullptr) return nullptr;
  m->isSender = role == Role::sender ? 1 : 0;
  if (interfaceAddress == 0) interfaceAddress = htonl(INADDR_LOOPBACK);

  char groupText[INET_ADDRSTRLEN], interfaceText[INET_ADDRSTRLEN], portText[8];
  in_addr a{};
  a.s_addr = group;
  inet_ntop(AF_INET, &a, groupText, sizeof groupText);
  a.s_addr = interfaceAddress;
  inet_ntop(AF_INET, &a, interfaceText, sizeof interfaceText);
  std::snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

  bool ok = sResolve(groupText, portText, nullptr, &m->group) && m->group->ai_family == AF_INET;
  // A receiver binds to the group itself: bound to the wildcard it would also take
  // unicast datagrams that any host sends to its port. A sender is never bound.
  if (ok) ok = role == Role::sender ? sResolve(interfaceText, "0", m->group, &m->bindAddress)
                                    : sResolve(groupText, portText, m->group, &m->bindAddress);
  if (ok) ok = sResolve(interfaceText, "0", m->group, &m->interfaceAddress);
  if (ok) {
    m->socket = socket(m->group->ai_family, m->group->ai_socktype | SOCK_CLOEXEC, m->group->ai_protocol);
    ok = m->socket >= 0;
  }
  if (ok) {
    const int reuse = role == Role::sharedReceiver ? 1 : 0;
    ok = setsockopt(m->socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0;
  }
  if (ok && role != Role::sender) ok = bind(m->socket, m->bindAddress->ai_addr, m->bindAddress->ai_addrlen) == 0;
  if (ok) {
    ip_mreq membership{};
    membership.imr_multiaddr = sIPv4(m->group);
    membership.imr_interface = sIPv4(m->interfaceAddress);
    ok = setsockopt(m->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  }
  if (ok) {
    const in_addr through = sIPv4(m->interfaceAddress);
    ok = setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through) == 0;
  }
  if (ok) {
    const int ttl = 1, loop = 1, onlyJoined = 0;
    const timeval wait{aMULTICAST_RECEIVE_TIMEOUT_MS / 1000, 0};
    ok = setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
         setsockopt(m->socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
         setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0 &&
         // Only the groups this socket joined, on the interface it joined them on: the
         // membership of another socket of the host on another interface lets nothing in.
         setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_ALL, &onlyJoined, sizeof onlyJoined) == 0;
  }
  if (!ok) {
    sRelease(m);
    return nullptr;
  }
  return m;
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port, uint8_t isSender) {
  return sCreate(interfaceAddress, group, port, isSender ? Role::sender : Role::exclusiveReceiver);
}

aMulticast* aMulticast_CreateSharedReceiver(uint32_t interfaceAddress, uint32_t group, uint16_t port) {
  return sCreate(interfaceAddress, group, port, Role::sharedReceiver);
}

int64_t aMulticast_Send(aMulticast* m, const void* data, uint32_t length) {
  if (m == nullptr) return -2;
  if (!m->isSender) return -3;
  const ssize_t sent = sendto(m->socket, data, length, 0, m->group->ai_addr, m->group->ai_addrlen);
  return sent < 0 ? -1 : static_cast<int64_t>(sent);
}

int64_t aMulticast_Receive(aMulticast* m, void* buffer, int32_t size) {
  if (m == nullptr) return -2;
  if (m->isSender) return -3;
  if (buffer == nullptr || size < 0) return -1;
  // The wait is measured here rather than left to the socket's time-out, so that a
  // signal does not start the second again.
  const aTime deadline = aTime_GetMonotonicMSTicks() + aMULTICAST_RECEIVE_TIMEOUT_MS;
  for (;;) {
    const aTime now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return -1;
    pollfd waiter{m->socket, POLLIN, 0};
    const int ready = poll(&waiter, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    // MSG_TRUNC reports the datagram's real length: one longer than the buffer is
    // refused instead of being handed on cut to size.
    const ssize_t n = recvfrom(m->socket, buffer, static_cast<size_t>(size), MSG_WAITALL | MSG_TRUNC | MSG_DONTWAIT,
                               nullptr, nullptr);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n < 0 || n > size) return -1;
    return static_cast<int64_t>(n);
  }
}

int aMulticast_Descriptor(const aMulticast* m) { return m != nullptr ? m->socket : -1; }

int32_t aMulticast_Destroy(aMulticast** m) {
  if (m == nullptr || *m == nullptr) return -2;
  sRelease(*m);
  *m = nullptr;
  return 0;
}

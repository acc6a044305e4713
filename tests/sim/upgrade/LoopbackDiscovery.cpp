#include "tests/sim/upgrade/LoopbackDiscovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devsim {
namespace upgrade {

namespace {
constexpr const char* kGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
}  // namespace

LoopbackDiscovery::LoopbackDiscovery(const std::vector<uint32_t>& interfaceAddresses,
                                     const DiscoveredModule& module)
    : module_(module) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kRequestPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  bool good = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && !interfaceAddresses.empty();
  for (uint32_t interfaceAddress : interfaceAddresses) {
    ip_mreq membership{};
    inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = interfaceAddress;
    good = good && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  }
  // Replies leave from 127.0.0.1: the host takes the sender's address as the module's.
  int reply = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in loop{};
  loop.sin_family = AF_INET;
  loop.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  good = good && reply >= 0 && bind(reply, reinterpret_cast<sockaddr*>(&loop), sizeof loop) == 0 && pipe(wake_) == 0;
  if (!good) {
    close(fd);
    if (reply >= 0) close(reply);
    return;
  }
  listenFd_ = fd;
  replyFd_ = reply;
  thread_ = std::thread([this] { run(); });
}

LoopbackDiscovery::~LoopbackDiscovery() {
  if (thread_.joinable()) {
    const char stop = 1;
    if (write(wake_[1], &stop, 1) != 1) {
      // The thread still ends at its next poll round.
    }
    thread_.join();
  }
  if (listenFd_ >= 0) close(listenFd_);
  if (replyFd_ >= 0) close(replyFd_);
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

void LoopbackDiscovery::run() {
  for (;;) {
    pollfd waiters[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(waiters, 2, 1000) < 0) continue;
    if (waiters[1].revents != 0) return;
    if ((waiters[0].revents & POLLIN) == 0) continue;
    uint8_t request[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(listenFd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    // A request: 0x01 and fifteen zero bytes.
    bool valid = n == 16 && request[0] == 0x01;
    for (ssize_t i = 1; valid && i < n; i++) valid = request[i] == 0;
    if (!valid) continue;
    requests_++;
    uint8_t reply[16] = {};
    reply[1] = module_.address;
    reply[2] = static_cast<uint8_t>(module_.tcpPort & 0xFF);
    reply[3] = static_cast<uint8_t>(module_.tcpPort >> 8);
    for (int i = 0; i < 4; i++) reply[4 + i] = static_cast<uint8_t>(module_.serial >> (8 * i));
    reply[12] = module_.model;
    sockaddr_in to = from;
    to.sin_port = htons(kReplyPort);
    sendto(replyFd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}

}  // namespace upgrade
}  // namespace devsim

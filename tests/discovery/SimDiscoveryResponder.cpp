#include "tests/discovery/SimDiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devsim {

namespace {
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kGroup = "232.2.2.2";
}  // namespace

std::vector<uint8_t> discoveryReply(const DiscoveryIdentity& identity) {
  std::vector<uint8_t> reply(16, 0);
  reply[1] = identity.address;
  reply[2] = static_cast<uint8_t>(identity.tcpPort & 0xFF);
  reply[3] = static_cast<uint8_t>(identity.tcpPort >> 8);
  for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<uint8_t>(identity.serial >> (8 * i));
  reply[12] = identity.model;
  return reply;
}

DiscoveryResponder::DiscoveryResponder(const std::vector<uint32_t>& interfaceAddresses,
                                       const DiscoveryIdentity& identity, uint32_t replySource) {
  replies_.push_back(discoveryReply(identity));
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kRequestPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  bool joined = fd >= 0 && !interfaceAddresses.empty();
  for (uint32_t interfaceAddress : interfaceAddresses) {
    ip_mreq membership{};
    inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = interfaceAddress;
    joined = joined && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  }
  if (!joined || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || pipe(wake_) != 0) {
    if (fd >= 0) close(fd);
    return;
  }
  replyFd_ = fd;
  if (replySource != 0) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = replySource;
    replyFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (replyFd_ < 0 || bind(replyFd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      if (replyFd_ >= 0) close(replyFd_);
      replyFd_ = -1;
      close(fd);
      return;
    }
  }
  fd_ = fd;
  thread_ = std::thread([this] { run(); });
}

DiscoveryResponder::~DiscoveryResponder() {
  if (thread_.joinable()) {
    char stop = 1;
    if (write(wake_[1], &stop, 1) != 1) {
    }
    thread_.join();
  }
  if (replyFd_ >= 0 && replyFd_ != fd_) close(replyFd_);
  if (fd_ >= 0) close(fd_);
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

void DiscoveryResponder::setReplies(std::vector<std::vector<uint8_t>> replies) {
  std::lock_guard<std::mutex> guard(mutex_);
  replies_ = std::move(replies);
}

std::vector<uint32_t> DiscoveryResponder::requesters() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requesters_;
}

void DiscoveryResponder::run() {
  for (;;) {
    pollfd waiters[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(waiters, 2, 1000) < 0) continue;
    if (waiters[1].revents) return;
    if (!(waiters[0].revents & POLLIN)) continue;
    uint8_t request[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) continue;
    // A request is 16 bytes: 0x01, then 15 zero bytes.
    bool valid = n == 16 && request[0] == 0x01;
    for (ssize_t i = 1; valid && i < n; ++i) valid = request[i] == 0;
    if (!valid) {
      ++badRequests_;
      continue;
    }
    std::vector<std::vector<uint8_t>> replies;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      requesters_.push_back(from.sin_addr.s_addr);
      replies = replies_;
    }
    ++requests_;
    sockaddr_in to = from;
    to.sin_port = htons(kReplyPort);
    for (const auto& reply : replies)
      sendto(replyFd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}

}  // namespace devsim

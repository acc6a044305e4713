#pragma once
// The simulated module's answer to TCP/IP discovery: it joins the discovery group on
// one interface, checks each request with its own parser, and answers the sender's
// reply port with the 16-byte reply a module of the family sends (or whatever replies
// a test scripts). Its thread waits in poll(), bounded, and stops with the object.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace devsim {

struct DiscoveryIdentity {
  uint32_t serial = 0x1234ABCD;
  uint8_t address = 0x04;
  uint8_t model = 0x13;
  uint16_t tcpPort = 10000;
};

// The reply of a module with that identity, built byte by byte as the wire gives it.
std::vector<uint8_t> discoveryReply(const DiscoveryIdentity& identity);

class DiscoveryResponder {
 public:
  // interfaceAddresses: IPv4 in network byte order, the interfaces on which the module
  // holds the group membership (where it hears requests). replySource, when not 0, is
  // the address the replies leave from, and so the address discovery reports: 127.0.0.1
  // makes it name a loopback TCP listener.
  DiscoveryResponder(const std::vector<uint32_t>& interfaceAddresses, const DiscoveryIdentity& identity,
                     uint32_t replySource = 0);
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  bool ok() const { return fd_ >= 0; }
  // Replaces the answer to each request by these datagrams, sent in order.
  void setReplies(std::vector<std::vector<uint8_t>> replies);
  unsigned requests() const { return requests_; }
  unsigned badRequests() const { return badRequests_; }
  // Source addresses (network byte order) of the requests seen.
  std::vector<uint32_t> requesters() const;

 private:
  void run();

  int fd_ = -1;
  int replyFd_ = -1;   // the socket replies leave from (fd_ when no source is given)
  int wake_[2] = {-1, -1};
  std::atomic<unsigned> requests_{0};
  std::atomic<unsigned> badRequests_{0};
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> replies_;
  std::vector<uint32_t> requesters_;
  std::thread thread_;
};

}  // namespace devsim

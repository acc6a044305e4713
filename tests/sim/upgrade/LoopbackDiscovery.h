#pragma once
// Answers TCP/IP discovery for a simulated module that listens on 127.0.0.1 only: it
// hears requests on the interfaces given (a private namespace's veth addresses) and
// answers from 127.0.0.1, so the host connects to the module over loopback.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace devsim {
namespace upgrade {

struct DiscoveredModule {
  uint32_t serial = 0;
  uint8_t address = 0;
  uint8_t model = 0;
  uint16_t tcpPort = 0;
};

class LoopbackDiscovery {
 public:
  LoopbackDiscovery(const std::vector<uint32_t>& interfaceAddresses, const DiscoveredModule& module);
  ~LoopbackDiscovery();
  LoopbackDiscovery(const LoopbackDiscovery&) = delete;
  LoopbackDiscovery& operator=(const LoopbackDiscovery&) = delete;

  bool ok() const { return listenFd_ >= 0 && replyFd_ >= 0; }
  unsigned requests() const { return requests_; }

 private:
  void run();

  DiscoveredModule module_;
  int listenFd_ = -1;
  int replyFd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<unsigned> requests_{0};
  std::thread thread_;
};

}  // namespace upgrade
}  // namespace devsim

#pragma once
// The simulated module behind the family's kernel driver node: raw link bytes on the
// emulator's side of the node (a pty master), as the driver would pass them.
#include <atomic>
#include <thread>

#include "tests/sim/SimDevice.h"

namespace usbemu {

class SimNodeFrontEnd {
 public:
  SimNodeFrontEnd(devsim::Device& module, int nodeFd);
  ~SimNodeFrontEnd();
  SimNodeFrontEnd(const SimNodeFrontEnd&) = delete;
  SimNodeFrontEnd& operator=(const SimNodeFrontEnd&) = delete;

 private:
  void run();

  devsim::Device& module_;
  int node_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace usbemu

#pragma once
// "Another machine" for tests that need one on the network (beacons between hosts): a
// second network namespace, held by a program beside the test, that receives one end of the veth
// pair made by NETTEST_ENTER_PRIVATE_NETWORK(true). Afterwards twd0 (192.0.2.1) stays in
// the test's namespace and twd1 (192.0.2.2) sits over there, both with the broadcast
// address 192.0.2.255. Documentation-range addresses only, inside namespaces the test
// made.
#include <sys/types.h>

#include <memory>
#include <string>

#include "tests/support/BackgroundProcess.h"

namespace nettest {

constexpr const char* kHereAddress = "192.0.2.1";
constexpr const char* kThereAddress = "192.0.2.2";
constexpr const char* kBroadcastAddress = "192.0.2.255";

class OtherMachine {
 public:
  OtherMachine() = default;
  ~OtherMachine();   // the namespace ends with its holder
  OtherMachine(const OtherMachine&) = delete;
  OtherMachine& operator=(const OtherMachine&) = delete;

  // Empty on success, else why not.
  std::string start();
  // The holder's pid: run programs there with testsupport::BackgroundProcess(…, pid()).
  pid_t pid() const { return holder_ ? holder_->pid() : -1; }

 private:
  std::unique_ptr<testsupport::BackgroundProcess> holder_;
};

}  // namespace nettest

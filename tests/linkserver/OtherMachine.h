#pragma once
// "Another machine" for the beacon tests: a second network namespace, held by a child
// process, that receives one end of the test namespace's veth pair. The test process
// first enters a private namespace with the pair (nettest::enterPrivateNetwork(true));
// afterwards twd0 (192.0.2.1) stays here and twd1 (192.0.2.2) is over there, both with
// the broadcast address 192.0.2.255. Documentation-range addresses only.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/discovery/PrivateNetwork.h"

namespace lstest {

constexpr const char* kHereAddress = "192.0.2.1";
constexpr const char* kThereAddress = "192.0.2.2";
constexpr const char* kBroadcast = "192.0.2.255";

class OtherMachine {
 public:
  OtherMachine() = default;
  ~OtherMachine() {
    if (pid_ > 0) {
      close(hold_);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  OtherMachine(const OtherMachine&) = delete;
  OtherMachine& operator=(const OtherMachine&) = delete;

  // Empty on success, else why not.
  std::string start() {
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return "no pipes";
    pid_ = fork();
    if (pid_ < 0) return "cannot fork";
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      const char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      char end;
      while (read(hold[0], &end, 1) < 0) {
      }
      _exit(0);   // the namespace ends with its last process
    }
    close(ready[1]);
    close(hold[0]);
    hold_ = hold[1];
    char ok = 'n';
    const bool answered = read(ready[0], &ok, 1) == 1;
    close(ready[0]);
    if (!answered || ok != 'y') return "cannot make a second network namespace";
    const std::string there = "nsenter --net=/proc/" + std::to_string(pid_) + "/ns/net ";
    if (!nettest::shell("ip addr flush dev twd0 && ip addr add 192.0.2.1/24 brd + dev twd0 && ip link set twd0 up"))
      return "cannot set up twd0";
    if (!nettest::shell("ip link set twd1 netns " + std::to_string(pid_))) return "cannot move twd1";
    if (!nettest::shell(there + "sh -c 'ip link set lo up && ip addr add 192.0.2.2/24 brd + dev twd1 && ip link set twd1 up'"))
      return "cannot set up twd1 over there";
    // Wait (bounded) until the link is up on both sides.
    for (int i = 0; i < 200; i++) {
      if (nettest::shell("ip link show twd0 | grep -q 'state UP'")) return "";
      usleep(10000);
    }
    return "twd0 did not come up";
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
};

}  // namespace lstest

#include "tests/support/OtherMachine.h"

#include <unistd.h>

#include <memory>
#include <vector>

#include "tests/support/Subprocess.h"

namespace nettest {

OtherMachine::~OtherMachine() = default;

std::string OtherMachine::start() {
  // The holder: a program in a network namespace of its own, which ends (and the
  // namespace with it) when its standard input closes.
  holder_ = std::make_unique<testsupport::BackgroundProcess>(
      std::vector<std::string>{"/usr/bin/unshare", "--net", "--", "/bin/sh", "-c", "echo ready; exec cat"});
  if (!holder_->running() || !holder_->waitFor("ready", 1, 5000)) return "cannot make a second network namespace";
  using testsupport::RunShell;
  const std::string holder = std::to_string(holder_->pid());
  const std::string there = "nsenter --net=/proc/" + holder + "/ns/net ";
  if (!RunShell("ip addr flush dev twd0 && ip addr add 192.0.2.1/24 brd + dev twd0 && ip link set twd0 up"))
    return "cannot set up twd0";
  if (!RunShell("ip link set twd1 netns " + holder)) return "cannot move twd1";
  if (!RunShell(there + "sh -c 'ip link set lo up && ip addr add 192.0.2.2/24 brd + dev twd1 && ip link set twd1 up'"))
    return "cannot set up twd1 over there";
  for (int i = 0; i < 200; i++) {   // bounded wait for the carrier on both ends
    if (RunShell("ip link show twd0 | grep -q 'state UP'")) return "";
    usleep(10000);
  }
  return "twd0 did not come up";
}

}  // namespace nettest

#include "tests/support/OtherMachine.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Subprocess.h"

namespace nettest {
namespace {

bool run(const std::string& command) {
  testsupport::RunOptions options;
  options.unsetEnv = {"LD_PRELOAD"};
  options.timeoutMs = 20000;
  return testsupport::RunProgram("/bin/sh", {"sh", "-c", command}, options).status == 0;
}

}  // namespace

OtherMachine::~OtherMachine() {
  if (pid_ <= 0) return;
  close(hold_);
  int status = 0;
  waitpid(pid_, &status, 0);
}

std::string OtherMachine::start() {
  int ready[2], hold[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return "no pipe";
  if (pipe2(hold, O_CLOEXEC) != 0) {
    close(ready[0]);
    close(ready[1]);
    return "no pipe";
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    close(hold[1]);
    const char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    char end;
    while (read(hold[0], &end, 1) < 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  if (pid_ < 0) {
    close(ready[0]);
    close(hold[1]);
    return "cannot fork";
  }
  hold_ = hold[1];
  char ok = 'n';
  const bool answered = read(ready[0], &ok, 1) == 1;
  close(ready[0]);
  if (!answered || ok != 'y') return "cannot make a second network namespace";
  const std::string there = "nsenter --net=/proc/" + std::to_string(pid_) + "/ns/net ";
  if (!run("ip addr flush dev twd0 && ip addr add 192.0.2.1/24 brd + dev twd0 && ip link set twd0 up"))
    return "cannot set up twd0";
  if (!run("ip link set twd1 netns " + std::to_string(pid_))) return "cannot move twd1";
  if (!run(there + "sh -c 'ip link set lo up && ip addr add 192.0.2.2/24 brd + dev twd1 && ip link set twd1 up'"))
    return "cannot set up twd1 over there";
  for (int i = 0; i < 200; i++) {   // bounded wait for the carrier on both ends
    if (run("ip link show twd0 | grep -q 'state UP'")) return "";
    usleep(10000);
  }
  return "twd0 did not come up";
}

}  // namespace nettest

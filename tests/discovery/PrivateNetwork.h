#pragma once
// Discovery sends UDP multicast through every interface address, so its tests run only
// in a network namespace of their own: the test process leaves the suite's namespace
// for a new one (it runs as root), brings up loopback and, when asked, a veth pair
// whose two ends give the host two interface addresses from the documentation range.
// Outside a private namespace (UPDATER_TEST_NETNS=1 unset and interfaces other than lo
// present) the tests skip instead of touching a real network.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace nettest {

constexpr const char* kFirstAddress = "192.0.2.1";
constexpr const char* kSecondAddress = "192.0.2.2";

inline uint32_t address(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

inline bool onlyLoopback() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool only = true;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next)
    if (std::strcmp(entry->ifa_name, "lo") != 0) only = false;
  freeifaddrs(list);
  return only;
}

// Runs a shell command without the test's preload libraries: `ip` under a preloaded
// sanitizer runtime would report its own leaks and fail.
inline bool shell(const std::string& command) {
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; e++)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
  env.push_back(nullptr);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    execve("/bin/sh", const_cast<char**>(argv), env.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Empty when the process now sits in a fresh namespace as asked; else why it cannot.
inline std::string enterPrivateNetwork(bool withVethPair) {
  const char* marked = std::getenv("UPDATER_TEST_NETNS");
  if (!(marked != nullptr && std::strcmp(marked, "1") == 0) && !onlyLoopback())
    return "not inside a private network namespace (run through scripts/test.sh, or set "
           "UPDATER_TEST_NETNS=1 inside unshare --net)";
  if (unshare(CLONE_NEWNET) != 0) return std::string("cannot make a network namespace: ") + std::strerror(errno);
  if (!shell("ip link set lo up")) return "cannot bring up lo";
  if (withVethPair) {
    std::string setup = std::string("ip link add twd0 type veth peer name twd1") +
                        " && ip addr add " + kFirstAddress + "/24 dev twd0" +
                        " && ip addr add " + kSecondAddress + "/24 dev twd1" +
                        " && ip link set twd0 up && ip link set twd1 up";
    if (!shell(setup)) return "cannot make a veth pair";
  }
  return "";
}

}  // namespace nettest

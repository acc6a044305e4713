#include "tests/support/PrivateNetwork.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/Subprocess.h"

namespace nettest {
namespace {

// Set once this process sits in a namespace it made: the interfaces it then sees
// (the veth pair of an earlier test) are its own, not a real network's.
std::atomic<bool> sInOwnNamespace{false};

bool marked() {
  const char* value = std::getenv("UPDATER_TEST_NETNS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool onlyLoopback() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool only = true;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next)
    if (std::strcmp(entry->ifa_name, "lo") != 0) only = false;
  freeifaddrs(list);
  return only;
}

}  // namespace

uint32_t address(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

Entry enterPrivateNetwork(bool withVethPair) {
  Entry entry;
  const bool isMarked = marked();
  if (!isMarked && !sInOwnNamespace && !onlyLoopback()) {
    entry.outcome = Entry::kRefused;
    entry.reason =
        "not inside a private network namespace (run through scripts/test.sh, or set "
        "UPDATER_TEST_NETNS=1 inside unshare --net)";
    return entry;
  }
  // Unmarked, the process may merely lack the rights (a developer's own namespace).
  entry.outcome = isMarked ? Entry::kFailed : Entry::kRefused;
  if (unshare(CLONE_NEWNET) != 0) {
    entry.reason = std::string("cannot make a network namespace: ") + std::strerror(errno);
    return entry;
  }
  sInOwnNamespace = true;
  if (!testsupport::RunShell("ip link set lo up")) {
    entry.reason = "cannot bring up lo in the new network namespace";
    return entry;
  }
  if (withVethPair) {
    const std::string setup = std::string("ip link add twd0 type veth peer name twd1") + " && ip addr add " +
                              kFirstAddress + "/24 dev twd0" + " && ip addr add " + kSecondAddress +
                              "/24 dev twd1" + " && ip link set twd0 up && ip link set twd1 up";
    if (!testsupport::RunShell(setup)) {
      entry.reason = "cannot make the veth pair twd0/twd1 in the new network namespace";
      return entry;
    }
  }
  entry.outcome = Entry::kEntered;
  return entry;
}

}  // namespace nettest

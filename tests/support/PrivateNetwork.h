#pragma once
// Tests that send UDP multicast or beacons (discovery, and whatever may fall back to
// it) run only in a network namespace of their own: the test process leaves the
// suite's namespace for a new one (it runs as root), brings up loopback and, when
// asked, a veth pair whose two ends give the host two interface addresses from the
// documentation range.
//
// Whether the process may do so: scripts/test.sh marks its private namespace with
// UPDATER_TEST_NETNS=1; a namespace that holds nothing but lo is private too, and so
// is one this process made itself (a binary run by hand, whose earlier tests made the
// veth pair it now sees). Anywhere else the tests skip instead of touching a real
// network. Once the namespace is marked, a set-up that fails is a test failure.
#include <cstdint>
#include <string>

namespace nettest {

constexpr const char* kFirstAddress = "192.0.2.1";
constexpr const char* kSecondAddress = "192.0.2.2";

// The address in network byte order.
uint32_t address(const char* text);

struct Entry {
  enum Outcome {
    kEntered,  // the process now sits in a fresh namespace as asked
    kRefused,  // not a private namespace, or unmarked and the set-up failed: skip
    kFailed,   // the namespace is marked, yet the set-up failed: fail
  };
  Outcome outcome = kFailed;
  std::string reason;  // why, unless entered
};

Entry enterPrivateNetwork(bool withVethPair);

}  // namespace nettest

// For a GoogleTest test or SetUp: enters a fresh namespace, or fails or skips the test
// with the reason.
#define NETTEST_ENTER_PRIVATE_NETWORK(withVethPair)                                      \
  do {                                                                                   \
    const ::nettest::Entry nettestEntry = ::nettest::enterPrivateNetwork(withVethPair);  \
    if (nettestEntry.outcome == ::nettest::Entry::kFailed) FAIL() << nettestEntry.reason; \
    if (nettestEntry.outcome == ::nettest::Entry::kRefused) GTEST_SKIP() << nettestEntry.reason; \
  } while (false)

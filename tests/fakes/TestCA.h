#pragma once
// The test certificate authority, and code run trusting it in place of the system's
// CA bundle.
#include <functional>
#include <string>

#include "tests/support/Subprocess.h"

namespace testsupport {

// Runs fn in a child that sees caFile in place of the system's CA bundle, inside a
// mount namespace of its own (the machine's store is never touched). The child's
// status is fn's result, or kUnsupported when no mount namespace can be made here.
RunResult runTrustingCA(const std::string& caFile, const std::function<int()>& fn, int timeoutMs = 60000);

// Made once per process with make_test_ca.sh in a temporary directory: ca.pem,
// server.pem/.key (127.0.0.1, localhost), wrongname.pem/.key.
const std::string& testCADirectory();

}  // namespace testsupport

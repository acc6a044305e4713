#include "tests/fakes/TestCA.h"

#include <sched.h>
#include <sys/mount.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "tests/support/TempDir.h"

namespace testsupport {

namespace {

const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";

}  // namespace

RunResult runTrustingCA(const std::string& caFile, const std::function<int()>& fn, int timeoutMs) {
  RunOptions options;
  options.timeoutMs = timeoutMs;
  return RunInChild(
      [&]() {
        if (unshare(CLONE_NEWNS) != 0) return kUnsupported;
        // Private first, so that the bind mount below never propagates out.
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kUnsupported;
        if (mount(caFile.c_str(), kSystemBundle, nullptr, MS_BIND, nullptr) != 0) return kUnsupported;
        return fn();
      },
      options);
}

const std::string& testCADirectory() {
  static std::unique_ptr<TempDir> dir;
  static std::string path;
  if (dir == nullptr) {
    dir.reset(new TempDir());
    const std::string command = std::string("bash '") + UPDATER_TEST_FAKES_DIR + "/make_test_ca.sh' '" + dir->path() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make_test_ca.sh failed");
    path = dir->path();
  }
  return path;
}

}  // namespace testsupport

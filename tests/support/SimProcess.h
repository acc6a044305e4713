#pragma once
// A simulator program (devsim_fw, devsim) beside a test, on BackgroundProcess: started
// with its arguments, waited for until it prints "ready" (bounded), stopped with SIGTERM
// so that it writes its dump.
#include <memory>
#include <string>
#include <vector>

#include "tests/support/BackgroundProcess.h"

namespace testsupport {

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // False (with the reason in error()) when it did not come up within timeoutMs.
  bool start(const std::string& program, const std::vector<std::string>& args, int timeoutMs = 5000);
  // SIGTERM, then a bounded wait (SIGKILL after it); true when it ended by itself.
  bool stop(int timeoutMs = 5000);
  // Sends a signal to the running simulator; false when none runs.
  bool signal(int number);
  int port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
  std::string error_;
};

// key=value lines of a stats file; missing keys read as -1.
long statValue(const std::string& statsPath, const std::string& key);

}  // namespace testsupport

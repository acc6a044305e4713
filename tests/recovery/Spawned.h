#pragma once
// A child program that runs beside the test instead of to completion: the standalone
// simulator, or an Updater the test interrupts. Standard output is read through a
// pipe; every wait is bounded; the destructor kills what is still running.
#include <sys/types.h>

#include <string>
#include <vector>

namespace recoverytest {

class Spawned {
 public:
  Spawned() = default;
  ~Spawned();
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  // args[0] is the name the child sees. Standard error goes to /dev/null unless kept.
  bool start(const std::string& path, const std::vector<std::string>& args, bool keepStderr = false);
  // Reads standard output until it holds text; false after timeoutMs or at its end.
  bool waitForOutput(const std::string& text, int timeoutMs);
  const std::string& output() const { return output_; }
  pid_t pid() const { return pid_; }
  void signal(int number);
  // Waits for the end (SIGKILL after timeoutMs); the exit status, -1 when it was killed.
  int wait(int timeoutMs);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

}  // namespace recoverytest

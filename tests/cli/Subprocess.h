#pragma once
// Running the built Updater (or a piece of code in a forked child) with standard
// output and standard error captured, and every wait bounded.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace clitest {

struct RunResult {
  int status = -1;        // exit status; -1 when the child did not exit normally
  bool timedOut = false;  // killed after the time-out
  std::string out;        // standard output (through a pty when asked for)
  std::string err;        // standard error
};

struct RunOptions {
  std::vector<std::string> setEnv;    // "NAME=value"
  std::vector<std::string> unsetEnv;  // names
  uid_t uid = static_cast<uid_t>(-1); // drop to this uid (and gid) in the child
  gid_t gid = static_cast<gid_t>(-1);
  bool stdoutIsTerminal = false;      // standard output on a raw pty instead of a pipe
  int timeoutMs = 20000;
  std::string workDir;                // chdir here in the child when set
};

// args[0] is the program name as the child sees it; the program run is `path`.
RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunOptions& options = {});

// Runs body in a forked child, which then exits with status 0.
RunResult RunInChild(const std::function<void()>& body, const RunOptions& options = {});

// A fresh directory under the temporary directory, removed by the destructor.
class TempDir {
public:
  // Under the temporary directory, or under `base` when given.
  explicit TempDir(const std::string& base = std::string());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

bool IsDirectory(const std::string& path);

}  // namespace clitest

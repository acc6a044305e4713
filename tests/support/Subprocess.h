#pragma once
// Running a program (the built Updater, a simulator) or a piece of code in a forked
// child, with standard output and standard error captured and every wait bounded. A
// child is where a test drops privileges, limits file sizes, enters namespaces or
// runs code that might hang, without touching the test process.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

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

// args[0] is the program name as the child sees it; the program run is `path`, or, for a
// child that drops its uid or gid, a copy of it under /tmp that every user reaches.
// Status 127: it could not be run.
RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunOptions& options = {});

// Runs body in a forked child, which then exits with body's result as its status (2
// when body throws; the exception's text goes to the captured standard error).
RunResult RunInChild(const std::function<int()>& body, const RunOptions& options = {});

// Runs a shell command line (/bin/sh -c) to its end without the test's preloaded
// libraries (`ip` under a sanitizer runtime or umockdev would fail); a command still
// running after timeoutMs is killed. True when it ended with status 0.
bool RunShell(const std::string& command, int timeoutMs = 20000);

// A child's status meaning "this environment cannot do it": the caller skips.
constexpr int kUnsupported = 77;

}  // namespace testsupport

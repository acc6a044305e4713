#pragma once
// A program that runs beside a test (a simulator, a Python peer, the fake update server,
// an Updater the test cuts short): its standard output is collected line by line and its
// standard error whole, its standard input takes commands, and every wait is bounded. It
// may be started inside another process's network namespace (the "other machine" of
// OtherMachine.h). The program runs without the tests' preloaded libraries. (A program
// run to its end is Subprocess.h's RunProgram.)
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class BackgroundProcess {
 public:
  // argv[0] is the program's path; netnsPid: run inside that process's network
  // namespace (0: this one).
  explicit BackgroundProcess(const std::vector<std::string>& argv, pid_t netnsPid = 0);
  // A Python script run by the Debian interpreter (/usr/bin/python3).
  static std::unique_ptr<BackgroundProcess> python(const std::string& script, const std::vector<std::string>& args,
                                                   pid_t netnsPid = 0);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool running() const { return pid_ > 0; }
  // Sends a signal; false when there is no process to send it to.
  bool signal(int number);
  // Every line the peer printed so far.
  std::vector<std::string> lines() const;
  // Lines starting with prefix (the prefix and one space removed).
  std::vector<std::string> linesWith(const std::string& prefix) const;
  // Waits until at least count lines start with prefix; false at the time-out.
  bool waitFor(const std::string& prefix, size_t count = 1, int timeoutMs = 10000) const;
  // The rest of the first line that starts with prefix, after waiting for it ("" if none).
  std::string first(const std::string& prefix, int timeoutMs = 10000) const;
  void send(const std::string& line);
  pid_t pid() const { return pid_; }
  // Everything written on standard error so far.
  std::string errors() const;
  // Waits for the process to end; false at the time-out (0: only looks). *status as
  // waitpid gives it.
  bool waitExit(int timeoutMs, int* status);
  // Ends the program: its standard input closed, SIGTERM, then SIGKILL after timeoutMs.
  // True when it ended by itself with status 0 (false when it had ended before).
  bool stop(int timeoutMs = 3000);

 private:
  void launch(std::vector<std::string> argv, pid_t netnsPid);
  void readLoop(int fd);
  void errorLoop(int fd);

  pid_t pid_ = -1;
  int input_ = -1;
  std::thread reader_;
  std::thread errorReader_;
  std::string errors_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
};

}  // namespace testsupport

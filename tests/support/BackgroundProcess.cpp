#include "tests/support/BackgroundProcess.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace testsupport {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, pid_t netnsPid) { launch(argv, netnsPid); }

std::unique_ptr<BackgroundProcess> BackgroundProcess::python(const std::string& script,
                                                             const std::vector<std::string>& args, pid_t netnsPid) {
  std::vector<std::string> argv = {"/usr/bin/python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<BackgroundProcess>(argv, netnsPid);
}

void BackgroundProcess::launch(std::vector<std::string> argv, pid_t netnsPid) {
  int out[2], in[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  // Prepared before the fork: the child of a threaded process only calls async-safe
  // functions. The peers never run under the tests' preloaded sanitizer runtimes.
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(&a[0]);
  cargv.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; e++)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
  env.push_back(nullptr);
  const std::string nsPath = "/proc/" + std::to_string(netnsPid) + "/ns/net";
  const int nsFd = netnsPid > 0 ? open(nsPath.c_str(), O_RDONLY | O_CLOEXEC) : -1;

  pid_ = fork();
  if (pid_ == 0) {
    if (netnsPid > 0 && (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0)) _exit(126);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(cargv[0], cargv.data(), env.data());
    _exit(127);
  }
  if (nsFd >= 0) close(nsFd);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid_ < 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return;
  }
  input_ = in[1];
  reader_ = std::thread(&BackgroundProcess::readLoop, this, out[0]);
  errorReader_ = std::thread(&BackgroundProcess::errorLoop, this, err[0]);
}

void BackgroundProcess::errorLoop(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> hold(lock_);
    errors_.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
}

std::string BackgroundProcess::errors() const {
  std::lock_guard<std::mutex> hold(lock_);
  return errors_;
}

bool BackgroundProcess::waitExit(int timeoutMs, int* status) {
  if (pid_ <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (waitpid(pid_, status, WNOHANG) == pid_) {
      pid_ = -1;
      if (reader_.joinable()) reader_.join();
      if (errorReader_.joinable()) errorReader_.join();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

BackgroundProcess::~BackgroundProcess() { stop(); }

void BackgroundProcess::readLoop(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> hold(lock_);
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  close(fd);
}

std::vector<std::string> BackgroundProcess::lines() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_;
}

std::vector<std::string> BackgroundProcess::linesWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& line : lines())
    if (line.compare(0, prefix.size(), prefix) == 0)
      found.push_back(line.size() > prefix.size() ? line.substr(prefix.size() + 1) : std::string());
  return found;
}

bool BackgroundProcess::waitFor(const std::string& prefix, size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (const std::string& line : lines_)
      if (line.compare(0, prefix.size(), prefix) == 0) seen++;
    return seen >= count;
  });
}

std::string BackgroundProcess::first(const std::string& prefix, int timeoutMs) const {
  if (!waitFor(prefix, 1, timeoutMs)) return "";
  std::vector<std::string> found = linesWith(prefix);
  return found.empty() ? "" : found.front();
}

void BackgroundProcess::send(const std::string& line) {
  if (input_ < 0) return;
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(input_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

bool BackgroundProcess::signal(int number) { return pid_ > 0 && kill(pid_, number) == 0; }

bool BackgroundProcess::stop(int timeoutMs) {
  if (input_ >= 0) {
    close(input_);
    input_ = -1;
  }
  bool clean = false;
  if (pid_ > 0) {
    int status = 0;
    kill(pid_, SIGTERM);
    if (waitExit(timeoutMs, &status)) {
      clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    } else {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }
  if (reader_.joinable()) reader_.join();
  if (errorReader_.joinable()) errorReader_.join();
  return clean;
}

}  // namespace testsupport

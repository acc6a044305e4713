#include "tests/support/Subprocess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace testsupport {
namespace {

struct Channels {
  int outRead = -1, outWrite = -1;
  int errRead = -1, errWrite = -1;
  int nullIn = -1;  // the child's standard input
};

// Every descriptor is close-on-exec: a child that another thread forks meanwhile must not
// keep this child's pipes open (its caller would wait for that child's end too).
Channels OpenChannels(bool terminal) {
  Channels c;
  if (terminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
    const char* name = ptsname(master);
    if (name == nullptr) throw std::runtime_error("no pty name");
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error("cannot open pty slave");
    // Raw, so the bytes the program writes arrive unchanged (no "\n" to "\r\n").
    struct termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    c.outRead = master;
    c.outWrite = slave;
  } else {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    c.outRead = fds[0];
    c.outWrite = fds[1];
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  c.errRead = fds[0];
  c.errWrite = fds[1];
  // Opened here, not in the child: under the USB emulation open() is wrapped by a
  // preload that takes a lock, and a child forked while another thread held it hung.
  c.nullIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return c;
}

// The environment a program runs with: this process's, less unsetEnv and the names
// setEnv gives, then setEnv. Made before the fork: the child of a threaded process only
// calls async-safe functions before its exec.
std::vector<std::string> ChildEnvironment(const RunOptions& options) {
  auto named = [](const std::string& entry, const std::string& name) {
    return entry.compare(0, name.size() + 1, name + "=") == 0;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; e++) {
    const std::string entry = *e;
    bool dropped = false;
    for (const std::string& name : options.unsetEnv) dropped = dropped || named(entry, name);
    for (const std::string& set : options.setEnv) dropped = dropped || named(entry, set.substr(0, set.find('=')));
    if (!dropped) env.push_back(entry);
  }
  env.insert(env.end(), options.setEnv.begin(), options.setEnv.end());
  return env;
}

// environmentGiven: the program's environment goes to its exec; else the options' changes
// are made in the child itself, for the code that runs there.
void SetUpChild(const Channels& c, const RunOptions& options, bool environmentGiven) {
  dup2(c.outWrite, STDOUT_FILENO);
  dup2(c.errWrite, STDERR_FILENO);
  if (c.nullIn >= 0) dup2(c.nullIn, STDIN_FILENO);
  for (int fd : {c.outRead, c.outWrite, c.errRead, c.errWrite, c.nullIn})
    if (fd > STDERR_FILENO) close(fd);
  if (!environmentGiven) {
    for (const std::string& name : options.unsetEnv) unsetenv(name.c_str());
    for (const std::string& entry : options.setEnv) {
      size_t eq = entry.find('=');
      setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
  }
  if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
  if (options.gid != static_cast<gid_t>(-1)) {
    if (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0) _exit(126);
  }
  if (options.uid != static_cast<uid_t>(-1) && setuid(options.uid) != 0) _exit(126);
}

RunResult Collect(pid_t pid, const Channels& c, int timeoutMs) {
  RunResult result;
  close(c.outWrite);
  close(c.errWrite);
  if (c.nullIn >= 0) close(c.nullIn);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto remaining = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  };
  bool outOpen = true, errOpen = true;
  char buffer[4096];
  while ((outOpen || errOpen) && !result.timedOut) {
    struct pollfd fds[2];
    int n = 0;
    if (outOpen) fds[n++] = {c.outRead, POLLIN, 0};
    if (errOpen) fds[n++] = {c.errRead, POLLIN, 0};
    int ready = poll(fds, static_cast<nfds_t>(n), remaining());
    if (ready == 0) {
      result.timedOut = true;
      break;
    }
    if (ready < 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      // A pty master reads EIO once every slave copy is closed: that is its end.
      if (got <= 0) {
        (fds[i].fd == c.outRead ? outOpen : errOpen) = false;
        continue;
      }
      (fds[i].fd == c.outRead ? result.out : result.err).append(buffer, static_cast<size_t>(got));
    }
  }
  close(c.outRead);
  close(c.errRead);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (result.timedOut || remaining() == 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(2000);
  }
  result.status = (!result.timedOut && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

// A child that drops its privileges can run only what every user reaches, and the build
// tree may lie inside a private directory (a checkout in root's home, mode 0700): such a
// child runs a copy of the program under /tmp, made once per program and test process
// and removed when the process ends.
std::string ProgramFor(const std::string& path, const RunOptions& options) {
  if (options.uid == static_cast<uid_t>(-1) && options.gid == static_cast<gid_t>(-1)) return path;
  static std::mutex mutex;
  static std::map<std::string, std::pair<std::unique_ptr<TempDir>, std::string>> copies;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = copies.find(path);
  if (found != copies.end()) return found->second.second;
  auto dir = std::make_unique<TempDir>("/tmp");
  if (chmod(dir->path().c_str(), 0755) != 0) throw std::runtime_error("cannot open " + dir->path() + " to others");
  const size_t slash = path.rfind('/');
  const std::string copy = dir->sub(slash == std::string::npos ? path : path.substr(slash + 1));
  copyFile(path, copy, 0755);
  copies.emplace(path, std::make_pair(std::move(dir), copy));
  return copy;
}

}  // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunOptions& options) {
  const std::string program = ProgramFor(path, options);
  Channels c = OpenChannels(options.stdoutIsTerminal);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment = ChildEnvironment(options);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    SetUpChild(c, options, true);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return Collect(pid, c, options.timeoutMs);
}

bool RunShell(const std::string& command, int timeoutMs) {
  RunOptions options;
  options.unsetEnv = {"LD_PRELOAD"};
  options.timeoutMs = timeoutMs;
  return RunProgram("/bin/sh", {"sh", "-c", command}, options).status == 0;
}

RunResult RunInChild(const std::function<int()>& body, const RunOptions& options) {
  Channels c = OpenChannels(options.stdoutIsTerminal);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    SetUpChild(c, options, false);
    int status = 2;
    try {
      status = body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "exception in the child: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "exception in the child\n");
    }
    std::fflush(nullptr);
    _exit(status);
  }
  return Collect(pid, c, options.timeoutMs);
}

}  // namespace testsupport

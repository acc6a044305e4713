#include "tests/support/SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace testsupport {

namespace {
long long monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

SimProcess::~SimProcess() { stop(2000); }

bool SimProcess::start(const std::string& program, const std::vector<std::string>& args, int timeoutMs) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  if (pid_ < 0) {
    close(out[0]);
    error_ = "fork failed";
    return false;
  }
  std::string text;
  const long long deadline = monotonicMs() + timeoutMs;
  while (text.find("ready\n") == std::string::npos) {
    const long long left = deadline - monotonicMs();
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  unsigned port = 0;
  if (text.find("ready\n") == std::string::npos || std::sscanf(text.c_str(), "tcp 127.0.0.1 %u", &port) != 1) {
    error_ = program + " did not come up: " + text;
    stop(1000);
    return false;
  }
  port_ = static_cast<int>(port);
  return true;
}

bool SimProcess::stop(int timeoutMs) {
  if (pid_ <= 0) return true;
  kill(pid_, SIGTERM);
  const long long deadline = monotonicMs() + timeoutMs;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (monotonicMs() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return false;
    }
    usleep(10000);
  }
  pid_ = -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SimProcess::signal(int number) { return pid_ > 0 && kill(pid_, number) == 0; }

long statValue(const std::string& statsPath, const std::string& key) {
  std::ifstream in(statsPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + "=") == 0) return std::strtol(line.c_str() + key.size() + 1, nullptr, 0);
  }
  return -1;
}

}  // namespace testsupport

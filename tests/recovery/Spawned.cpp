#include "tests/recovery/Spawned.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace recoverytest {

namespace {

long long monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

Spawned::~Spawned() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

bool Spawned::start(const std::string& path, const std::vector<std::string>& args, bool keepStderr) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    if (!keepStderr) {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, STDERR_FILENO);
    }
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid_ < 0) {
    close(pipeFds[0]);
    return false;
  }
  out_ = pipeFds[0];
  return true;
}

bool Spawned::waitForOutput(const std::string& text, int timeoutMs) {
  const long long deadline = monotonicMs() + timeoutMs;
  while (output_.find(text) == std::string::npos) {
    const long long left = deadline - monotonicMs();
    if (left <= 0 || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[512];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return false;
    }
    output_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void Spawned::signal(int number) {
  if (pid_ > 0) kill(pid_, number);
}

int Spawned::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const long long deadline = monotonicMs() + timeoutMs;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (monotonicMs() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    usleep(5000);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace recoverytest

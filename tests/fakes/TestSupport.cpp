#include "tests/fakes/TestSupport.h"

#include <dirent.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/updater-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

int runInChild(const std::function<int()>& fn, int timeoutMs) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = 1;
    try {
      code = fn();
    } catch (...) {
      code = 2;
    }
    std::fflush(nullptr);
    _exit(code);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runTrustingCA(const std::string& caFile, const std::function<int()>& fn, int timeoutMs) {
  return runInChild(
      [&]() {
        if (unshare(CLONE_NEWNS) != 0) return kUnsupported;
        // Private first, so that the bind mount below never propagates out.
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kUnsupported;
        if (mount(caFile.c_str(), kSystemBundle, nullptr, MS_BIND, nullptr) != 0) return kUnsupported;
        return fn();
      },
      timeoutMs);
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

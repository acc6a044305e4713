#include "tests/fakes/FakeUpdateServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/Files.h"

using testsupport::readText;

FakeUpdateServer::FakeUpdateServer() { start("", ""); }

FakeUpdateServer::FakeUpdateServer(const std::string& certFile, const std::string& keyFile) {
  start(certFile, keyFile);
}

void FakeUpdateServer::start(const std::string& certFile, const std::string& keyFile) {
  tls_ = !certFile.empty();
  setConfig("{}");
  const std::string script = std::string(UPDATER_TEST_FAKES_DIR) + "/fake_update_server.py";
  const std::string config = dir_.sub("config.json"), log = dir_.sub("requests.log"), portFile = dir_.sub("port");
  std::vector<std::string> args = {"python3", script, "--config", config, "--log", log, "--port-file", portFile};
  if (tls_) args.insert(args.end(), {"--cert", certFile, "--key", keyFile});

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // Quiet on standard output: the port comes through the port file.
    if (FILE* null = std::fopen("/dev/null", "w")) dup2(fileno(null), STDOUT_FILENO);
    // The Debian interpreter when it is there: wrappers found first on PATH can cost
    // a second or more per start.
    if (access("/usr/bin/python3", X_OK) == 0) execv("/usr/bin/python3", argv.data());
    execvp("python3", argv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (port_ == 0) {
    const std::string text = readText(portFile);
    if (!text.empty()) port_ = std::atoi(text.c_str());
    int status = 0;
    if (port_ == 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("fake update server exited at start");
    }
    if (port_ == 0 && std::chrono::steady_clock::now() > deadline) {
      // The destructor never runs for a constructor that throws: stop the child here.
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      throw std::runtime_error("fake update server did not start");
    }
    if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

FakeUpdateServer::~FakeUpdateServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void FakeUpdateServer::setConfig(const std::string& json) {
  // Written whole and renamed, so that the server never reads half a file; the
  // version suffix keeps a rewrite within the same timestamp tick visible.
  const std::string temporary = dir_.sub("config.json.tmp");
  testsupport::writeText(temporary, json + std::string(++configVersion_ % 2, ' '));
  if (std::rename(temporary.c_str(), dir_.sub("config.json").c_str()) != 0) throw std::runtime_error("rename failed");
}

std::string FakeUpdateServer::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> FakeUpdateServer::requests() const {
  std::vector<std::string> lines;
  std::istringstream in(readText(dir_.sub("requests.log")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int FakeUpdateServer::closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

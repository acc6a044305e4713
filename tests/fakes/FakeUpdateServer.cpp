#include "tests/fakes/FakeUpdateServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
  std::vector<std::string> args = {"--config", config, "--log", log, "--port-file", portFile};
  if (tls_) args.insert(args.end(), {"--cert", certFile, "--key", keyFile});
  // The Debian interpreter: wrappers found first on PATH can cost a second or more per
  // start.
  process_ = testsupport::BackgroundProcess::python(script, args);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (port_ == 0) {
    const std::string text = readText(portFile);
    if (!text.empty()) port_ = std::atoi(text.c_str());
    int status = 0;
    if (port_ == 0 && (!process_->running() || process_->waitExit(0, &status)))
      throw std::runtime_error("fake update server exited at start: " + process_->errors());
    if (port_ == 0 && std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("fake update server did not start");  // process_ ends it
    if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

FakeUpdateServer::~FakeUpdateServer() = default;

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

#pragma once
// Runs tests/fakes/fake_update_server.py on 127.0.0.1 for the length of a test.
#include <memory>
#include <string>
#include <vector>

#include "tests/support/BackgroundProcess.h"
#include "tests/support/TempDir.h"

class FakeUpdateServer {
public:
  // Plain HTTP, or HTTPS with the given certificate and key.
  FakeUpdateServer();
  FakeUpdateServer(const std::string& certFile, const std::string& keyFile);
  ~FakeUpdateServer();
  FakeUpdateServer(const FakeUpdateServer&) = delete;
  FakeUpdateServer& operator=(const FakeUpdateServer&) = delete;

  // Replaces the server's JSON configuration whole; the server reads it again at its
  // next request.
  void setConfig(const std::string& json);
  int port() const { return port_; }
  // "http[s]://127.0.0.1:PORT/cgi/u"
  std::string url() const;
  // Every request target the server has seen, verbatim, oldest first.
  std::vector<std::string> requests() const;
  const std::string& directory() const { return dir_.path(); }

  // A port on 127.0.0.1 on which nothing listens.
  static int closedPort();

private:
  void start(const std::string& certFile, const std::string& keyFile);

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::BackgroundProcess> process_;
  int port_ = 0;
  bool tls_ = false;
  unsigned configVersion_ = 0;
};

#pragma once
// The fake link server (peers/fake_link_server.py) for the length of a test: a ROUTER on
// an ephemeral 127.0.0.1 port that answers as a link server in front of one device
// (module address 0x04, model 0x13 unless told otherwise), records every frame it
// receives with the sender's identity, and can misbehave on command.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/linkserver/Peers.h"
#include "tests/support/BackgroundProcess.h"

namespace lstest {

struct Frame {
  std::string identity;   // hex
  std::string bytes;      // hex, "" for an empty frame
};

class FakeLinkServer {
 public:
  // extra: more options of the script (--address, --model, --answer REQ=REPLY, --port).
  explicit FakeLinkServer(const std::vector<std::string>& extra = {}) {
    peer_ = testsupport::BackgroundProcess::python(peerScript("fake_link_server.py"), extra);
    port_ = std::atoi(peer_->first("PORT").c_str());
  }
  uint16_t port() const { return static_cast<uint16_t>(port_); }
  bool ok() const { return port_ > 0; }

  std::vector<Frame> frames() const {
    std::vector<Frame> out;
    for (const std::string& line : peer_->linesWith("FRAME")) {
      const size_t space = line.find(' ');
      Frame f{line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)};
      if (f.bytes == "-") f.bytes.clear();
      out.push_back(f);
    }
    return out;
  }
  bool waitForFrames(size_t count, int timeoutMs = 5000) const { return peer_->waitFor("FRAME", count, timeoutMs); }

  // Each command is acknowledged before this returns (bounded).
  bool command(const std::string& line) {
    peer_->send(line);
    return peer_->waitFor("DONE", ++commands_, 5000);
  }
  bool send(const std::string& hex) { return command("send " + (hex.empty() ? std::string("-") : hex)); }
  bool silent(bool on) { return command(std::string("silent ") + (on ? "1" : "0")); }
  bool delay(int ms) { return command("delay " + std::to_string(ms)); }

  // A port on 127.0.0.1 where nothing listens (just now).
  static uint16_t closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
      port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
  }

 private:
  std::unique_ptr<testsupport::BackgroundProcess> peer_;
  int port_ = 0;
  size_t commands_ = 0;
};

}  // namespace lstest

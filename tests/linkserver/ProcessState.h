#pragma once
// What a test can see of this process and of the machine around a link server: threads,
// descriptors and listening sockets of the process, the request ports that are held, and
// whether a port takes connections.
#include <czmq.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/transport/aZSys.h"
#include "tests/linkserver/Peers.h"
#include "tests/support/BackgroundProcess.h"

namespace lstest {

// "HELD k" or "FREE k" for each request offset, as an independent probe finds them.
inline std::vector<std::string> probeOffsets(const std::vector<std::string>& offsets) {
  std::vector<std::string> args = {"probe"};
  args.insert(args.end(), offsets.begin(), offsets.end());
  auto probe = testsupport::BackgroundProcess::python(peerScript("mcast_probe.py"), args);
  int status = -1;
  EXPECT_TRUE(probe->waitExit(10000, &status));
  return probe->lines();
}

inline size_t entries(const char* directory) {
  size_t n = 0;
  DIR* d = opendir(directory);
  if (d == nullptr) return 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

inline size_t threads() { return entries("/proc/self/task"); }
inline size_t descriptors() { return entries("/proc/self/fd"); }

inline std::string fdList() {
  std::string out;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    char link[128] = {};
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(path.c_str(), link, sizeof link - 1) > 0) out += std::string(e->d_name) + "=" + link + " ";
  }
  if (d != nullptr) closedir(d);
  return out;
}

// ZeroMQ's own threads, which stay once started: a socket kept open for the test's
// length starts them (one that is closed would leave its descriptor to ZeroMQ's reaper
// for a moment).
class ZeroMQThreads {
 public:
  ZeroMQThreads() {
    aZSys_Init();
    socket_ = zsock_new(ZMQ_DEALER);
  }
  ~ZeroMQThreads() { zsock_destroy(&socket_); }
  ZeroMQThreads(const ZeroMQThreads&) = delete;
  ZeroMQThreads& operator=(const ZeroMQThreads&) = delete;

 private:
  zsock_t* socket_ = nullptr;
};

// Waits (up to 3 s) until what count() reports is back at baseline.
inline bool backTo(size_t baseline, size_t (*count)()) {
  for (int i = 0; i < 300; i++) {
    if (count() == baseline) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return count() == baseline;
}

// The TCP sockets of this process that listen, as "a.b.c.d:port".
inline std::vector<std::string> listeners() {
  std::set<std::string> mine;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    char link[64] = {};
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strncmp(link, "socket:[", 8) == 0)
      mine.insert(std::string(link + 8, std::strlen(link + 8) - 1));
  }
  if (d != nullptr) closedir(d);
  std::vector<std::string> out;
  for (const char* table : {"/proc/thread-self/net/tcp", "/proc/thread-self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);   // heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state != "0A" || mine.count(inode) == 0) continue;
      const size_t colon = local.find(':');
      std::string text = "tcp6?";
      if (colon == 8) {
        const uint32_t a = static_cast<uint32_t>(std::stoul(local.substr(0, 8), nullptr, 16));
        text = std::to_string(a & 0xFF) + "." + std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a >> 16 & 0xFF) + "." +
               std::to_string(a >> 24);
      }
      out.push_back(text + ":" + std::to_string(std::stoul(local.substr(colon + 1), nullptr, 16)));
    }
  }
  return out;
}

inline bool refusesConnections(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool refused = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno == ECONNREFUSED;
  close(s);
  return refused;
}

}  // namespace lstest

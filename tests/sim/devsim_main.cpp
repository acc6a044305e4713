// devsim: a simulated device module as a separate process, for end-to-end tests and
// the demo. It serves one module over a loopback TCP port and/or a pty pair, and when
// asked answers TCP/IP discovery for the TCP port, until it receives SIGINT or SIGTERM.
// Discovery sends datagrams: give it only interfaces of a private network namespace.
#include <arpa/inet.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: devsim [--tcp PORT] [--pty] [--address N] [--model N] [--serial HEX]\n"
               "              [--heartbeat-ms N] [--split] [--delay-ms N] [--drop N]\n"
               "              [--no-sync] [--sync-address N] [--discovery IPV4]...\n"
               "  --tcp PORT        listen on 127.0.0.1:PORT (0 picks a free port)\n"
               "  --pty             open a pty pair; the host opens the printed path\n"
               "  --discovery IPV4  answer TCP/IP discovery heard on that interface address, naming\n"
               "                    127.0.0.1 and the TCP port (repeatable; without --tcp, --tcp 0)\n"
               "Prints \"tcp 127.0.0.1 <port>\" and/or \"pty <path>\", then \"ready\".\n");
}

bool number(const char* text, unsigned long max, unsigned long& out, int base = 0) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, base);
  return text[0] != '\0' && *end == '\0' && errno == 0 && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  devsim::Config config;
  long tcpPort = -1;
  bool pty = false;
  std::vector<uint32_t> discovery;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    unsigned long v = 0;
    in_addr a{};
    if (arg == "--pty") {
      pty = true;
    } else if (arg == "--split") {
      config.splitBytes = true;
    } else if (arg == "--no-sync") {
      config.answerSync = false;
    } else if (arg == "--tcp" && hasValue && number(argv[++i], 65535, v)) {
      tcpPort = static_cast<long>(v);
    } else if (arg == "--address" && hasValue && number(argv[++i], 255, v)) {
      config.address = static_cast<uint8_t>(v);
    } else if (arg == "--model" && hasValue && number(argv[++i], 255, v)) {
      config.model = static_cast<uint8_t>(v);
    } else if (arg == "--serial" && hasValue && number(argv[++i], 0xFFFFFFFFul, v, 16)) {
      config.serial = static_cast<uint32_t>(v);
    } else if (arg == "--heartbeat-ms" && hasValue && number(argv[++i], 3600000, v)) {
      config.heartbeatMs = static_cast<uint32_t>(v);
    } else if (arg == "--delay-ms" && hasValue && number(argv[++i], 3600000, v)) {
      config.replyDelayMs = static_cast<uint32_t>(v);
    } else if (arg == "--drop" && hasValue && number(argv[++i], 1000000, v)) {
      config.dropReplies = static_cast<int>(v);
    } else if (arg == "--sync-address" && hasValue && number(argv[++i], 255, v)) {
      config.syncAddress = static_cast<int>(v);
    } else if (arg == "--discovery" && hasValue && inet_pton(AF_INET, argv[++i], &a) == 1) {
      discovery.push_back(a.s_addr);
    } else {
      usage();
      return 2;
    }
  }
  if (!discovery.empty() && tcpPort < 0) tcpPort = 0;
  if (tcpPort < 0 && !pty) {
    usage();
    return 2;
  }

  // Block the stop signals before any thread starts, so that only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  devsim::Device device(config);
  std::unique_ptr<devsim::TcpFrontEnd> tcp;
  std::unique_ptr<devsim::PtyFrontEnd> ptyEnd;
  std::unique_ptr<devsim::DiscoveryResponder> responder;
  if (tcpPort >= 0) {
    tcp = std::make_unique<devsim::TcpFrontEnd>(device, static_cast<uint16_t>(tcpPort));
    if (!tcp->ok()) {
      std::fprintf(stderr, "devsim: cannot listen on 127.0.0.1:%ld\n", tcpPort);
      return 1;
    }
    if (!discovery.empty()) {
      devsim::DiscoveryIdentity identity;
      identity.serial = config.serial;
      identity.address = config.address;
      identity.model = config.model;
      identity.tcpPort = tcp->port();
      responder = std::make_unique<devsim::DiscoveryResponder>(discovery, identity, htonl(INADDR_LOOPBACK));
      if (!responder->ok()) {
        std::fprintf(stderr, "devsim: cannot answer discovery on the interfaces given\n");
        return 1;
      }
    }
    std::printf("tcp 127.0.0.1 %u\n", tcp->port());
  }
  if (pty) {
    ptyEnd = std::make_unique<devsim::PtyFrontEnd>(device);
    if (!ptyEnd->ok()) {
      std::fprintf(stderr, "devsim: cannot open a pty pair\n");
      return 1;
    }
    std::printf("pty %s\n", ptyEnd->slavePath().c_str());
  }
  std::printf("ready\n");
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  return 0;
}

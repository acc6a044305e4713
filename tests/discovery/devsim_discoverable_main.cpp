// devsim-discoverable: a simulated module that serves its link over a loopback TCP port
// and answers TCP/IP discovery for it, until SIGINT or SIGTERM. Discovery sends
// multicast: run it only inside a private network namespace.
#include <arpa/inet.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: devsim-discoverable --interface ADDR [--interface ADDR]... [--tcp PORT]\n"
               "                           [--serial HEX] [--address N] [--model N]\n"
               "  --interface ADDR  an IPv4 interface address where discovery requests are heard\n"
               "  --tcp PORT        listen on 127.0.0.1:PORT (0, the default, picks a free port)\n"
               "Replies name 127.0.0.1 and the TCP port. Prints \"tcp 127.0.0.1 <port>\", then \"ready\".\n");
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
  unsigned long port = 0;
  std::vector<uint32_t> interfaces;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    unsigned long v = 0;
    in_addr a{};
    if (arg == "--interface" && hasValue && inet_pton(AF_INET, argv[++i], &a) == 1) {
      interfaces.push_back(a.s_addr);
    } else if (arg == "--tcp" && hasValue && number(argv[++i], 65535, v)) {
      port = v;
    } else if (arg == "--serial" && hasValue && number(argv[++i], 0xFFFFFFFFul, v, 16)) {
      config.serial = static_cast<uint32_t>(v);
    } else if (arg == "--address" && hasValue && number(argv[++i], 255, v)) {
      config.address = static_cast<uint8_t>(v);
    } else if (arg == "--model" && hasValue && number(argv[++i], 255, v)) {
      config.model = static_cast<uint8_t>(v);
    } else {
      usage();
      return 2;
    }
  }
  if (interfaces.empty()) {
    usage();
    return 2;
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  devsim::Device device(config);
  devsim::TcpFrontEnd tcp(device, static_cast<uint16_t>(port));
  if (!tcp.ok()) {
    std::fprintf(stderr, "devsim-discoverable: cannot listen on 127.0.0.1:%lu\n", port);
    return 1;
  }
  devsim::DiscoveryIdentity identity;
  identity.serial = config.serial;
  identity.address = config.address;
  identity.model = config.model;
  identity.tcpPort = tcp.port();
  devsim::DiscoveryResponder responder(interfaces, identity, htonl(INADDR_LOOPBACK));
  if (!responder.ok()) {
    std::fprintf(stderr, "devsim-discoverable: cannot join the discovery group\n");
    return 1;
  }
  std::printf("tcp 127.0.0.1 %u\nready\n", tcp.port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  return 0;
}

// devsim_fw: a simulated module that can be updated, as a separate process, for the
// end-to-end tests, the demo and the benchmark. It serves the module on 127.0.0.1,
// optionally answers TCP/IP discovery, and writes its flash and counters into the dump
// directory on SIGUSR1 and when it ends (SIGINT, SIGTERM).
#include <arpa/inet.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/sim/upgrade/UpgradeSim.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: devsim_fw [options]\n"
               "  --tcp PORT            listen on 127.0.0.1:PORT (default 0: a free port)\n"
               "  --serial HEX --address N --model N --version HEX --build N --features HEX\n"
               "  --discovery IPV4      answer TCP/IP discovery heard on that interface (repeatable)\n"
               "  --advertise-port N    name this TCP port in discovery replies instead of the real one\n"
               "  --accept POLICY       replace (default), one-host (busy with the first host: later\n"
               "                        connections are accepted and closed) or none (all closed)\n"
               "  --behind ADDR:SERIAL[:MODEL]  a module behind this one (router mode; repeatable)\n"
               "  --block-size N        block size named to PREPARE (default 256)\n"
               "  --uei                 accept firmware pieces as UEI byte sequences\n"
               "  --load-leave MS       after LOAD leave the link for MS, acknowledge on return\n"
               "  --reboot-leave MS     after REBOOT leave the link for MS (default 1500; -1 keeps it)\n"
               "  --never-return        once gone, never listen again\n"
               "  --wrong-count N --wrong-sum N --bad-prepare N --bad-write N --bad-sum N\n"
               "                        spoil that many replies (-1: all)\n"
               "  --fail-piece HEX      every SUM of the firmware piece at that address is wrong\n"
               "  --taken-over OPT:N    once the Nth request of option OPT is answered, another host\n"
               "                        takes the module and writes a piece of zeros at the first\n"
               "                        loader (or firmware) address\n"
               "  --silent OPT:N        swallow N requests of option OPT (-1: all)\n"
               "  --short OPT:N         cut N replies of option OPT to their first bytes\n"
               "  --dump DIR            write SERIAL.flash, SERIAL.loader, SERIAL.stats there\n"
               "  --trace               also write SERIAL.packets (every packet received, timed)\n"
               "Prints \"tcp 127.0.0.1 <port>\", then \"ready\".\n");
}

bool number(const char* text, long long min, long long max, long long& out, int base = 0) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(text, &end, base);
  return text[0] != '\0' && *end == '\0' && errno == 0 && out >= min && out <= max;
}

bool pair(const char* text, long long& first, long long& second) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return false;
  const std::string head(text, colon);
  return number(head.c_str(), 0, 255, first) && number(colon + 1, -1, 1000000, second);
}

}  // namespace

int main(int argc, char** argv) {
  devsim::upgrade::SimOptions options;
  options.module.version = 0x2C000003;   // 2.12.3 in the packed form of the family
  std::vector<uint32_t> discovery;
  std::string dumpDir;
  long long advertisedPort = -1;
  devsim::upgrade::Faults& f = options.upgrade.faults;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long long v = 0, w = 0;
    bool good = true;
    if (arg == "--uei") {
      options.upgrade.acceptUeiData = true;
      continue;
    }
    if (arg == "--trace") {
      options.trace = true;
      continue;
    }
    if (arg == "--never-return") {
      options.neverReturn = true;
      continue;
    }
    if (value == nullptr) good = false;
    else if (arg == "--tcp" && (good = number(value, 0, 65535, v))) options.tcpPort = static_cast<uint16_t>(v);
    else if (arg == "--serial" && (good = number(value, 1, 0xFFFFFFFFll, v, 16))) options.module.serial = static_cast<uint32_t>(v);
    else if (arg == "--address" && (good = number(value, 0, 255, v))) options.module.address = static_cast<uint8_t>(v);
    else if (arg == "--model" && (good = number(value, 0, 255, v))) options.module.model = static_cast<uint8_t>(v);
    else if (arg == "--version" && (good = number(value, 0, 0xFFFFFFFFll, v, 16))) options.module.version = static_cast<uint32_t>(v);
    else if (arg == "--build" && (good = number(value, 0, 0xFFFFFFFFll, v))) options.module.build = static_cast<uint32_t>(v);
    else if (arg == "--features" && (good = number(value, 0, 0xFFFFFFFFll, v, 16))) options.module.features = static_cast<uint32_t>(v);
    else if (arg == "--advertise-port" && (good = number(value, 0, 65535, v))) advertisedPort = v;
    else if (arg == "--block-size" && (good = number(value, 0, 65535, v))) options.upgrade.blockSize = static_cast<uint16_t>(v);
    else if (arg == "--load-leave" && (good = number(value, 0, 600000, v))) options.loadLeaveMs = static_cast<int>(v);
    else if (arg == "--reboot-leave" && (good = number(value, -1, 600000, v))) options.rebootLeaveMs = static_cast<int>(v);
    else if (arg == "--wrong-count" && (good = number(value, -1, 1000000, v))) f.wrongCount = static_cast<int>(v);
    else if (arg == "--wrong-sum" && (good = number(value, -1, 1000000, v))) f.wrongSum = static_cast<int>(v);
    else if (arg == "--bad-prepare" && (good = number(value, -1, 1000000, v))) f.badPrepare = static_cast<int>(v);
    else if (arg == "--bad-write" && (good = number(value, -1, 1000000, v))) f.badWrite = static_cast<int>(v);
    else if (arg == "--bad-sum" && (good = number(value, -1, 1000000, v))) f.badSum = static_cast<int>(v);
    else if (arg == "--fail-piece" && (good = number(value, 0, 0xFFFFFFFFll, v, 16))) f.failFirmwareAddress = static_cast<uint32_t>(v);
    else if (arg == "--silent" && (good = pair(value, v, w))) {
      f.silentOption = static_cast<int>(v);
      f.silent = static_cast<int>(w);
    } else if (arg == "--taken-over" && (good = pair(value, v, w) && w > 0)) {
      options.upgrade.takenOverOption = static_cast<int>(v);
      options.upgrade.takenOverAt = static_cast<unsigned>(w);
    } else if (arg == "--short" && (good = pair(value, v, w))) {
      f.shortOption = static_cast<int>(v);
      f.shortReply = static_cast<int>(w);
    } else if (arg == "--accept") {
      good = devsim::parseAccept(value, options.accept);
    } else if (arg == "--dump") {
      dumpDir = value;
    } else if (arg == "--discovery") {
      in_addr a{};
      good = inet_pton(AF_INET, value, &a) == 1;
      discovery.push_back(a.s_addr);
    } else if (arg == "--behind") {
      unsigned address = 0, model = options.module.model;
      unsigned long serial = 0;
      const int n = std::sscanf(value, "%u:%lx:%u", &address, &serial, &model);
      good = n >= 2 && address > 0 && address < 256 && (address % 2) == 0 && serial != 0 && model < 256;
      devsim::upgrade::BehindModule b;
      b.address = static_cast<uint8_t>(address);
      b.serial = static_cast<uint32_t>(serial);
      b.model = static_cast<uint8_t>(model);
      options.behind.push_back(b);
    } else {
      good = false;
    }
    if (!good) {
      usage();
      return 2;
    }
    i++;
  }

  // Only sigwait sees these: block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  devsim::upgrade::UpgradeSim sim(options);
  if (!sim.ok()) {
    std::fprintf(stderr, "devsim_fw: cannot listen on 127.0.0.1:%u\n", options.tcpPort);
    return 1;
  }
  std::unique_ptr<devsim::DiscoveryResponder> responder;
  if (!discovery.empty()) {
    devsim::DiscoveryIdentity m;
    m.serial = options.module.serial;
    m.address = options.module.address;
    m.model = options.module.model;
    m.tcpPort = advertisedPort >= 0 ? static_cast<uint16_t>(advertisedPort) : sim.port();
    // Replies leave from 127.0.0.1: the host takes the sender's address as the module's.
    responder = std::make_unique<devsim::DiscoveryResponder>(discovery, m, htonl(INADDR_LOOPBACK));
    if (!responder->ok()) {
      std::fprintf(stderr, "devsim_fw: cannot answer discovery on the interfaces given\n");
      return 1;
    }
  }
  std::printf("tcp 127.0.0.1 %u\nready\n", sim.port());
  std::fflush(stdout);

  for (;;) {
    int signal = 0;
    sigwait(&signals, &signal);
    if (!dumpDir.empty() && !sim.dump(dumpDir)) std::fprintf(stderr, "devsim_fw: cannot write into %s\n", dumpDir.c_str());
    if (signal != SIGUSR1) break;
  }
  return 0;
}

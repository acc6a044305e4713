// devsim: a simulated device module as a separate process, for end-to-end tests and
// the demo. It serves one module (the model's entities included) over a loopback TCP
// port and/or a pty pair, and when asked answers TCP/IP discovery for the TCP port,
// until it receives SIGINT or SIGTERM; SIGUSR1 ends endless runs of continued replies.
// Discovery sends datagrams: give it only interfaces of a private network namespace.
#include <arpa/inet.h>
#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/sim/SimDevice.h"
#include "tests/sim/SimFrontEnd.h"
#include "tests/sim/model/ModelModule.h"
#include "tests/sim/model/ModelNetwork.h"

namespace {

using devsim::model::FactoryPacket;
using devsim::model::ReplyFault;
using Bytes = std::vector<uint8_t>;

void usage() {
  std::fprintf(stderr,
               "usage: devsim [--tcp PORT] [--pty] [--address N] [--model N] [--serial HEX]\n"
               "              [--heartbeat-ms N] [--split] [--delay-ms N] [--drop N]\n"
               "              [--no-sync] [--sync-address N] [--discovery IPV4]... [--accept POLICY]\n"
               "              [--no-model-answer] [--unsolicited HEX[:N]]\n"
               "              [--stream-period-ms N] [--stream-timestamp N] [--continued CMD:OPT:N]...\n"
               "              [--slot STORE:SLOT:CAPACITY[:HEX]]... [--slot-fault OP:FAULT]...\n"
               "              [--factory SLOT:HEX]... [--factory-fault read|write|end:FAULT]...\n"
               "  --tcp PORT        listen on 127.0.0.1:PORT (0 picks a free port)\n"
               "  --pty             open a pty pair; the host opens the printed path\n"
               "  --discovery IPV4  answer TCP/IP discovery heard on that interface address, naming\n"
               "                    127.0.0.1 and the TCP port (repeatable; without --tcp, --tcp 0)\n"
               "  --accept POLICY   replace (a new connection replaces the served one; default),\n"
               "                    one-host (while one is served, new ones are accepted and closed)\n"
               "                    or none (every connection is accepted and closed at once)\n"
               "  --no-model-answer never answer the model query\n"
               "  --unsolicited HEX[:N]  send this packet (wire form: address, length, data) just\n"
               "                    before the reply to each of the next N requests (default: all)\n"
               "  --stream-period-ms N   stream sample period (default 100; 0: none)\n"
               "  --stream-timestamp N   fixed timestamp of every sample (default: the module's clock)\n"
               "  --continued CMD:OPT:N  answer GETs of that option with N continued packets and a\n"
               "                    final one; N = -1: continued packets until SIGUSR1\n"
               "  --slot STORE:SLOT:CAPACITY[:HEX]  make or reshape a store slot, with contents\n"
               "  --factory SLOT:HEX     contents of a factory-data slot\n"
               "  FAULT: KIND[:SKIP[:COUNT]] with KIND refuse=CODE, nocode, wrongsum, short, long or\n"
               "         silent; SKIP requests answered normally first, then COUNT faulty (-1: all)\n"
               "Prints \"tcp 127.0.0.1 <port>\" and/or \"pty <path>\", then \"ready\".\n");
}

bool number(const char* text, unsigned long max, unsigned long& out, int base = 0) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, base);
  return text[0] != '\0' && text[0] != '-' && *end == '\0' && errno == 0 && out <= max;
}

bool field(const std::string& text, long long min, long long max, long long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(text.c_str(), &end, 0);
  return !text.empty() && *end == '\0' && errno == 0 && out >= min && out <= max;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

bool hexBytes(const std::string& text, Bytes& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    long long v = 0;
    const std::string pair = "0x" + text.substr(i, 2);
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !field(pair, 0, 255, v))
      return false;
    out.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// KIND[:SKIP[:COUNT]] from parts[first] on.
bool fault(const std::vector<std::string>& parts, size_t first, ReplyFault& out) {
  if (parts.size() <= first || parts.size() > first + 3) return false;
  const std::string& kind = parts[first];
  long long v = 0;
  if (kind.compare(0, 7, "refuse=") == 0 && field(kind.substr(7), 0, 255, v)) {
    out.kind = ReplyFault::kRefuse;
    out.code = static_cast<uint8_t>(v);
  } else if (kind == "nocode") {
    out.kind = ReplyFault::kNoCode;
  } else if (kind == "wrongsum") {
    out.kind = ReplyFault::kWrongSum;
  } else if (kind == "short") {
    out.kind = ReplyFault::kShort;
  } else if (kind == "long") {
    out.kind = ReplyFault::kLong;
  } else if (kind == "silent") {
    out.kind = ReplyFault::kSilent;
  } else {
    return false;
  }
  if (parts.size() > first + 1) {
    if (!field(parts[first + 1], 0, 1000000, v)) return false;
    out.skip = static_cast<unsigned>(v);
  }
  if (parts.size() > first + 2) {
    if (!field(parts[first + 2], -1, 1000000, v)) return false;
    out.count = static_cast<int>(v);
  }
  return true;
}

// What the command line asks of the model module, applied once it exists.
struct ModelSettings {
  std::optional<uint32_t> periodMs;
  std::optional<uint64_t> timestamp;
  std::vector<std::pair<std::pair<uint8_t, uint8_t>, int>> continued;
  struct Slot {
    uint8_t store, slot;
    uint16_t capacity;
    Bytes bytes;
  };
  std::vector<Slot> slots;
  std::vector<std::pair<uint8_t, ReplyFault>> slotFaults;
  std::vector<std::pair<uint8_t, Bytes>> factory;
  std::vector<std::pair<FactoryPacket, ReplyFault>> factoryFaults;
};

bool modelOption(const std::string& arg, const std::string& value, devsim::Config& config, ModelSettings& m) {
  const std::vector<std::string> parts = split(value);
  long long a = 0, b = 0, c = 0;
  if (arg == "--unsolicited") {
    Bytes packet;
    if (parts.size() > 2 || !hexBytes(parts[0], packet) || packet.size() < 2 || packet[1] + 2u != packet.size()) return false;
    config.unsolicited.address = packet[0];
    config.unsolicited.data.assign(packet.begin() + 2, packet.end());
    config.unsolicitedCount = -1;
    if (parts.size() == 2) {
      if (!field(parts[1], -1, 1000000, a)) return false;
      config.unsolicitedCount = static_cast<int>(a);
    }
    return true;
  }
  if (arg == "--stream-period-ms") {
    if (!field(value, 0, 3600000, a)) return false;
    m.periodMs = static_cast<uint32_t>(a);
    return true;
  }
  if (arg == "--stream-timestamp") {
    unsigned long long t = 0;
    char* end = nullptr;
    errno = 0;
    t = std::strtoull(value.c_str(), &end, 0);
    if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0) return false;
    m.timestamp = t;
    return true;
  }
  if (arg == "--continued") {
    if (parts.size() != 3 || !field(parts[0], 0, 255, a) || !field(parts[1], 0, 63, b) || !field(parts[2], -1, 100000, c))
      return false;
    m.continued.push_back({{static_cast<uint8_t>(a), static_cast<uint8_t>(b)}, static_cast<int>(c)});
    return true;
  }
  if (arg == "--slot") {
    ModelSettings::Slot s{};
    if (parts.size() < 3 || parts.size() > 4 || !field(parts[0], 0, 255, a) || !field(parts[1], 0, 255, b) ||
        !field(parts[2], 0, 65535, c) || (parts.size() == 4 && !hexBytes(parts[3], s.bytes)) ||
        s.bytes.size() > static_cast<size_t>(c))
      return false;
    s.store = static_cast<uint8_t>(a);
    s.slot = static_cast<uint8_t>(b);
    s.capacity = static_cast<uint16_t>(c);
    m.slots.push_back(std::move(s));
    return true;
  }
  if (arg == "--slot-fault") {
    ReplyFault f;
    if (!field(parts[0], 1, 127, a) || !fault(parts, 1, f)) return false;
    m.slotFaults.push_back({static_cast<uint8_t>(a), f});
    return true;
  }
  if (arg == "--factory") {
    Bytes bytes;
    if (parts.size() != 2 || !field(parts[0], 0, 15, a) || !hexBytes(parts[1], bytes)) return false;
    m.factory.push_back({static_cast<uint8_t>(a), std::move(bytes)});
    return true;
  }
  if (arg == "--factory-fault") {
    ReplyFault f;
    FactoryPacket which;
    if (parts[0] == "read") which = devsim::model::kFactoryRead;
    else if (parts[0] == "write") which = devsim::model::kFactoryWrite;
    else if (parts[0] == "end") which = devsim::model::kFactoryEnd;
    else return false;
    if (!fault(parts, 1, f)) return false;
    m.factoryFaults.push_back({which, f});
    return true;
  }
  return false;
}

void apply(const ModelSettings& m, devsim::model::Module& module) {
  if (m.periodMs) module.setSamplePeriodMs(*m.periodMs);
  if (m.timestamp) module.setStreamTimestamp(*m.timestamp);
  for (const auto& c : m.continued) module.continueReplies(c.first.first, c.first.second, c.second);
  for (const auto& s : m.slots) module.setSlot(s.store, s.slot, s.capacity, s.bytes);
  for (const auto& f : m.slotFaults) module.failSlot(f.first, f.second);
  for (const auto& f : m.factory) module.setFactoryData(f.first, f.second);
  for (const auto& f : m.factoryFaults) module.failFactory(f.first, f.second);
}

}  // namespace

int main(int argc, char** argv) {
  devsim::Config config;
  ModelSettings settings;
  long tcpPort = -1;
  bool pty = false;
  devsim::TcpFrontEnd::Accept accept = devsim::TcpFrontEnd::Accept::kReplace;
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
    } else if (arg == "--no-model-answer") {
      config.answerModelQuery = false;
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
    } else if (arg == "--accept" && hasValue && devsim::parseAccept(argv[++i], accept)) {
    } else if (arg == "--discovery" && hasValue && inet_pton(AF_INET, argv[++i], &a) == 1) {
      discovery.push_back(a.s_addr);
    } else if (hasValue && modelOption(arg, argv[i + 1], config, settings)) {
      i++;
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

  // Block the signals before any thread starts, so that only sigwait sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  devsim::Device device(config);
  std::shared_ptr<devsim::model::Network> network = devsim::model::Network::install(device);
  apply(settings, *network->front());
  std::unique_ptr<devsim::TcpFrontEnd> tcp;
  std::unique_ptr<devsim::PtyFrontEnd> ptyEnd;
  std::unique_ptr<devsim::DiscoveryResponder> responder;
  if (tcpPort >= 0) {
    tcp = std::make_unique<devsim::TcpFrontEnd>(device, static_cast<uint16_t>(tcpPort), accept);
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

  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0 || signal != SIGUSR1) break;
    network->front()->stopContinuedReplies();
  }
  return 0;
}

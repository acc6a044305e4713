// update_bench: a full `Updater -U` of a 256 KiB firmware image over TCP loopback
// against devsim_fw, in DATA packets and in UEI byte sequences with pooled packets,
// beside a raw client measured in the same run: single-threaded, no library, the same
// packets in the same order over one TCP socket to the same simulated module (the
// bench checks the order against the module's packet trace). Both are timed by the
// module, from the first packet it receives to REBOOT, so process start, discovery and
// the wait for the reboot stay out of the comparison; and from the module's accept of
// the TCP connection to the moment the client has seen the link drop after REBOOT (the
// raw client reading the connection's end, the Updater printing its "Update time",
// which it does once its link is down), which adds the link's start and the reboot wait.
// Run as root: it makes a network namespace of its own, since the Updater finds the
// module by discovery. Pin it with `taskset -c N` to see the software cost alone
// (children inherit the affinity).
//   update_bench [--rounds N]
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/CpuUse.h"
#include "bench/RawUpgradeClient.h"
#include "tests/e2e/FirmwareBuild.h"
#include "tests/support/SimProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr size_t kImageSize = 256 * 1024;
constexpr uint8_t kFirmwareFlags = 1;   // as FirmwareBuild marks its first block

// The module's packet trace: each packet's wire bytes in order, and the time from the
// first packet to REBOOT (0x5F 0x06) in milliseconds.
struct Trace {
  std::vector<std::string> packets;
  long spanMs = -1;
};

Trace readTrace(const std::string& path) {
  Trace t;
  std::ifstream in(path);
  std::string line;
  long first = -1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long at = 0;
    fields >> at;
    std::string bytes;
    std::getline(fields, bytes);
    if (first < 0) first = at;
    t.packets.push_back(bytes);
    if (bytes.size() >= 12 && bytes.compare(bytes.size() - 6, 6, " 5F 06") == 0) t.spanMs = at - first;
  }
  return t;
}

double steadyMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Outcome {
  bool ok = false;
  Trace trace;
  double connectToDropMs = -1;   // from the module's accept to the client seeing the drop
  double ownSeconds = 0;   // the Updater's "Update time", or the raw client's own clock
  long roundTrips = 0;
  long switches = 0;
  double cpuSeconds = 0;   // the whole Updater process, or the raw client's thread
};

std::vector<std::string> simArguments(const std::string& dumpDir, bool uei) {
  std::vector<std::string> args = {"--serial", e2e::hex8(kSerial), "--discovery", nettest::kFirstAddress, "--dump",
                                   dumpDir,    "--reboot-leave",   "300",          "--trace"};
  if (uei) args.insert(args.end(), {"--uei", "--features", "80000000"});
  return args;
}

std::string statsOf(const std::string& dumpDir) { return dumpDir + "/" + e2e::hex8(kSerial) + ".stats"; }

// The Updater with its standard output and error on a pipe read here, so that the
// moment its "Update time" line comes is known (steady clock, ms).
struct TimedRun {
  int status = -1;
  std::string out;
  double updateEndMs = 0;
};

TimedRun runTimed(const std::vector<std::string>& args, int timeoutMs) {
  TimedRun run;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return run;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return run;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(UPDATER_BINARY, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  const double deadline = steadyMs() + timeoutMs;
  char buffer[4096];
  for (;;) {
    const double left = deadline - steadyMs();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    run.out.append(buffer, static_cast<size_t>(n));
    if (run.updateEndMs == 0 && run.out.find("Update time: ") != std::string::npos) run.updateEndMs = steadyMs();
  }
  close(pipeFds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

long roundTripsOf(const std::string& dumpDir) {
  const std::string stats = statsOf(dumpDir);
  auto v = [&](const char* key) { return std::max(0L, testsupport::statValue(stats, key)); };
  // Every awaited reply is one round trip; a UEI byte sequence is one too (one
  // acknowledgement), and there is one per written piece.
  long n = v("init") + v("prepare") + v("data") + v("sum") + v("write") + v("load");
  if (v("data_uei") > 0) n += v("write");
  return n;
}

Outcome runUpdater(const std::string& bird, const std::string& dumpDir, const std::string& store, bool uei) {
  Outcome o;
  testsupport::SimProcess sim;
  if (!sim.start(DEVSIM_FW_BINARY, simArguments(dumpDir, uei))) {
    std::fprintf(stderr, "update_bench: %s\n", sim.error().c_str());
    return o;
  }
  std::vector<std::string> updater = {"Updater", "-U",  "-d", e2e::hex8(kSerial), "-f",
                                      bird,      "-i",  store, "-u", "http://127.0.0.1:9/cgi/u"};
  if (uei) updater.insert(updater.end(), {"-m", "1"});
  const benchnet::CpuUse before = benchnet::cpuUse(RUSAGE_CHILDREN);
  const TimedRun r = runTimed(updater, 300000);
  const benchnet::CpuUse after = benchnet::cpuUse(RUSAGE_CHILDREN);
  o.switches = after.switches - before.switches;
  o.cpuSeconds = after.seconds - before.seconds;
  sim.stop();
  const size_t at = r.out.find("Update time: ");
  if (r.status != 0 || at == std::string::npos) {
    std::fprintf(stderr, "update_bench: the update failed\n%s\n", r.out.c_str());
    return o;
  }
  o.ownSeconds = std::strtod(r.out.c_str() + at + 13, nullptr);
  o.trace = readTrace(dumpDir + "/" + e2e::hex8(kSerial) + ".packets");
  o.roundTrips = roundTripsOf(dumpDir);
  o.connectToDropMs = r.updateEndMs - static_cast<double>(testsupport::statValue(statsOf(dumpDir), "first_connection_ms"));
  o.ok = o.trace.spanMs >= 0;
  return o;
}

Outcome runRaw(const rawclient::Plan& plan, const std::string& dumpDir, bool uei) {
  Outcome o;
  testsupport::SimProcess sim;
  if (!sim.start(DEVSIM_FW_BINARY, simArguments(dumpDir, uei))) {
    std::fprintf(stderr, "update_bench: %s\n", sim.error().c_str());
    return o;
  }
  const rawclient::Result r = rawclient::run(static_cast<uint16_t>(sim.port()), plan);
  sim.stop();
  if (!r.ok) {
    std::fprintf(stderr, "update_bench: the raw client failed: %s\n", r.error.c_str());
    return o;
  }
  o.ownSeconds = r.seconds;
  o.switches = r.contextSwitches;
  o.cpuSeconds = r.cpuSeconds;
  o.trace = readTrace(dumpDir + "/" + e2e::hex8(kSerial) + ".packets");
  o.roundTrips = roundTripsOf(dumpDir);
  o.connectToDropMs = r.droppedMs - static_cast<double>(testsupport::statValue(statsOf(dumpDir), "first_connection_ms"));
  o.ok = o.trace.spanMs >= 0;
  return o;
}

template <typename T>
double median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? static_cast<double>(values[n / 2]) : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Index of the first packet where the two traces differ, or -1.
long firstDifference(const Trace& a, const Trace& b) {
  const size_t n = std::min(a.packets.size(), b.packets.size());
  for (size_t i = 0; i < n; i++)
    if (a.packets[i] != b.packets[i]) return static_cast<long>(i);
  return a.packets.size() == b.packets.size() ? -1 : static_cast<long>(n);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[2]));
  const nettest::Entry network = nettest::enterPrivateNetwork(true);
  if (network.outcome != nettest::Entry::kEntered) {
    std::fprintf(stderr, "update_bench: %s\n", network.reason.c_str());
    return 1;
  }
  testsupport::TempDir dir;
  const e2e::FirmwareBuild build("9000", "2.12.3", 5, "Hemblork", kImageSize, 0);
  birdgen::writeFile(dir.sub("9000.bird"), build.file);
  rawclient::Plan plan;
  plan.loader.push_back({e2e::kLoaderAddress, 0, build.loader});
  plan.firmware.push_back({e2e::kFirmwareAddress, kFirmwareFlags, build.flash(kSerial)});

  std::printf("medians of %d rounds; ratio range: lowest and highest of the rounds' ratios\n", rounds);
  std::printf("A: from the module's first packet to REBOOT\n");
  std::printf("%-24s %9s %9s %7s %13s %11s %13s %15s %13s\n", "mode (256 KiB image)", "project", "raw", "ratio",
              "ratio range", "round trips", "switches/rt", "cpu us/rt", "updater says");
  std::vector<std::string> secondTable;
  for (const bool uei : {false, true}) {
    plan.ueiPooled = uei;
    std::vector<double> project, raw, ratios, projectDrop, rawDrop, dropRatios;
    std::vector<double> projectSwitches, rawSwitches, own, projectCpu, rawCpu;
    long roundTrips = 0;
    for (int i = 0; i < rounds; i++) {
      const std::string tag = std::to_string(uei) + "-" + std::to_string(i);
      const std::string dumpA = dir.sub("dump-updater-" + tag), dumpB = dir.sub("dump-raw-" + tag);
      const std::string store = dir.sub("store-" + tag);
      if (std::system(("mkdir -p " + dumpA + " " + dumpB + " " + store).c_str()) != 0) return 1;
      const Outcome a = runUpdater(dir.sub("9000.bird"), dumpA, store, uei);
      const Outcome b = runRaw(plan, dumpB, uei);
      if (!a.ok || !b.ok) return 1;
      const long diff = firstDifference(a.trace, b.trace);
      if (diff >= 0) {
        std::fprintf(stderr, "update_bench: the raw client's packets differ from the updater's at packet %ld:\n"
                     "  updater:%s\n  raw:    %s\n", diff,
                     diff < static_cast<long>(a.trace.packets.size()) ? a.trace.packets[diff].c_str() : " (none)",
                     diff < static_cast<long>(b.trace.packets.size()) ? b.trace.packets[diff].c_str() : " (none)");
        return 1;
      }
      project.push_back(static_cast<double>(a.trace.spanMs));
      raw.push_back(static_cast<double>(b.trace.spanMs));
      ratios.push_back(static_cast<double>(a.trace.spanMs) / static_cast<double>(b.trace.spanMs));
      projectDrop.push_back(a.connectToDropMs);
      rawDrop.push_back(b.connectToDropMs);
      dropRatios.push_back(a.connectToDropMs / b.connectToDropMs);
      roundTrips = a.roundTrips;
      projectSwitches.push_back(static_cast<double>(a.switches) / static_cast<double>(a.roundTrips));
      rawSwitches.push_back(static_cast<double>(b.switches) / static_cast<double>(b.roundTrips));
      own.push_back(a.ownSeconds);
      projectCpu.push_back(a.cpuSeconds * 1e6 / static_cast<double>(a.roundTrips));
      rawCpu.push_back(b.cpuSeconds * 1e6 / static_cast<double>(b.roundTrips));
    }
    const char* mode = uei ? "UEI sequences, pooled" : "DATA packets";
    char switches[32], cpu[32], range[32];
    std::snprintf(switches, sizeof switches, "%.2f / %.2f", median(projectSwitches), median(rawSwitches));
    std::snprintf(cpu, sizeof cpu, "%.1f / %.1f", median(projectCpu), median(rawCpu));
    std::snprintf(range, sizeof range, "%.2f-%.2f", *std::min_element(ratios.begin(), ratios.end()),
                  *std::max_element(ratios.begin(), ratios.end()));
    std::printf("%-24s %7.0fms %7.0fms %7.2f %13s %11ld %13s %15s %11.3f s\n", mode, median(project), median(raw),
                median(ratios), range, roundTrips, switches, cpu, median(own));
    char line[160];
    std::snprintf(range, sizeof range, "%.2f-%.2f", *std::min_element(dropRatios.begin(), dropRatios.end()),
                  *std::max_element(dropRatios.begin(), dropRatios.end()));
    std::snprintf(line, sizeof line, "%-24s %7.0fms %7.0fms %7.2f %13s", mode, median(projectDrop), median(rawDrop),
                  median(dropRatios), range);
    secondTable.push_back(line);
  }
  std::printf("B: from the module's accept of the TCP connection to the client seeing the link drop\n");
  std::printf("%-24s %9s %9s %7s %13s\n", "mode (256 KiB image)", "project", "raw", "ratio", "ratio range");
  for (const std::string& line : secondTable) std::printf("%s\n", line.c_str());
  std::printf("(switches/rt and cpu us/rt: the whole Updater process (start, discovery and the reboot\n"
              " wait included) / the raw client's thread, per round trip; updater says: its own\n"
              " \"Update time\", discovery and the reboot wait included)\n");
  return 0;
}

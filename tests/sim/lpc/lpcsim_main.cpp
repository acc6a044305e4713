// lpcsim: an LPC17xx boot ROM in ISP mode on a pty pair, as a separate process, for
// peers that must run against it from outside (the independent ISP tool, the demo, by
// hand). It prints "pty <path>" and "ready", then serves until SIGINT or SIGTERM.
// SIGUSR1 writes the dump, SIGUSR2 resets the chip (autobaud again, flash kept).
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/sim/lpc/PtyChip.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: lpcsim [--serial W0,W1,W2,W3] [--part-id HEX] [--erase-ms N] [--pace]\n"
               "              [--fail LETTER:CODE:TIMES]... [--resend-once] [--silent] [--dump DIR]\n"
               "  --serial      the four words of the N answer, hexadecimal\n"
               "  --erase-ms    how long one E command takes (default 100)\n"
               "  --pace        take and send bytes at the line rate\n"
               "  --fail        answer the next TIMES commands of LETTER with CODE\n"
               "  --resend-once answer the next W checksum with RESEND\n"
               "  --silent      take every byte and answer nothing\n"
               "  --dump DIR    on SIGUSR1 and at exit write DIR/flash.bin, commands.txt, go.txt\n");
}

bool number(const char* text, unsigned long max, unsigned long& out, int base) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, base);
  return text[0] != '\0' && *end == '\0' && errno == 0 && out <= max;
}

bool serialWords(const std::string& text, std::array<uint32_t, 4>& words) {
  size_t at = 0;
  for (int i = 0; i < 4; i++) {
    const size_t comma = text.find(',', at);
    if ((i < 3) != (comma != std::string::npos)) return false;
    const std::string part = text.substr(at, i < 3 ? comma - at : std::string::npos);
    unsigned long v = 0;
    if (!number(part.c_str(), 0xFFFFFFFFul, v, 16)) return false;
    words[static_cast<size_t>(i)] = static_cast<uint32_t>(v);
    at = comma + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  lpcsim::ChipOptions options;
  bool pace = false, silent = false, resend = false;
  std::string dump;
  struct Failure {
    char letter;
    int code;
    int times;
  };
  std::vector<Failure> failures;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    unsigned long v = 0;
    if (arg == "--pace") {
      pace = true;
    } else if (arg == "--silent") {
      silent = true;
    } else if (arg == "--resend-once") {
      resend = true;
    } else if (arg == "--serial" && hasValue && serialWords(argv[++i], options.serial)) {
    } else if (arg == "--part-id" && hasValue && number(argv[++i], 0xFFFFFFFFul, v, 16)) {
      options.partId = static_cast<uint32_t>(v);
    } else if (arg == "--erase-ms" && hasValue && number(argv[++i], 600000, v, 10)) {
      options.eraseMs = static_cast<uint32_t>(v);
    } else if (arg == "--dump" && hasValue) {
      dump = argv[++i];
    } else if (arg == "--fail" && hasValue) {
      const std::string spec = argv[++i];
      unsigned long code = 0, times = 0;
      const size_t second = spec.find(':', 2);
      if (spec.size() < 5 || spec[1] != ':' || second == std::string::npos ||
          !number(spec.substr(2, second - 2).c_str(), 255, code, 10) ||
          !number(spec.substr(second + 1).c_str(), 1000000, times, 10)) {
        usage();
        return 2;
      }
      failures.push_back(Failure{spec[0], static_cast<int>(code), static_cast<int>(times)});
    } else {
      usage();
      return 2;
    }
  }

  // The signals are taken by sigwait below, never by a handler.
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  lpcsim::PtyChip sim(options);
  if (!sim.ok()) {
    std::fprintf(stderr, "lpcsim: cannot open a pty pair\n");
    return 1;
  }
  sim.setPacing(pace);
  sim.with([&](lpcsim::IspChip& chip) {
    chip.setSilent(silent);
    if (resend) chip.resendOnce();
    for (const Failure& f : failures) chip.failCommand(f.letter, f.code, f.times);
  });
  std::printf("pty %s\nready\n", sim.path().c_str());
  std::fflush(stdout);

  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == SIGUSR2) {
      sim.reset();
      continue;
    }
    if (!dump.empty() && !sim.writeDump(dump)) std::fprintf(stderr, "lpcsim: cannot write the dump to %s\n", dump.c_str());
    if (signal == SIGUSR1) continue;
    return 0;
  }
}

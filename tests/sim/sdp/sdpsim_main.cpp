// The simulated boot ROM on a pty, for runs by hand and for peers run from scripts:
//   sdpsim [--baud N] [--hab-closed] [--drop-status N] [--stray] [--completion HEX]
//          [--banner TEXT] [--dump FILE]
// Prints "pty <path>" and "ready", serves until SIGINT or SIGTERM, then writes the
// record (memory written, jump address) to FILE or standard output.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "tests/sim/sdp/SdpRom.h"
#include "tests/sim/sdp/SdpSerialPty.h"

int main(int argc, char** argv) {
  sdpsim::Knobs knobs;
  uint32_t baud = 0;
  std::string dump;
  std::string banner;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--baud" && more) {
      baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--hab-closed") {
      knobs.habClosed = true;
    } else if (a == "--drop-status" && more) {
      knobs.dropStatusAnswers = std::atoi(argv[++i]);
    } else if (a == "--stray") {
      knobs.strayDuringImage = true;
    } else if (a == "--completion" && more) {
      knobs.completionWord = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 16));
    } else if (a == "--banner" && more) {
      banner = argv[++i];
    } else if (a == "--dump" && more) {
      dump = argv[++i];
    } else {
      std::fprintf(stderr, "usage: sdpsim [--baud N] [--hab-closed] [--drop-status N] [--stray] "
                           "[--completion HEX] [--banner TEXT] [--dump FILE]\n");
      return 2;
    }
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  sdpsim::Rom rom(knobs);
  {
    sdpsim::SerialPty pty(rom, baud, std::vector<uint8_t>(banner.begin(), banner.end()));
    std::printf("pty %s\nready\n", pty.path().c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&set, &signal);
  }
  if (dump.empty()) {
    std::cout << rom.dump();
  } else {
    std::ofstream(dump) << rom.dump();
  }
  return 0;
}

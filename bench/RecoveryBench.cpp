// recovery_bench: the time of an LPC recovery (`Updater -U -t RECOVER` of a 64 KiB image
// at address 0) against the simulated boot ROM on a pty, beside lpc21isp writing the same
// image (-bin -wipe) in the same run: once with the simulator as fast as it can go, once
// pacing bytes at 115200 baud, where both are set beside the wire-time floor: the bytes
// that had to cross the line one after the other (echoes leave while their bytes still
// come in) at 11520 bytes a second. The chip's erase (100 ms) is in both runs and not in
// the floor.
//   recovery_bench [--rounds N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/sim/lpc/PtyChip.h"

namespace {

constexpr uint32_t kWords[4] = {0x0BADCAFEu, 0x12345678u, 0x9ABCDEF0u, 0x0F1E2D3Cu};
constexpr size_t kImageSize = 64 * 1024;
constexpr double kLineBytesPerSecond = 11520.0;

double seconds() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

struct Outcome {
  bool ok = false;
  double wallSeconds = 0;
  uint64_t lineBytes = 0;  // bytes that crossed the line in turn
};

uint64_t lineBytes(lpcsim::PtyChip& sim) {
  return sim.with([](lpcsim::IspChip& c) { return c.bytesIn() + c.bytesOut() - c.bytesEchoed(); });
}

Outcome runOnce(lpcsim::PtyChip& sim, const std::string& program, const std::vector<std::string>& args,
                const birdgen::Bytes& image) {
  Outcome o;
  sim.reset();
  sim.with([](lpcsim::IspChip& c) { c.setFlash(0, birdgen::Bytes(lpcsim::kFlashSize, 0x00)); });
  const uint64_t before = lineBytes(sim);
  testsupport::RunOptions options;
  options.timeoutMs = 300000;
  const double start = seconds();
  const testsupport::RunResult r = testsupport::RunProgram(program, args, options);
  o.wallSeconds = seconds() - start;
  // Let the last answers leave before the bytes are counted.
  sim.waitFor([](const lpcsim::IspChip& c) { return c.running(); }, 2000);
  o.lineBytes = lineBytes(sim) - before;
  const birdgen::Bytes flash = sim.flash();
  bool same = r.status == 0;
  for (size_t i = 0; same && i < image.size(); i++)
    if (flash[i] != image[i] && !(program != UPDATER_BINARY && i >= 0x1C && i < 0x20)) same = false;
  if (!same) {
    std::fprintf(stderr, "recovery_bench: %s did not write the image (status %d)\n%s\n%s\n", program.c_str(),
                 r.status, r.out.c_str(), r.err.c_str());
    return o;
  }
  o.ok = true;
  return o;
}

Outcome best(lpcsim::PtyChip& sim, int rounds, const std::string& program, const std::vector<std::string>& args,
             const birdgen::Bytes& image) {
  Outcome b;
  for (int i = 0; i < rounds; i++) {
    const Outcome o = runOnce(sim, program, args, image);
    if (!o.ok) return o;
    if (!b.ok || o.wallSeconds < b.wallSeconds) b = o;
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[2]));
  testsupport::TempDir dir;
  const birdgen::Bytes image = birdgen::randomImage(kImageSize, 64);
  birdgen::BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, birdgen::encodeWithFingerprint(image, kWords)));
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, 0, birdgen::Bytes(4, 0)));
  birdgen::writeFile(dir.sub("rescue.bird"), birdgen::file(layout));
  birdgen::writeFile(dir.sub("image.bin"), image);

  lpcsim::PtyChip sim;
  if (!sim.ok()) {
    std::fprintf(stderr, "recovery_bench: no pty pair\n");
    return 1;
  }
  sim.with([](lpcsim::IspChip& c) { c.setSerial({kWords[0], kWords[1], kWords[2], kWords[3]}); });
  const std::vector<std::string> updater = {"Updater", "-U", "-t", "RECOVER", "-s", sim.path(), "-f",
                                            dir.sub("rescue.bird"), "-i", dir.sub("store"), "-u",
                                            "http://127.0.0.1:9/cgi/u"};
  const std::vector<std::string> peer = {"lpc21isp", "-bin", "-wipe", "-debug0", dir.sub("image.bin"), sim.path(),
                                         "115200", "14746"};

  std::printf("64 KiB image at address 0, best of %d\n", rounds);
  std::printf("%-30s %12s %12s %8s\n", "simulator as fast as it goes", "Updater s", "lpc21isp s", "ratio");
  const Outcome fastOurs = best(sim, rounds, UPDATER_BINARY, updater, image);
  const Outcome fastPeer = best(sim, rounds, LPC21ISP_BINARY, peer, image);
  if (!fastOurs.ok || !fastPeer.ok) return 1;
  std::printf("%-30s %12.3f %12.3f %8.2f\n", "", fastOurs.wallSeconds, fastPeer.wallSeconds,
              fastOurs.wallSeconds / fastPeer.wallSeconds);

  sim.setPacing(true);
  const Outcome pacedOurs = best(sim, rounds, UPDATER_BINARY, updater, image);
  const Outcome pacedPeer = best(sim, rounds, LPC21ISP_BINARY, peer, image);
  sim.setPacing(false);
  if (!pacedOurs.ok || !pacedPeer.ok) return 1;
  std::printf("\npaced at 115200 baud   %10s %12s %10s %12s\n", "time s", "line bytes", "floor s", "time/floor");
  for (const auto& [name, o] : {std::make_pair("Updater", pacedOurs), std::make_pair("lpc21isp", pacedPeer)}) {
    const double floor = static_cast<double>(o.lineBytes) / kLineBytesPerSecond;
    std::printf("%-22s %10.3f %12llu %10.3f %12.3f\n", name, o.wallSeconds,
                static_cast<unsigned long long>(o.lineBytes), floor, o.wallSeconds / floor);
  }
  std::printf("Updater / lpc21isp paced: %.2f\n", pacedOurs.wallSeconds / pacedPeer.wallSeconds);
  return 0;
}

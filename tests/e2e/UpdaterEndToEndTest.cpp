// The real Updater binary against devsim_fw (a simulated module that can be updated)
// and the fake update server, inside a network namespace of the test's own: the
// module is found by TCP/IP discovery and reached on loopback. Each test checks what
// was left behind: the module's flash, the store's files and attributes, the exit
// status.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/discovery/SimDiscoveryResponder.h"
#include "tests/e2e/FirmwareBuild.h"
#include "tests/support/SimProcess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/fakes/FakeUpdateServer.h"
#include "tests/fakes/TestCA.h"
#include "tests/sim/RawHost.h"
#include "tests/support/Files.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace {

using birdgen::Bytes;

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint32_t kBehindSerial = 0xCAFE0001;
using e2e::FirmwareBuild;
using e2e::hex8;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    NETTEST_ENTER_PRIVATE_NETWORK(true);
    server = std::make_unique<FakeUpdateServer>();
    birdgen::writeFile(dir.sub("5000.bird"), latest.file);
    birdgen::writeFile(dir.sub("4000.bird"), older.file);
    configure("");
    mkdirs(dumpDir());
  }

  static void mkdirs(const std::string& path) { ASSERT_EQ(std::system(("mkdir -p " + path).c_str()), 0); }
  std::string storeRoot() const { return dir.sub("root"); }
  std::string dumpDir() const { return dir.sub("dump"); }
  std::string entry(uint32_t serial = kSerial) const { return storeRoot() + "/updater/" + hex8(serial); }
  std::string flashFile(uint32_t serial = kSerial) const { return dumpDir() + "/" + hex8(serial) + ".flash"; }
  std::string statsFile(uint32_t serial = kSerial) const { return dumpDir() + "/" + hex8(serial) + ".stats"; }

  // The server knows builds 5000 (the latest) and 4000 of the module; faults as JSON.
  // bird5000 is the file the server sends for build 5000.
  void configure(const std::string& faults, const std::string& bird5000 = std::string()) {
    std::string json = "{\"devices\": {\"" + hex8(kSerial) +
                       "\": {\"latest\": \"5000\", \"builds\": {\"5000\": \"2.12.3\", \"4000\": \"2.11.0\"}, "
                       "\"birds\": {\"5000\": \"" +
                       (bird5000.empty() ? dir.sub("5000.bird") : bird5000) + "\", \"4000\": \"" +
                       dir.sub("4000.bird") + "\"}}}";
    if (!faults.empty()) json += ", \"faults\": " + faults;
    json += "}";
    server->setConfig(json);
  }

  void startSim(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--serial", hex8(kSerial), "--discovery", nettest::kFirstAddress,
                                     "--dump", dumpDir(), "--reboot-leave", "800"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(sim.start(DEVSIM_FW_BINARY, args)) << sim.error();
  }

  // Runs the Updater with the server and store options added.
  testsupport::RunResult run(std::vector<std::string> args, int timeoutMs = 40000) {
    args.insert(args.begin(), "Updater");
    args.push_back("-u");
    args.push_back(server->url());
    args.push_back("-i");
    args.push_back(storeRoot());
    testsupport::RunOptions options;
    options.timeoutMs = timeoutMs;
    return testsupport::RunProgram(UPDATER_BINARY, args, options);
  }

  Bytes flash(uint32_t serial = kSerial) {
    sim.stop();
    return testsupport::exists(flashFile(serial)) ? birdgen::readFile(flashFile(serial)) : Bytes{0xEE};
  }
  std::string settings() const { return testsupport::readText(entry() + "/.settings"); }

  testsupport::TempDir dir;
  std::unique_ptr<FakeUpdateServer> server;
  testsupport::SimProcess sim;
  const FirmwareBuild latest{"5000", "2.12.3", 11};
  const FirmwareBuild older{"4000", "2.11.0", 77};
};

std::string describe(const testsupport::RunResult& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

TEST_F(EndToEnd, UpdateFromABirdFileOverTcpLeavesThePatchedImageInFlash) {
  startSim();
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_NE(r.out.find("Updating from Birdfile: " + dir.sub("5000.bird")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
  EXPECT_EQ(flash(), latest.flash(kSerial));
  EXPECT_EQ(testsupport::statValue(statsFile(), "flash_base"), static_cast<long>(e2e::kFirmwareAddress));
  EXPECT_EQ(testsupport::statValue(statsFile(), "protocol_errors"), 0);
  EXPECT_EQ(testsupport::statValue(statsFile(), "reboots"), 1);
  // A device without a store entry gets no record of the transfer.
  EXPECT_FALSE(testsupport::exists(entry() + "/.settings"));
}

TEST_F(EndToEnd, DownloadThenUpdateInstallsTheStoredBuildAndRecordsBoth) {
  startSim();
  const auto g = run({"-G", "-d", hex8(kSerial)});
  ASSERT_EQ(g.status, 0) << describe(g);
  EXPECT_EQ(birdgen::readFile(entry() + "/5000.bird"), latest.file);
  EXPECT_NE(settings().find("LATEST_DOWNLOAD=5000.bird"), std::string::npos) << settings();
  EXPECT_NE(settings().find("LAST_DOWNLOAD_DATE="), std::string::npos);

  // The server's latest build is in the store: -U alone takes it from there.
  const auto u = run({"-U", "-d", hex8(kSerial)});
  EXPECT_EQ(u.status, 0) << describe(u);
  EXPECT_NE(u.out.find("Updating firmware with build: 5000"), std::string::npos) << u.out;
  EXPECT_EQ(flash(), latest.flash(kSerial));
  EXPECT_NE(settings().find("LATEST_TRANSFER=5000.bird"), std::string::npos) << settings();
  EXPECT_NE(settings().find("LAST_TRANSFER_DATE="), std::string::npos);
}

TEST_F(EndToEnd, DownloadAndUpdateInOneRunInstallsExactlyTheBuildAskedFor) {
  startSim({"--uei", "--features", "80000000"});
  const auto r = run({"-G", "-U", "-b", "4000", "-d", hex8(kSerial), "-m", "1"});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(birdgen::readFile(entry() + "/4000.bird"), older.file);
  EXPECT_NE(settings().find("LATEST_DOWNLOAD=4000.bird"), std::string::npos) << settings();
  EXPECT_NE(settings().find("LATEST_TRANSFER=4000.bird"), std::string::npos) << settings();
  EXPECT_EQ(flash(), older.flash(kSerial));
  // Firmware pieces went as byte sequences; only the loader went in DATA packets.
  EXPECT_GT(testsupport::statValue(statsFile(), "data_uei"), 0);
  EXPECT_EQ(testsupport::statValue(statsFile(), "data"), 12);   // 300 loader bytes in 26-byte chunks
}

TEST_F(EndToEnd, ALoaderThatLeavesTheLinkIsReachedAgain) {
  startSim({"--load-leave", "800"});
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(flash(), latest.flash(kSerial));
  EXPECT_GE(testsupport::statValue(statsFile(), "connections"), 2);
}

TEST_F(EndToEnd, AFileForAnotherModelIsRefusedUnlessOverridden) {
  const FirmwareBuild other("6000", "2.13.0", 21, "Jostrel");
  birdgen::writeFile(dir.sub("other.bird"), other.file);
  startSim();
  const auto refused = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("other.bird")});
  EXPECT_EQ(refused.status, 1) << describe(refused);
  EXPECT_NE(refused.err.find("Connected device model and Bird file model do not match [Hemblork]"), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("Birdfile failed validation"), std::string::npos) << refused.err;

  const auto forced = run({"-U", "-OVERRIDE", "-d", hex8(kSerial), "-f", dir.sub("other.bird")});
  EXPECT_EQ(forced.status, 0) << describe(forced);
  EXPECT_EQ(flash(), other.flash(kSerial));
}

// A file given with -f passes the same header test as a stored one before anything of
// it goes to the device.
TEST_F(EndToEnd, AFileGivenByPathWithoutABirdHeaderIsNeverFlashed) {
  Bytes burd = latest.file;
  burd[1] = 'u';
  Bytes versionZero = latest.file;
  versionZero[5] = 0;
  startSim();
  for (const auto& c : {std::make_pair("signature burd", burd), std::make_pair("format version 0", versionZero)}) {
    SCOPED_TRACE(c.first);
    birdgen::writeFile(dir.sub("header.bird"), c.second);
    const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("header.bird")});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Failed to load bird file"), std::string::npos) << r.err;
  }
  sim.stop();
  EXPECT_EQ(testsupport::statValue(statsFile(), "init"), 0);
  EXPECT_EQ(testsupport::statValue(statsFile(), "flash_bytes"), 0);
}

TEST_F(EndToEnd, AModuleThatIsNowhereIsReportedAndLeftAlone) {
  startSim();
  const auto r = run({"-U", "-d", "DEADBEEF", "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.err.find("Failed to connect to module [DEADBEEF]"), std::string::npos) << r.err;
  sim.stop();
  EXPECT_EQ(testsupport::statValue(statsFile(), "init"), 0);
}

constexpr const char* kInUse = "the device could not be reached or is in use";

// A module serves one host at a time: while another host holds it, it takes each
// connection and closes it at once. The update says the module is in use (the Parts'
// socket called it again without a pause, tens of thousands of times a second, and the
// update ended in "Birdfile failed validation" or a model mismatch), and goes through
// once the module is free.
TEST_F(EndToEnd, AModuleInUseByAnotherHostIsSaidToBeAndCalledAtAPace) {
  startSim({"--accept", "one-host"});
  {
    // Another host holds the module: its handshake request is answered.
    simtest::RawHost holder(static_cast<uint16_t>(sim.port()));
    ASSERT_EQ(holder.ask({0xAD, 0x00}, 2).size(), 2u);
    const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Failed to connect to module [" + hex8(kSerial) + "]: " + kInUse + "\n"),
              std::string::npos)
        << r.err;
  }
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(flash(), latest.flash(kSerial));
  EXPECT_EQ(testsupport::statValue(statsFile(), "reboots"), 1);
  const long turnedAway = testsupport::statValue(statsFile(), "turned_away");
  EXPECT_GE(turnedAway, 1);
  EXPECT_LE(turnedAway, 100) << "a few seconds of calls at a pace";
}

// Two updates of one module started together: the module serves the first to reach it.
// At least one goes through; one that does not says that the module is in use, never
// that the file is wrong for it.
TEST_F(EndToEnd, TwoUpdatesOfOneModuleAtOnceEndInAnUpdateAndNoFalseCause) {
  startSim({"--accept", "one-host"});
  const std::vector<std::string> update = {"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")};
  auto first = std::async(std::launch::async, [&] { return run(update); });
  auto second = std::async(std::launch::async, [&] { return run(update); });
  const testsupport::RunResult results[] = {first.get(), second.get()};
  int updated = 0;
  for (const auto& r : results) {
    if (r.status == 0) {
      updated++;
      continue;
    }
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find(kInUse), std::string::npos) << describe(r);
    EXPECT_EQ(r.err.find("Birdfile failed validation"), std::string::npos) << describe(r);
    EXPECT_EQ(r.err.find("do not match"), std::string::npos) << describe(r);
  }
  EXPECT_GE(updated, 1) << describe(results[0]) << describe(results[1]);
  EXPECT_EQ(flash(), latest.flash(kSerial));
  EXPECT_LE(testsupport::statValue(statsFile(), "turned_away"), 100);
}

// Another host takes the module in the middle of the transfer (its connection replaces
// this one's) and writes a piece of its own; this host's stream connects again by
// itself. Carrying on in that session ended, for a firmware block, in a retry that
// succeeded and status 0 over a flash holding the other host's piece; the transfer
// must end instead, saying why, and start nothing more.
TEST_F(EndToEnd, ATransferWhoseModuleAnotherHostTookMeanwhileEndsWithItsCause) {
  const struct {
    const char* name;
    const char* takenOver;   // option:count of devsim_fw's --taken-over
    const char* says;
  } cases[] = {
      {"during the loader", "1:5", "loader transfer broken off: "},
      {"during the firmware's second block", "5:21", "firmware transfer broken off: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startSim({"--taken-over", c.takenOver});
    const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Failed to update module [" + hex8(kSerial) + "]: " + c.says +
                         "the device's connection was lost and made again (another host may be using it)\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("  Retry"), std::string::npos) << "a block was tried again in the other host's session";
    EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
    sim.stop();
    EXPECT_EQ(testsupport::statValue(statsFile(), "taken_over"), 1);
    EXPECT_EQ(testsupport::statValue(statsFile(), "loader_starts"), c.takenOver[0] == '1' ? 0 : 1);
    EXPECT_EQ(testsupport::statValue(statsFile(), "reboots"), 0);
  }
}

// Two hosts update one module at once, the second 0-100 ms after the first, and the
// module takes each new connection in place of the one it serves. Whichever update
// reports success must have every byte of its build in flash; at most one can, and the
// other ends saying why. (The flash keeps what an update that broke off wrote outside
// the blocks of the one that succeeded, as a module's flash does: it is compared over
// the build's own blocks.)
TEST_F(EndToEnd, TwoHostsUpdatingOneModuleAtOnceNeverBothSucceedNorSucceedOverAMixedFlash) {
  const FirmwareBuild big("5000", "2.12.3", 11, "Hemblork", 300000, 700);
  const FirmwareBuild small("4000", "2.11.0", 77);
  birdgen::writeFile(dir.sub("big.bird"), big.file);
  birdgen::writeFile(dir.sub("small.bird"), small.file);
  const FirmwareBuild* builds[] = {&big, &small};
  // Every byte of the build's blocks, serial number patched in, where the dump (from the
  // lowest address written) has them.
  auto holds = [](const Bytes& flash, const FirmwareBuild& build) {
    const Bytes image = build.flash(kSerial);
    auto same = [&](size_t from, size_t n) {
      return flash.size() >= from + n && std::equal(image.begin() + static_cast<long>(from),
                                                    image.begin() + static_cast<long>(from + n),
                                                    flash.begin() + static_cast<long>(from));
    };
    return same(0, build.first.size()) && same(build.secondAddress - e2e::kFirmwareAddress, build.second.size());
  };
  constexpr int kRounds = 20;
  int succeeded = 0;
  for (int round = 0; round < kRounds; round++) {
    const int gapMs = (round * 37) % 101;
    SCOPED_TRACE("round " + std::to_string(round) + ", second update " + std::to_string(gapMs) + " ms after the first");
    std::remove(flashFile().c_str());
    startSim();
    auto first = std::async(std::launch::async, [&] { return run({"-U", "-d", hex8(kSerial), "-f", dir.sub("big.bird")}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    auto second =
        std::async(std::launch::async, [&] { return run({"-U", "-d", hex8(kSerial), "-f", dir.sub("small.bird")}); });
    const testsupport::RunResult results[] = {first.get(), second.get()};
    const Bytes flashed = flash();
    int ok = 0;
    for (int i = 0; i < 2; i++) {
      const auto& r = results[i];
      if (r.status == 0) {
        ok++;
        EXPECT_EQ(testsupport::statValue(statsFile(), "flash_base"), static_cast<long>(e2e::kFirmwareAddress));
        EXPECT_TRUE(holds(flashed, *builds[i])) << "build " << builds[i]->number << " reported success\n" << describe(r);
        continue;
      }
      EXPECT_EQ(r.status, 1) << describe(r);
      const bool saysWhy = r.err.find("Failed to update module [" + hex8(kSerial) + "]: ") != std::string::npos ||
                           r.err.find("Failed to connect to module [" + hex8(kSerial) + "]: ") != std::string::npos;
      EXPECT_TRUE(saysWhy) << describe(r);
      EXPECT_EQ(r.err.find("Birdfile failed validation"), std::string::npos) << describe(r);
      EXPECT_EQ(r.err.find("do not match"), std::string::npos) << describe(r);
    }
    EXPECT_LE(ok, 1) << describe(results[0]) << describe(results[1]);
    succeeded += ok;
  }
  std::printf("two updates at once: %d rounds, one of them succeeded in %d\n", kRounds, succeeded);
}

TEST_F(EndToEnd, ABlockThatFailsFiveTimesEndsTheUpdateWithoutReboot) {
  startSim({"--fail-piece", hex8(latest.secondAddress)});
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.out.find("  Retry 4"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("  Retry 5"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
  sim.stop();
  EXPECT_EQ(testsupport::statValue(statsFile(), "prepare"), 1 + 1 + 5);   // loader, first block, five tries
  EXPECT_EQ(testsupport::statValue(statsFile(), "reboots"), 0);
  // The good first block is in flash, nothing of the failing one.
  EXPECT_EQ(testsupport::statValue(statsFile(), "flash_bytes"), static_cast<long>(latest.first.size()));
}

// Every way the upgrade protocol can fail ends with one error line that names the device,
// the part of the transfer and the request that failed.
TEST_F(EndToEnd, EveryFailedTransferSaysWhatFailedAndForWhichModule) {
  const struct {
    const char* name;
    std::vector<std::string> sim;
    const char* says;
  } cases[] = {
      {"silent on INIT", {"--silent", "0:-1"}, "loader INIT unanswered"},
      {"silent on loader DATA", {"--silent", "1:-1"}, "loader DATA unanswered"},
      {"silent on loader SUM", {"--silent", "4:-1"}, "loader SUM unanswered"},
      {"refusing PREPARE", {"--bad-prepare", "-1"}, "loader PREPARE refused"},
      {"a wrong sum for every firmware piece", {"--wrong-sum", "-1"}, "loader SUM does not match what was sent"},
      {"refusing every WRITE", {"--bad-write", "-1"}, "firmware WRITE refused"},
      {"a firmware piece that fails every try", {"--fail-piece", hex8(latest.secondAddress)}, "firmware SUM does not match what was sent"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startSim(c.sim);
    const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Failed to update module [" + hex8(kSerial) + "]: " + c.says + "\n"), std::string::npos)
        << r.err;
    sim.stop();
  }

  // A file whose only serial-number place (a descriptor) lies in no firmware block.
  birdgen::BirdLayout layout;
  layout.blocks.push_back(birdgen::imageBlock(birdgen::FIRMWARE, e2e::kFirmwareAddress, birdgen::randomImage(64, 3)));
  layout.blocks.push_back(birdgen::serialOffsetsBlock(0, 0x10));
  layout.blocks.push_back(birdgen::identityBlock("5000", "2.12.3", "00000000", "Hemblork"));
  birdgen::writeFile(dir.sub("unpatchable.bird"), birdgen::file(layout));
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("unpatchable.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.err.find("Failed to update module [" + hex8(kSerial) +
                       "]: the serial number cannot be patched into the firmware\n"),
            std::string::npos)
      << r.err;
}

TEST_F(EndToEnd, ALoaderBlockThatFailsIsNeverFollowedByStartingTheLoader) {
  const FirmwareBuild split("5100", "2.12.4", 31, "Hemblork", 5000, 700, 2);
  birdgen::writeFile(dir.sub("split.bird"), split.file);
  startSim({"--wrong-sum", "1"});   // the first loader block's sum is wrong
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("split.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.out.find("Transferred 0 blocks, 0 total bytes"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Starting Load on Device"), std::string::npos) << r.out;
  sim.stop();
  EXPECT_EQ(testsupport::statValue(statsFile(), "prepare"), 1);
  EXPECT_EQ(testsupport::statValue(statsFile(), "load"), 0);
  EXPECT_EQ(testsupport::statValue(statsFile(), "flash_bytes"), 0);
}

TEST_F(EndToEnd, WithoutABuildTheUpdateFallsBackToTheLatestDownload) {
  startSim();
  // Nothing stored yet: the server's latest build is not at hand, nor any other.
  const auto none = run({"-U", "-d", hex8(kSerial)});
  EXPECT_EQ(none.status, 1) << describe(none);
  EXPECT_NE(none.out.find("New firmware is available.  Updater will proceed if valid firmware is found locally."),
            std::string::npos)
      << none.out;
  EXPECT_NE(none.err.find("Could not find valid build for this device."), std::string::npos) << none.err;

  ASSERT_EQ(run({"-G", "-b", "4000", "-d", hex8(kSerial)}).status, 0);
  const auto r = run({"-U", "-d", hex8(kSerial)});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_NE(r.out.find("Updating with the Latest Download"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Updating firmware with build: 4000"), std::string::npos) << r.out;
  EXPECT_EQ(flash(), older.flash(kSerial));
}

TEST_F(EndToEnd, ALoaderThatNeverComesBackCostsTheWholeReconnectLoop) {
  startSim({"--load-leave", "0", "--never-return"});
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird"), "-X", "0x10000"}, 60000);
  EXPECT_EQ(r.status, 1) << describe(r);
  size_t refreshes = 0;
  for (size_t at = r.err.find("refreshing libusb context"); at != std::string::npos;
       at = r.err.find("refreshing libusb context", at + 1))
    refreshes++;
  EXPECT_EQ(refreshes, 5u) << r.err;
  EXPECT_EQ(r.out.find("Update time"), std::string::npos);
  EXPECT_EQ(flash().size(), 0u);
}

struct ServerFault {
  const char* name;
  const char* faults;   // JSON, empty for a closed port
  std::vector<std::string> messages;
};

TEST_F(EndToEnd, ADownloadTheServerRefusesStoresNothing) {
  const ServerFault cases[] = {
      {"no answer to the ping", "", {"Server request failed for http://127.0.0.1:"}},
      {"BIRD request refused", "{\"bird\": {\"status\": 500}}", {"Download failed", "Failed to retrieve a valid BIRD file"}},
      {"BIRD text not base64", "{\"bird\": {\"bad_base64\": true}}", {"Failed to retrieve a valid BIRD file"}},
      {"build not listed", "{\"builds\": {\"status\": 404}}", {"No valid build 5000"}},
  };
  const std::string goodUrl = server->url();
  for (const ServerFault& c : cases) {
    SCOPED_TRACE(c.name);
    configure(c.faults);
    std::vector<std::string> args = {"Updater", "-G", "-d", hex8(kSerial), "-i", storeRoot(), "-u"};
    args.push_back(std::string(c.faults).empty()
                       ? "http://127.0.0.1:" + std::to_string(FakeUpdateServer::closedPort()) + "/cgi/u"
                       : goodUrl);
    const auto r = testsupport::RunProgram(UPDATER_BINARY, args);
    EXPECT_EQ(r.status, 1) << describe(r);
    for (const std::string& m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::exists(entry() + "/5000.bird"));
  }
}

// What the server sends must load as a BIRD file before it may replace a stored build:
// a good stored 5000.bird and its attributes stay exactly as they were.
TEST_F(EndToEnd, ADownloadThatIsNoBirdFileLeavesTheStoredBuildAsItWas) {
  ASSERT_EQ(run({"-G", "-d", hex8(kSerial)}).status, 0);
  const std::string stored = settings();

  Bytes burd = latest.file;
  burd[1] = 'u';
  Bytes versionZero = latest.file;
  versionZero[4] = 0;
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"truncated build", Bytes(latest.file.begin(), latest.file.begin() + static_cast<long>(latest.file.size() / 2))},
      {"not a BIRD file", Bytes{'<', 'h', 't', 'm', 'l', '>', 'n', 'o', 'p', 'e', '<', '/', 'h', 't', 'm', 'l', '>'}},
      {"signature burd", burd},
      {"format version 0", versionZero},
      {"header only", Bytes(latest.file.begin(), latest.file.begin() + 6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    birdgen::writeFile(dir.sub("bad.bird"), c.bytes);
    configure("", dir.sub("bad.bird"));
    const auto r = run({"-G", "-d", hex8(kSerial)});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Failed to retrieve a valid BIRD file"), std::string::npos) << r.err;
    EXPECT_EQ(birdgen::readFile(entry() + "/5000.bird"), latest.file);
    EXPECT_EQ(settings(), stored);
  }
  // The store still lists and installs the good build.
  const auto l = run({"-L", "-d", hex8(kSerial)});
  EXPECT_NE(l.out.find("2.12.3"), std::string::npos) << l.out;
}

// Build numbers from the server are whole numbers within 32 bits: one that wraps, carries
// junk or a sign is a bad reply, never some other build that happens to exist.
TEST_F(EndToEnd, AServerBuildNumberThatIsNoNumberIsRefused) {
  for (const char* latestText : {"4294967297", "5000junk", "-1"}) {
    SCOPED_TRACE(latestText);
    server->setConfig("{\"devices\": {\"" + hex8(kSerial) + "\": {\"latest\": \"" + latestText +
                      "\", \"builds\": {\"" + latestText +
                      "\": \"2.12.3\", \"1\": \"2.11.0\", \"5000\": \"2.12.3\", \"4294967295\": \"2.12.3\"}}}, "
                      "\"bird_dir\": \"" +
                      dir.sub("birds") + "\"}");
    mkdirs(dir.sub("birds/" + hex8(kSerial)));
    for (const char* b : {"1", "5000", "4294967295"})
      birdgen::writeFile(dir.sub("birds/" + hex8(kSerial) + "/" + b + ".bird"), latest.file);
    const auto r = run({"-G", "-d", hex8(kSerial)});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Bad reply from the update server: build number [" + std::string(latestText) + "]"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(testsupport::listDirectory(entry()), std::vector<std::string>{".settings"});
  }
}

TEST_F(EndToEnd, ADownloadWhoseFileCannotBeWrittenRecordsNothing) {
  mkdirs(entry() + "/5000.bird");   // a directory where the file must go
  const auto r = run({"-G", "-d", hex8(kSerial)});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.err.find("Failed to write file with "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
  EXPECT_EQ(settings().find("LATEST_DOWNLOAD"), std::string::npos) << settings();
}

// A download ended by force while it writes the build or the attribute file (here by a
// file-size limit, which ends the Updater as a kill would) left a hidden ".NAME.tmp-*"
// file, up to the size of the build, in the device's entry for good. Nothing is left
// now, and the entry keeps what it had.
TEST_F(EndToEnd, ADownloadEndedWhileItWritesLeavesNoTemporaryBehind) {
  const auto limited = [&](int kibibytes) {
    std::vector<std::string> args = {"sh", "-c", "ulimit -f " + std::to_string(kibibytes) + "; exec \"$0\" \"$@\"",
                                     UPDATER_BINARY, "-G", "-d", hex8(kSerial), "-u", server->url(), "-i", storeRoot()};
    return testsupport::RunProgram("/bin/sh", args);
  };
  ASSERT_GT(latest.file.size(), 4096u);
  const auto bird = limited(2);   // the attribute file fits, the build does not
  EXPECT_EQ(bird.status, -1) << describe(bird);
  EXPECT_EQ(testsupport::listDirectory(entry()), std::vector<std::string>{".settings"});

  // An attribute file larger than the limit, the build smaller.
  const std::string before = settings() + "NOTE=" + std::string(24000, 'n') + "\n";
  testsupport::writeText(entry() + "/.settings", before);
  const auto attributes = limited(16);
  EXPECT_EQ(attributes.status, -1) << describe(attributes);
  EXPECT_EQ(settings(), before);
  std::vector<std::string> names = testsupport::listDirectory(entry());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", "5000.bird"}));
  EXPECT_EQ(birdgen::readFile(entry() + "/5000.bird"), latest.file);
}

// A FIFO where a file is read (a BIRD file given with -f, the attribute file, a stored
// build) is refused at once: opening it for reading would wait for a writer for ever.
TEST_F(EndToEnd, AFifoInPlaceOfAFileNeverBlocks) {
  mkdirs(entry());
  ASSERT_EQ(mkfifo(dir.sub("fifo.bird").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((entry() + "/4444.bird").c_str(), 0644), 0);
  const auto update = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("fifo.bird")}, 20000);
  EXPECT_FALSE(update.timedOut);
  EXPECT_EQ(update.status, 1) << describe(update);
  EXPECT_NE(update.err.find("Failed to load bird file"), std::string::npos) << update.err;

  const auto list = run({"-L", "-d", hex8(kSerial)}, 20000);
  EXPECT_FALSE(list.timedOut);
  EXPECT_NE(list.out.find("4444"), std::string::npos) << describe(list);

  ASSERT_EQ(unlink((entry() + "/.settings").c_str()), 0);
  ASSERT_EQ(mkfifo((entry() + "/.settings").c_str(), 0644), 0);
  const auto download = run({"-G", "-d", hex8(kSerial)}, 20000);
  EXPECT_FALSE(download.timedOut);
  EXPECT_EQ(download.status, 1) << describe(download);
  EXPECT_NE(download.err.find("Failed to record the download in " + entry() + "/.settings"), std::string::npos)
      << download.err;
  struct stat st;
  ASSERT_EQ(stat((entry() + "/.settings").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));  // never replaced by what little could be read
}

// A download rewrites the device's attribute file: every entry it held before stays,
// however long its line, and the download's own are added.
TEST_F(EndToEnd, ADownloadKeepsEveryEntryOfTheAttributeFile) {
  mkdirs(entry());
  const std::string note(3000, 'n');
  testsupport::writeText(entry() + "/.settings", "CREATED_TIME=then\nNOTE=" + note +
                                                     "\nLATEST_TRANSFER=4000.bird\n  #OWNER=lab\n");
  for (int run_ = 0; run_ < 2; run_++) {
    const auto r = run({"-G", "-d", hex8(kSerial)});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string text = settings();
    EXPECT_NE(text.find("\nNOTE=" + note + "\n"), std::string::npos) << text.substr(0, 200);
    EXPECT_NE(text.find("LATEST_TRANSFER=4000.bird\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#OWNER=lab\n"), std::string::npos) << text;
    EXPECT_NE(text.find("LATEST_DOWNLOAD=5000.bird\n"), std::string::npos) << text;
  }
}

// An attribute file that cannot be replaced (a directory stands in its place): the
// download is not recorded and says so; an update still succeeds and says so too.
TEST_F(EndToEnd, AnAttributeFileThatCannotBeSavedIsSaid) {
  mkdirs(entry() + "/.settings");
  const auto g = run({"-G", "-d", hex8(kSerial)});
  EXPECT_EQ(g.status, 1) << describe(g);
  EXPECT_NE(g.err.find("Failed to record the download in " + entry() + "/.settings"), std::string::npos) << g.err;

  startSim();
  const auto u = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(u.status, 0) << describe(u);
  EXPECT_NE(u.err.find("Failed to record the transfer in " + entry() + "/.settings"), std::string::npos) << u.err;
  EXPECT_EQ(flash(), latest.flash(kSerial));
}

// The store on a 64 KiB tmpfs in a mount namespace of a child's own: the small build
// fits, the large one does not. The failed download says why, leaves no part of itself
// behind and still names the small build as the latest download.
TEST_F(EndToEnd, ADownloadIntoAFullStoreFailsAndKeepsTheLatestDownload) {
  const FirmwareBuild large("5000", "2.12.3", 41, "Hemblork", 90000, 0);
  birdgen::writeFile(dir.sub("large.bird"), large.file);
  ASSERT_GT(large.file.size(), 64u * 1024u);
  configure("", dir.sub("large.bird"));
  mkdirs(storeRoot());
  const std::string report = dir.sub("report");
  const testsupport::RunResult child = testsupport::RunInChild([&]() {
    std::string why;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("store", storeRoot().c_str(), "tmpfs", 0, "size=64k") != 0) {
      testsupport::writeText(report, std::string("no private tmpfs: ") + std::strerror(errno));
      return 3;
    }
    const auto small = run({"-G", "-b", "4000", "-d", hex8(kSerial)});
    const auto full = run({"-G", "-d", hex8(kSerial)});
    const std::vector<std::string> names = testsupport::listDirectory(entry());
    const std::string text = settings();
    if (small.status != 0) why += "the small build was not stored\n" + describe(small);
    if (full.status != 1) why += "the failed download did not end with status 1\n";
    if (full.err.find("Failed to write file with ") == std::string::npos ||
        full.err.find("No space left on device") == std::string::npos)
      why += "the failure does not say why\n";
    if (names != std::vector<std::string>{".settings", "4000.bird"} &&
        names != std::vector<std::string>{"4000.bird", ".settings"}) {
      why += "the device's entry holds:";
      for (const std::string& n : names) why += " " + n;
      why += "\n";
    }
    if (text.find("LATEST_DOWNLOAD=4000.bird") == std::string::npos) why += "settings:\n" + text;
    testsupport::writeText(report, why + describe(full));
    return why.empty() ? 0 : 1;
  });
  EXPECT_EQ(child.status, 0) << testsupport::readText(report) << child.err;
}

// A server that trickles its replies (4 bytes a second) falls below the minimum rate:
// the download and the update's build query are given up within the rate's window and
// say that the server was too slow. Without a bound either would take an hour.
TEST_F(EndToEnd, ATricklingServerIsGivenUpAsTooSlow) {
  configure(R"({"*": {"pad_lines": 200, "chunk": 1, "delay_ms": 250}})");
  auto download = std::async(std::launch::async, [&] { return run({"-G", "-d", hex8(kSerial)}, 90000); });
  auto update = std::async(std::launch::async, [&] { return run({"-U", "-d", hex8(kSerial)}, 90000); });
  for (auto* pending : {&download, &update}) {
    const auto r = pending->get();
    EXPECT_FALSE(r.timedOut) << describe(r);
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("Server request failed for " + server->url() + ": the server was too slow"),
              std::string::npos)
        << r.err;
  }
}

// HTTPS peers that are refused: the error line names the reason, not only the URL.
TEST_F(EndToEnd, AnHttpsRefusalSaysWhy) {
  const std::string ca = testsupport::testCADirectory();
  FakeUpdateServer untrusted(ca + "/server.pem", ca + "/server.key");
  FakeUpdateServer wrongName(ca + "/wrongname.pem", ca + "/wrongname.key");
  const std::string refused = ": SSL peer certificate or SSH remote key was not OK (";
  for (const char* command : {"-G", "-B"}) {
    SCOPED_TRACE(command);
    const auto r = testsupport::RunProgram(
        UPDATER_BINARY, {"Updater", command, "-d", hex8(kSerial), "-i", storeRoot(), "-u", untrusted.url()});
    EXPECT_NE(r.err.find("Server request failed for " + untrusted.url() + refused + "SSL certificate problem"),
              std::string::npos)
        << describe(r);
  }
  // Trusted CA, certificate for another name: refused with its own reason.
  const std::string report = dir.sub("report");
  const testsupport::RunResult child = testsupport::runTrustingCA(ca + "/ca.pem", [&]() {
    const auto r = testsupport::RunProgram(
        UPDATER_BINARY, {"Updater", "-G", "-d", hex8(kSerial), "-i", storeRoot(), "-u", wrongName.url()});
    testsupport::writeText(report, describe(r));
    return r.status == 1 && r.err.find("Server request failed for " + wrongName.url() + refused) != std::string::npos
               ? 0
               : 1;
  });
  EXPECT_EQ(child.status, 0) << testsupport::readText(report) << child.err;
}

TEST_F(EndToEnd, DiscoveryListsTheModuleFoundOverTcp) {
  startSim({"--build", "4711", "--version", "2C000003"});   // 2.12.3
  const auto r = run({"-D", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_NE(r.out.find("Discovered Devices: (TCPIP)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(hex8(kSerial) + "  04       00      Hemblork"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  2.12.3 (      4711)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[127.0.0.1]"), std::string::npos) << r.out;
  // 2.12.3 is new enough to be asked for its name.
  EXPECT_NE(r.out.find("[127.0.0.1]        sim"), std::string::npos) << r.out;
}

// TCP listeners that never say a word: what a spoofed discovery reply can name to cost
// each connection attempt its whole time-out. A silent one takes connections (the
// kernel's queue does); a crowded one has a short queue that the probes of the rows
// naming it fill, so that their links' connections wait their whole time-out, one
// after another; a deaf one has its queue filled from the start, so that connection
// requests are dropped and a connect can only time out.
enum class Listener { kSilent, kCrowded, kDeaf };

class SilentListener {
 public:
  explicit SilentListener(Listener kind) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    const int queue = kind == Listener::kSilent ? 512 : kind == Listener::kCrowded ? 8 : 0;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd_, queue) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
      return;
    port_ = ntohs(local.sin_port);
    for (int i = 0; kind == Listener::kDeaf && i < 4; i++) {
      const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&local), sizeof local);
      fillers_.push_back(filler);
    }
  }
  ~SilentListener() {
    for (int fd : fillers_) close(fd);
    if (fd_ >= 0) close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// A flood of spoofed discovery replies, sent from 127.0.0.1 inside the test's own
// network namespace: sixty devices that do not exist, each naming one of the silent
// listeners, and one of them fifty times over. The real module is listed once, and the
// flood costs about five seconds more than a discovery without it (rows naming a
// crowded listener stretched it to twenty).
TEST_F(EndToEnd, SpoofedDiscoveryRepliesCostOnlyAFewSeconds) {
  startSim();
  const auto timed = [&]() {
    const auto start = std::chrono::steady_clock::now();
    testsupport::RunResult r = run({"-D", "-t", "TCPIP"}, 120000);
    return std::make_pair(r, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  };
  const auto plain = timed();
  ASSERT_EQ(plain.first.status, 0) << describe(plain.first);

  SilentListener silent(Listener::kSilent), crowded(Listener::kCrowded), deaf(Listener::kDeaf);
  ASSERT_NE(silent.port(), 0);
  ASSERT_NE(crowded.port(), 0);
  ASSERT_NE(deaf.port(), 0);
  const uint16_t ports[] = {silent.port(), crowded.port(), deaf.port()};
  std::vector<std::vector<uint8_t>> flood;
  for (uint32_t i = 0; i < 60; i++) {
    devsim::DiscoveryIdentity fake;
    fake.serial = 0x5A000000 + i;
    fake.tcpPort = ports[i % 3];
    flood.push_back(devsim::discoveryReply(fake));
  }
  devsim::DiscoveryIdentity repeated;
  repeated.serial = 0x5B000000;
  repeated.tcpPort = silent.port();
  for (int i = 0; i < 50; i++) flood.push_back(devsim::discoveryReply(repeated));
  devsim::DiscoveryResponder spoofer({nettest::address(nettest::kFirstAddress)}, repeated, htonl(INADDR_LOOPBACK));
  ASSERT_TRUE(spoofer.ok());
  spoofer.setReplies(flood);

  const auto flooded = timed();
  const testsupport::RunResult& r = flooded.first;
  EXPECT_EQ(r.status, 0) << describe(r);
  size_t rows = 0;
  for (size_t at = r.out.find(hex8(kSerial)); at != std::string::npos; at = r.out.find(hex8(kSerial), at + 1)) rows++;
  EXPECT_EQ(rows, 1u) << r.out;
  size_t repeats = 0;
  for (size_t at = r.out.find("5B000000"); at != std::string::npos; at = r.out.find("5B000000", at + 1)) repeats++;
  EXPECT_EQ(repeats, 1u) << r.out;
  std::printf("discovery without the flood %.2f s, with it %.2f s\n", plain.second, flooded.second);
  EXPECT_LT(flooded.second, plain.second + 6.5) << "without the flood " << plain.second << " s, with it "
                                                << flooded.second << " s";
}

TEST_F(EndToEnd, ADeviceThatCannotBeConnectedIsListedWithoutVersion) {
  // Discovery names a port on which nothing listens.
  startSim({"--advertise-port", std::to_string(FakeUpdateServer::closedPort())});
  const auto r = run({"-D", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_NE(r.out.find(hex8(kSerial) + "  04       04      Hemblork       0.0.0 (         0)"), std::string::npos)
      << r.out;
}

TEST_F(EndToEnd, BuildListsOfTheServerAndOfTheStore) {
  const auto b = run({"-B", "-d", hex8(kSerial)});
  EXPECT_EQ(b.status, 0) << describe(b);
  EXPECT_NE(b.out.find("5000"), std::string::npos) << b.out;
  EXPECT_NE(b.out.find("2.11.0"), std::string::npos) << b.out;

  ASSERT_EQ(run({"-G", "-d", hex8(kSerial)}).status, 0);
  // A file with a good header whose body does not load, and one that is no BIRD file.
  Bytes broken = {'b', 'i', 'r', 'd', 0x01, 0x01, 0x78, 0x9C, 0x00, 0x01, 0x02};
  birdgen::writeFile(entry() + "/4444.bird", broken);
  testsupport::writeText(entry() + "/notes.txt", "hello");
  const auto l = run({"-L", "-d", hex8(kSerial)});
  EXPECT_EQ(l.status, 0) << describe(l);
  EXPECT_NE(l.out.find("5000"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("2.12.3"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("4444"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("notes.txt"), std::string::npos) << l.out;
  EXPECT_EQ(l.out.find(".settings"), std::string::npos) << l.out;
}

TEST_F(EndToEnd, UpdateAndDiscoveryThroughARouterModule) {
  startSim({"--behind", "16:" + hex8(kBehindSerial)});
  const auto d = run({"-D", "-r", hex8(kSerial)});
  EXPECT_EQ(d.status, 0) << describe(d);
  EXPECT_NE(d.out.find(hex8(kBehindSerial)), std::string::npos) << d.out;

  const auto u = run({"-U", "-d", hex8(kBehindSerial), "-r", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(u.status, 0) << describe(u);
  EXPECT_EQ(flash(kBehindSerial), latest.flash(kBehindSerial));
  EXPECT_EQ(birdgen::readFile(flashFile(kSerial)).size(), 0u);   // the router itself is untouched
}

}  // namespace

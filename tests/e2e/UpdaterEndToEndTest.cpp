// The real Updater binary against devsim_fw (a simulated module that can be updated)
// and the fake update server, inside a network namespace of the test's own: the
// module is found by TCP/IP discovery and reached on loopback. Each test checks what
// was left behind: the module's flash, the store's files and attributes, the exit
// status.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/FirmwareBuild.h"
#include "tests/e2e/SimProcess.h"
#include "tests/fakes/BirdGenerator.h"
#include "tests/fakes/FakeUpdateServer.h"
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
  void configure(const std::string& faults) {
    std::string json = "{\"devices\": {\"" + hex8(kSerial) +
                       "\": {\"latest\": \"5000\", \"builds\": {\"5000\": \"2.12.3\", \"4000\": \"2.11.0\"}, "
                       "\"birds\": {\"5000\": \"" +
                       dir.sub("5000.bird") + "\", \"4000\": \"" + dir.sub("4000.bird") + "\"}}}";
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
  e2e::SimProcess sim;
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
  EXPECT_EQ(e2e::statValue(statsFile(), "flash_base"), static_cast<long>(e2e::kFirmwareAddress));
  EXPECT_EQ(e2e::statValue(statsFile(), "protocol_errors"), 0);
  EXPECT_EQ(e2e::statValue(statsFile(), "reboots"), 1);
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
  EXPECT_GT(e2e::statValue(statsFile(), "data_uei"), 0);
  EXPECT_EQ(e2e::statValue(statsFile(), "data"), 12);   // 300 loader bytes in 26-byte chunks
}

TEST_F(EndToEnd, ALoaderThatLeavesTheLinkIsReachedAgain) {
  startSim({"--load-leave", "800"});
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(flash(), latest.flash(kSerial));
  EXPECT_GE(e2e::statValue(statsFile(), "connections"), 2);
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

TEST_F(EndToEnd, AModuleThatIsNowhereIsReportedAndLeftAlone) {
  startSim();
  const auto r = run({"-U", "-d", "DEADBEEF", "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.err.find("Failed to connect to module [DEADBEEF]"), std::string::npos) << r.err;
  sim.stop();
  EXPECT_EQ(e2e::statValue(statsFile(), "init"), 0);
}

TEST_F(EndToEnd, ABlockThatFailsFiveTimesEndsTheUpdateWithoutReboot) {
  startSim({"--fail-piece", hex8(latest.secondAddress)});
  const auto r = run({"-U", "-d", hex8(kSerial), "-f", dir.sub("5000.bird")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.out.find("  Retry 4"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("  Retry 5"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Update time"), std::string::npos) << r.out;
  sim.stop();
  EXPECT_EQ(e2e::statValue(statsFile(), "prepare"), 1 + 1 + 5);   // loader, first block, five tries
  EXPECT_EQ(e2e::statValue(statsFile(), "reboots"), 0);
  // The good first block is in flash, nothing of the failing one.
  EXPECT_EQ(e2e::statValue(statsFile(), "flash_bytes"), static_cast<long>(latest.first.size()));
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
  EXPECT_EQ(e2e::statValue(statsFile(), "prepare"), 1);
  EXPECT_EQ(e2e::statValue(statsFile(), "load"), 0);
  EXPECT_EQ(e2e::statValue(statsFile(), "flash_bytes"), 0);
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

TEST_F(EndToEnd, ADownloadWhoseFileCannotBeWrittenStillRecordsIt) {
  mkdirs(entry() + "/5000.bird");   // a directory where the file must go
  const auto r = run({"-G", "-d", hex8(kSerial)});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_NE(r.err.find("Failed to write file with "), std::string::npos) << r.err;
  EXPECT_NE(settings().find("LATEST_DOWNLOAD=5000.bird"), std::string::npos) << settings();
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

// The built Updater run as a subprocess: command lines with their standard output,
// standard error and exit status.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ExpectedUsage.h"
#include "VersionLine.h"
#include "tests/support/Files.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

using testsupport::RunOptions;
using testsupport::RunProgram;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

RunResult RunUpdater(std::vector<std::string> args, const RunOptions& options = {},
                     const std::string& binary = UPDATER_BINARY) {
  args.insert(args.begin(), "Updater");
  return RunProgram(binary, args, options);
}

// Standard output must be the version line followed by exactly `rest`.
::testing::AssertionResult VersionThen(const std::string& out, const std::string& rest) {
  size_t length = clitest::VersionLineLength(out);
  if (length == 0) return ::testing::AssertionFailure() << "no version line at the start of [" << out << "]";
  std::string after = out.substr(length);
  if (after != rest) return ::testing::AssertionFailure() << "after the version line: [" << after << "]";
  return ::testing::AssertionSuccess();
}

std::string FullHelp() { return clitest::ShortUsage() + clitest::FullUsage() + clitest::SampleUsage(); }
std::string FullHelpExtended() {
  return clitest::ShortUsage() + clitest::FullUsage() + clitest::ExtendedUsage() + clitest::SampleUsage();
}

// Placeholders in a case: @STORE@ is replaced by the case's own store directory.
struct Case {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;  // after the version line
  std::string err;
};

std::vector<std::string> WithStore(const std::vector<std::string>& args, const std::string& store) {
  std::vector<std::string> result;
  for (const std::string& a : args) result.push_back(a == "@STORE@" ? store : a);
  return result;
}

// "@ANY@" in an expected text stands for any characters up to the end of their line
// (texts that differ from run to run, such as libcurl's timings).
bool MatchesWithAny(const std::string& actual, const std::string& pattern) {
  const std::string any = "@ANY@";
  const size_t at = pattern.find(any);
  if (at == std::string::npos) return actual == pattern;
  if (actual.compare(0, at, pattern, 0, at) != 0) return false;
  const size_t lineEnd = actual.find('\n', at);
  const std::string rest = pattern.substr(at + any.size());
  for (size_t from = at; from <= (lineEnd == std::string::npos ? actual.size() : lineEnd); from++)
    if (MatchesWithAny(actual.substr(from), rest)) return true;
  return false;
}

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir store;
    RunResult r = RunUpdater(WithStore(c.args, store.path()));
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(VersionThen(r.out, c.out));
    EXPECT_TRUE(MatchesWithAny(r.err, c.err)) << "standard error:\n" << r.err << "expected:\n" << c.err;
  }
}

}  // namespace

TEST(CommandLine, UsageAndHelp) {
  const std::string shortUsage = clitest::ShortUsage();
  RunCases({
      {"no arguments", {}, 0, "", shortUsage},
      {"parameters without a command", {"-d", "40F5849A"}, 0, "", shortUsage},
      {"-h", {"-h"}, 0, "", FullHelp()},
      {"-H", {"-H"}, 0, "", FullHelp()},
      {"--help", {"--help"}, 0, "", FullHelp()},
      {"--he abbreviates --help", {"--he"}, 0, "", FullHelp()},
      {"--h is ambiguous and dropped", {"--h"}, 0, "", shortUsage},
      {"--HELP matches nothing", {"--HELP"}, 0, "", shortUsage},
      {"-h with an argument is dropped", {"-h=1"}, 0, "", shortUsage},
      {"help after a refused option", {"-Y", "-h"}, 0, "", "Unhandled command: [-Y]\n" + FullHelp()},
      {"help after a bad -b", {"-b", "1x", "-h"}, 0, "",
       "Invalid format for \"-b\" parameter, unprocessed characters [x]\n" + FullHelp()},
      {"-X before -h adds the extended block", {"-X", "0", "-h"}, 0, "", FullHelpExtended()},
      {"-X after -h is never read", {"-h", "-X", "0"}, 0, "", FullHelp()},
      {"help ends the parse before its log lines", {"-X", "0x10000", "-h"}, 0, "", FullHelpExtended()},
      {"help stops before the server-choice check", {"--http", "--https", "-h"}, 0, "", FullHelp()},
      {"help wins over commands", {"-D", "-h"}, 0, "", FullHelp()},
  });
}

TEST(CommandLine, RefusedParameters) {
  const std::string refused = clitest::ShortUsage();
  RunCases({
      {"-Y", {"-Y", "-D"}, 1, "", "Unhandled command: [-Y]\n" + refused},
      {"-b with a letter", {"-b", "12a", "-G", "-d", "1"}, 1, "",
       "Invalid format for \"-b\" parameter, unprocessed characters [a]\n" + refused},
      {"-o with a letter", {"-o", "9600baud", "-I", "-i", "@STORE@"}, 1, "",
       "Invalid format for \"-o\" parameter, unprocessed characters [baud]\n" + refused},
      {"-b beyond 32 bits", {"-b", "4294967296", "-G", "-d", "1"}, 1, "",
       "Invalid format for \"-b\" parameter, unprocessed characters [4294967296]\n" + refused},
      {"-o beyond 64 bits", {"-o", "99999999999999999999999", "-I"}, 1, "",
       "Invalid format for \"-o\" parameter, unprocessed characters [99999999999999999999999]\n" + refused},
      {"-d 0x alone", {"-d", "0x", "-D"}, 1, "", "Invalid serial number obtained from argument []\n" + refused},
      {"-d 0", {"-d", "0", "-D"}, 1, "", "Invalid serial number obtained from argument [0]\n" + refused},
      {"-d not hexadecimal", {"-d", "0x12G4", "-D"}, 1, "",
       "Invalid serial number obtained from argument [12G4]\n" + refused},
      {"-d empty", {"-d=", "-D"}, 1, "", "Invalid serial number obtained from argument []\n" + refused},
      {"-d beyond 32 bits", {"-d", "0x140F5849A", "-G"}, 1, "",
       "Invalid serial number obtained from argument [140F5849A]\n" + refused},
      {"-d whose low 32 bits are 0", {"-d", "100000000", "-G"}, 1, "",
       "Invalid serial number obtained from argument [100000000]\n" + refused},
      {"-r 0x alone", {"-r", "0x", "-D"}, 1, "",
       "Invalid router serial number obtained from argument []\n" + refused},
      {"-t is case-sensitive", {"-t", "usb", "-D"}, 1, "",
       "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n" + refused},
      {"--http twice", {"--http", "--http", "-D"}, 1, "",
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n" + refused},
      {"--http beside --https", {"--https", "--http", "-D"}, 1, "",
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n" + refused},
      {"-u beside --https", {"-u", "http://127.0.0.1:9/cgi/u", "--https", "-D"}, 1, "",
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n" + refused},
      {"user text is never a format", {"-t", "%s%n%x", "-D"}, 1, "",
       "Invalid transport type:[%s%n%x]\nMust be one of the following: USB, TCPIP, RECOVER\n" + refused},
      {"user text is never a format in -d", {"-d", "%n%n", "-D"}, 1, "",
       "Invalid serial number obtained from argument [%n%n]\n" + refused},
      {"every refusal is shown",
       {"-Y", "-t", "x", "-d", "0"},
       1,
       "",
       "Unhandled command: [-Y]\nInvalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER\n"
       "Invalid serial number obtained from argument [0]\n" +
           refused},
  });
}

TEST(CommandLine, AcceptedWithoutEffect) {
  // Commands that run nothing: the store is made and the run ends with 0.
  RunCases({
      {"-I", {"-I", "-i", "@STORE@"}, 0, "", ""},
      {"-C", {"-C", "-i", "@STORE@"}, 0, "", ""},
      {"-Z with an argument", {"-Z", "anything", "-i", "@STORE@"}, 0, "", ""},
      {"-Z with an attached argument", {"-Z=1", "-i", "@STORE@"}, 0, "", ""},
      {"unknown and malformed options are dropped",
       {"-q=1", "-d1234", "-DU", "-", "--", "-I", "-i", "@STORE@"}, 0, "", ""},
      {"-OV abbreviates -OVERRIDE", {"-OV", "-I", "-i", "@STORE@"}, 0, "", ""},
      {"--O is no abbreviation of -OVERRIDE", {"--O", "-i", "@STORE@"}, 0, "", clitest::ShortUsage()},
      {"words without a hyphen", {"word", "-I", "other", "-i", "@STORE@", "last"}, 0, "", ""},
      {"a -X with text left over is refused alone", {"-X", "ff", "-I", "-i", "@STORE@"}, 0, "",
       "Invalid format for \"-X\" parameter, unprocessed characters [ff]\n"},
      {"a -X beyond 32 bits is refused", {"-X", "0x100010000", "-I", "-i", "@STORE@"}, 0, "",
       "Invalid format for \"-X\" parameter, unprocessed characters [0x100010000]\n"},
      {"a -X with a sign is refused", {"-X=-1", "-I", "-i", "@STORE@"}, 0, "",
       "Invalid format for \"-X\" parameter, unprocessed characters [-1]\n"},
      {"-t TCPIP, USB and RECOVER", {"-t", "TCPIP", "-t", "USB", "-t", "RECOVER", "-I", "-i", "@STORE@"}, 0, "", ""},
      {"-u alone", {"-u", "http://127.0.0.1:9/cgi/u", "-I", "-i", "@STORE@"}, 0, "", ""},
      {"-m, -n, -e, -l, -k, -f, -s, -o", {"-m", "0", "-n", "-e", "-l", "note", "-k", "x.log", "-f", "a.bird", "-s",
                                         "/dev/ttyS9", "-o", "9600", "-I", "-i", "@STORE@"}, 0, "", ""},
  });
}

TEST(CommandLine, CommandsWithoutTheirParameters) {
  RunCases({
      {"-N without -s", {"-N", "-i", "@STORE@"}, 1, "", "Must specify the serial port used for connecting\n"},
      {"-N without -s stops before -D", {"-N", "-D", "-i", "@STORE@"}, 1, "",
       "Must specify the serial port used for connecting\n"},
      {"-G without -d", {"-G", "-U", "-i", "@STORE@"}, 1, "",
       "-G must specify a specific device via -d\n--help for usage information\n"},
      {"-U without -d", {"-U", "-i", "@STORE@"}, 1, "", "Must specify the specific device to be updated\n"},
      {"-d as the last word is dropped", {"-U", "-i", "@STORE@", "-d"}, 1, "",
       "Must specify the specific device to be updated\n"},
      {"-B without -d", {"-B", "-i", "@STORE@"}, 1, "",
       "Error must supply a serial number for the List Builds command\n" + clitest::ShortUsage()},
      {"-L without -d", {"-L", "-i", "@STORE@"}, 1, "",
       "Error must supply a serial number for the List Local Builds command\n" + clitest::ShortUsage()},
  });
}

// A TCP port on 127.0.0.1 that refuses connections for as long as the object lives:
// bound, never listening.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~RefusingPort() {
    if (fd_ >= 0) close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::vector<Case> WithServer(std::vector<Case> cases, const std::string& url) {
  for (Case& c : cases) {
    c.args.push_back("-u");
    c.args.push_back(url);
  }
  return cases;
}

// A port that is no serial line holds no LPC chip and no i.MX boot ROM: both commands
// fail. (-N first looks for the default i.MX loader at the server, which refuses.)
TEST(CommandLine, FingerprintAndRecoveryWithoutAChip) {
  RefusingPort server;
  RunCases(WithServer(
      {
          {"-U -t RECOVER without -d", {"-U", "-t", "RECOVER", "-s", "/dev/null", "-i", "@STORE@"}, 1, "",
           "Could not get Device Identifier\n"},
          {"-N", {"-N", "-s", "/dev/null", "-i", "@STORE@"}, 1, "", "Got no response from chip\n"},
      },
      server.url()));
}

// The commands run in their fixed order and each sets the exit status as it should, here
// against an update server that refuses every connection and with no device anywhere.
TEST(CommandLine, CommandOrderAndStatusWithoutServerOrDevice) {
  RefusingPort server;
  ASSERT_NE(server.port(), 0);
  // The reason follows the URL: libcurl's text, then its own account of this failure.
  const std::string refused = "Server request failed for " + server.url() + ": Couldn't connect to server (@ANY@)\n";
  const std::string latest = "No build specified\nUsing Latest build\n";
  RunCases(WithServer(
      {
          {"-G", {"-G", "-d", "0x40F5849A", "-i", "@STORE@"}, 1,
           "Retrieving firmware for device with serial number 40F5849A\n" + latest, refused},
          {"-G with a lower-case serial", {"-G", "-d", "40f5849a", "-i", "@STORE@"}, 1,
           "Retrieving firmware for device with serial number 40F5849A\n" + latest, refused},
          {"-G with -b 007", {"-G", "-d", "1", "-b", "007", "-i", "@STORE@"}, 1,
           "Retrieving firmware for device with serial number 00000001\nRetrieving firmware build 7\n", refused},
          {"-G with an empty -b", {"-G", "-d", "1", "-b=", "-i", "@STORE@"}, 1,
           "Retrieving firmware for device with serial number 00000001\nRetrieving firmware build 0\n", refused},
          {"-G then -U", {"-G", "-U", "-d", "1", "-i", "@STORE@"}, 1,
           "Retrieving firmware for device with serial number 00000001\n" + latest,
           refused + refused + "Could not find valid build for this device.\n"},
          {"-U", {"-U", "-d", "1", "-i", "@STORE@"}, 1, "", refused + "Could not find valid build for this device.\n"},
          {"-B always ends with 0", {"-B", "-d", "1", "-i", "@STORE@"}, 0, "No builds found for device [00000001]\n",
           refused},
          {"-L of an empty store", {"-L", "-d", "1", "-i", "@STORE@"}, 0, "No builds found for device [00000001]\n",
           ""},
      },
      server.url()));
}

// Discovery: USB only unless -t names another link, so these send nothing on a network.
TEST(CommandLine, DiscoveryOrderAndStatus) {
  const std::string none = "Discovered Devices: (USB)\n    No devices found.\n";
  std::vector<Case> cases = {
      {"-N before -D, and -D clears its status", {"-D", "-N", "-s", "/dev/null", "-i", "@STORE@"}, 0,
       "Searching for Tallowick devices\n" + none, "Got no response from chip\n"},
      {"-D", {"-D", "-i", "@STORE@"}, 0, "Searching for Tallowick devices\n" + none, ""},
      {"-d followed by -D drops -d", {"-d", "-D", "-i", "@STORE@"}, 0, "Searching for Tallowick devices\n" + none, ""},
      {"-Z followed by -D drops -Z", {"-Z", "-D", "-i", "@STORE@"}, 0, "Searching for Tallowick devices\n" + none, ""},
      {"-D runs before -U", {"-U", "-D", "-d", "1", "-i", "@STORE@"}, 0, "Searching for Tallowick devices\n" + none,
       ""},
  };
  RefusingPort server;
  RunCases(WithServer(cases, server.url()));
}

// The router scan may fall back to TCP/IP discovery: it runs only inside a private
// network namespace of the test's own, which the Updater child inherits.
TEST(CommandLine, DiscoveryThroughARouter) {
  NETTEST_ENTER_PRIVATE_NETWORK(false);
  RefusingPort server;
  RunCases(WithServer({{"-D through a router", {"-D", "-r", "0xD272031D", "-i", "@STORE@"}, 0,
                        "Searching for Tallowick Network devices connected to D272031D\n"
                        "Discovered Devices: (Unknown)\n    No devices found.\n",
                        ""}},
                      server.url()));
}

TEST(CommandLine, StoreDirectoryUnderI) {
  TempDir root;
  RunResult r = RunUpdater({"-I", "-i", root.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testsupport::isDirectory(root.path() + "/updater"));
  EXPECT_FALSE(testsupport::isDirectory(root.path() + "/.quenlark"));

  // A root that does not exist yet is made with its store directory.
  r = RunUpdater({"-I", "-i", root.path() + "/a/b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(testsupport::isDirectory(root.path() + "/a/b/updater"));
}

TEST(CommandLine, StoreDirectoryThatCannotBeMade) {
  TempDir root;
  const std::string file = root.path() + "/plain-file";
  std::ofstream(file) << "not a directory";
  RunResult r = RunUpdater({"-D", "-i", file});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(VersionThen(r.out, ""));
  EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\n");
}

TEST(CommandLine, LogMaskActivatesCategories) {
  TempDir store;
  // 0x10000 shows the words in the order the parser left them: options first,
  // the other words behind them in their own order.
  for (const char* mask : {"0x10000", "65536", "0X10000"}) {
    SCOPED_TRACE(mask);
    RunResult r = RunUpdater({"first", "-X", mask, "-I", "second", "-i", store.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(VersionThen(r.out, ""));
    EXPECT_EQ(r.err, "\nApplication parameters:[Updater]\n\t[Updater]\n\t[-X]\n\t[" + std::string(mask) +
                         "]\n\t[-I]\n\t[-i]\n\t[" + store.path() + "]\n\t[first]\n\t[second]\n");
  }

  // Categories are read in order: -d logs its prefix only after a -X with bit 0x1.
  RunResult r = RunUpdater({"-X", "1", "-d", "0x40F5849A", "-I", "-i", store.path()});
  EXPECT_EQ(r.err, "Discarding '0x' serial number prefix\n");
  r = RunUpdater({"-d", "0x40F5849A", "-X", "1", "-r", "0XD272031D", "-I", "-i", store.path()});
  EXPECT_EQ(r.err, "Discarding '0x' router serial number prefix\n");
  // Masks of several -X accumulate; a refused one activates nothing.
  r = RunUpdater({"-X", "1", "-X", "0x10000", "-X", "0x1000g", "-d", "0x1", "-I", "-i", store.path()});
  EXPECT_NE(r.err.find("Invalid format for \"-X\" parameter, unprocessed characters [g]\n"), std::string::npos);
  EXPECT_NE(r.err.find("Discarding '0x' serial number prefix\n"), std::string::npos);
  EXPECT_NE(r.err.find("Application parameters:"), std::string::npos);
  // Without any -X nothing is logged.
  r = RunUpdater({"-d", "0x40F5849A", "-I", "-i", store.path()});
  EXPECT_EQ(r.err, "");
}

namespace {

// A uid with no entry in the password database.
uid_t UnusedUid() {
  for (uid_t uid = 61234; uid < 62000; ++uid)
    if (getpwuid(uid) == nullptr) return uid;
  return static_cast<uid_t>(-1);
}

}  // namespace

TEST(CommandLine, DefaultStoreForUserWithoutPasswordEntry) {
  uid_t uid = UnusedUid();
  ASSERT_NE(uid, static_cast<uid_t>(-1));
  // Under /tmp, which every user can reach, whatever TMPDIR says.
  TempDir home("/tmp");
  ASSERT_EQ(chown(home.path().c_str(), uid, uid), 0);
  RunOptions options;
  options.uid = uid;
  options.gid = uid;
  options.setEnv = {"HOME=" + home.path()};
  options.workDir = "/";

  RunResult r = RunUpdater({"-I"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(testsupport::isDirectory(home.path() + "/.quenlark/updater"));

  // No password entry and no usable HOME: refused, never a store at the file-system root.
  for (bool unset : {true, false}) {
    SCOPED_TRACE(unset ? "HOME unset" : "HOME empty");
    RunOptions none = options;
    none.setEnv = unset ? std::vector<std::string>{} : std::vector<std::string>{"HOME="};
    none.unsetEnv = unset ? std::vector<std::string>{"HOME"} : std::vector<std::string>{};
    r = RunUpdater({"-X", "0x10000", "-I"}, none);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(VersionThen(r.out, ""));
    EXPECT_NE(r.err.find("Updater: FailedaDirectory_GetHomeDirectory()==> 3\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Could not find the home directory; name the store location with -i\n"), std::string::npos);
    EXPECT_FALSE(testsupport::isDirectory("/.quenlark/updater"));
  }
}

// -i without a directory (empty, the last word, or followed by an option) is refused
// like any bad parameter: the run must not go on in the home directory's store.
TEST(CommandLine, AStoreOptionWithoutADirectoryIsRefused) {
  uid_t uid = UnusedUid();
  ASSERT_NE(uid, static_cast<uid_t>(-1));
  TempDir home("/tmp");
  ASSERT_EQ(chown(home.path().c_str(), uid, uid), 0);
  RunOptions options;
  options.uid = uid;
  options.gid = uid;
  options.setEnv = {"HOME=" + home.path()};
  options.workDir = "/";
  const std::vector<std::vector<std::string>> cases = {
      {"-I", "-i", ""}, {"-I", "-i="}, {"-I", "-i"}, {"-i", "-I"}, {"-L", "-d", "1", "-i"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    RunResult r = RunUpdater(args, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(VersionThen(r.out, ""));
    EXPECT_EQ(r.err, "Invalid store directory obtained from argument []\n" + clitest::ShortUsage());
    EXPECT_FALSE(testsupport::isDirectory(home.path() + "/.quenlark"));
  }
}

TEST(CommandLine, ProgramNameFromThePath) {
  TempDir store;
  RunResult r = RunProgram(UPDATER_BINARY, {"C:\\tools/bin\\Upd", "-X", "0x10000", "-I", "-i", store.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.rfind("\nApplication parameters:[Upd]\n\t[C:\\tools/bin\\Upd]\n", 0), 0u) << r.err;
}

TEST(CommandLine, NoDrawingIntoAPipeOrTerminalForMessagesOnly) {
  // The version line under a terminal is the same bytes: messages never draw.
  RunOptions terminal;
  terminal.stdoutIsTerminal = true;
  RunResult r = RunUpdater({}, terminal);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(VersionThen(r.out, ""));
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

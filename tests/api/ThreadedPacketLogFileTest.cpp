// Packet log files of a Link: the exact lines (typed by hand), the START marker of
// every enable, a file that follows the Link across a reconnection and a reset, and a
// logger that idles instead of spinning once its core link is gone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "api/SystemClass.h"
#include "common/log/aLinkPacketDebug.h"
#include "common/unix/aTime.h"
#include "tests/api/SimFixture.h"
#include "tests/support/Threads.h"

namespace apitest {
namespace {

using namespace std::string_literals;

const std::string kStart = "6 < START\0\r\n"s;
// The system entity's model query to module 4 and its answer, model 0x13.
const std::string kQuery = "5 > 0x4 0x3 0x3 0x48 0x20 \r\n";
const std::string kAnswer = "6 < 0x4 0x4 0x3 0x8 0x0 0x13 \r\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The file's text for a failure message: control bytes and NULs spelled out.
std::string shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const aTime end = aTime_GetMonotonicMSTicks() + static_cast<aTime>(timeoutMs);
  while (!cond()) {
    if (aTime_GetMonotonicMSTicks() >= end) return false;
    aTime_MSSleep(2);
  }
  return true;
}

double processCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The write calls a thread of this process has made.
long writeCalls(int thread) {
  std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/io");
  std::string key;
  long value = -1;
  while (in >> key >> value)
    if (key == "syscw:") return value;
  return -1;
}

class PacketLogFile : public ConnectedFixture {
 protected:
  void SetUp() override {
    ConnectedFixture::SetUp();
    char dir[] = "/tmp/packetlog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    directory = dir;
    path = directory + "/link.log";
    sys.init(&module, 0);
  }
  void TearDown() override {
    ConnectedFixture::TearDown();
    std::remove(path.c_str());
    rmdir(directory.c_str());
  }
  void query() {
    uint8_t model = 0;
    ASSERT_EQ(sys.getUEI8(8, &model), aErrNone);
    ASSERT_EQ(model, 0x13);
  }
  // Waits until the file holds exactly text.
  bool fileIs(const std::string& text) { return waitFor([&] { return readFile(path) == text; }); }

  std::string directory;
  std::string path;
  SystemClass sys;
};

TEST_F(PacketLogFile, LinesOfAnExchangeAfterTheStartMarker) {
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  EXPECT_TRUE(fileIs(kStart)) << shown(readFile(path));
  query();
  EXPECT_TRUE(fileIs(kStart + kQuery + kAnswer)) << shown(readFile(path));

  // Off: nothing is recorded. On again: another START, and the file goes on.
  ASSERT_EQ(link->disablePacketLog(), aErrNone);
  query();
  ASSERT_EQ(link->enablePacketLog("/ignored/after/the/first"), aErrNone);
  query();
  EXPECT_TRUE(fileIs(kStart + kQuery + kAnswer + kStart + kQuery + kAnswer)) << shown(readFile(path));
}

TEST_F(PacketLogFile, AFullPacketIsOneLine) {
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  uint8_t bytes[25];
  for (uint8_t i = 0; i < 25; i++) bytes[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(link->sendPacket(front->address(), 0x60, sizeof bytes, bytes), aErrNone);
  EXPECT_TRUE(fileIs(kStart +
                     "28 > 0x4 0x1A 0x60 0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 0x9 0xA 0xB 0xC 0xD 0xE 0xF 0x10 0x11 0x12 "
                     "0x13 0x14 0x15 0x16 0x17 0x18 0x19 \r\n"))
      << shown(readFile(path));
}

// A whole line goes out in one write: the file is unbuffered, and a write per item
// would leave the logger behind a busy link.
TEST_F(PacketLogFile, EachLineIsOneWrite) {
  const testsupport::ThreadBaseline before;
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  const std::set<int> fresh = before.started();
  ASSERT_EQ(fresh.size(), 1u) << "the logger thread";
  const int logger = *fresh.begin();
  ASSERT_TRUE(fileIs(kStart));
  const long calls = writeCalls(logger);
  ASSERT_GE(calls, 1);
  query();
  query();
  ASSERT_TRUE(fileIs(kStart + kQuery + kAnswer + kQuery + kAnswer));
  EXPECT_EQ(writeCalls(logger) - calls, 4);
}

// Records longer than any packet (a caller's text) are written whole, and the records
// after them follow.
TEST_F(PacketLogFile, ALongRecordIsOneLineAndDoesNotHoldUpTheRest) {
  // The same device's link: the core hands out the Link's own core link with one more use.
  aLinkRef core = aLink_CreateTCPIP(spec().serialNumber, htonl(INADDR_LOOPBACK), tcp->port());
  ASSERT_NE(core, 0u);
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_TRUE(fileIs(kStart));
  const std::string text(200, 'x');
  ASSERT_EQ(aLink_PacketDebug_Write(core, 3, static_cast<uint32_t>(text.size()),
                                    reinterpret_cast<const uint8_t*>(text.data())),
            aErrNone);
  std::vector<uint8_t> bytes(70, 0xAB);
  ASSERT_EQ(aLink_PacketDebug_Write(core, 1, static_cast<uint32_t>(bytes.size()), bytes.data()), aErrNone);
  query();
  std::string hex = "70 > ";
  for (int i = 0; i < 70; i++) hex += "0xAB ";
  EXPECT_TRUE(fileIs(kStart + "200 < " + text + "\r\n" + hex + "\r\n" + kQuery + kAnswer)) << shown(readFile(path));
  aLink_Destroy(&core);
}

TEST_F(PacketLogFile, AppendsToAnExistingFile) {
  {
    std::ofstream out(path, std::ios::binary);
    out << "earlier\r\n";
  }
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  query();
  EXPECT_TRUE(fileIs("earlier\r\n" + kStart + kQuery + kAnswer)) << shown(readFile(path));
}

TEST_F(PacketLogFile, RefusalsAreReported) {
  Link unconnected("Link");
  EXPECT_EQ(unconnected.enablePacketLog(path.c_str()), aErrConfiguration);
  EXPECT_EQ(unconnected.disablePacketLog(), aErrConfiguration);
  EXPECT_EQ(link->enablePacketLog(nullptr), aErrParam);
  EXPECT_EQ(link->disablePacketLog(), aErrParam) << "never enabled";
  // A file that cannot be opened is a failure, and leaves recording off: traffic until
  // the next enable does not reach the file.
  EXPECT_EQ(link->enablePacketLog((directory + "/missing/link.log").c_str()), aErrIO);
  query();
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  query();
  EXPECT_TRUE(fileIs(kStart + kQuery + kAnswer)) << shown(readFile(path));
}

// After a disconnect the logger's reads fail for good; it must idle, not spin. After
// the reconnection, enabling again carries the new link's traffic into the same file.
TEST_F(PacketLogFile, FollowsTheLinkAcrossAReconnection) {
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  query();
  ASSERT_TRUE(fileIs(kStart + kQuery + kAnswer));
  ASSERT_EQ(module.disconnect(), aErrNone);
  const double cpu0 = processCpuMs();
  const aTime wall0 = aTime_GetMonotonicMSTicks();
  aTime_MSSleep(300);
  const double cpu = processCpuMs() - cpu0;
  const double wall = static_cast<double>(aTime_GetMonotonicMSTicks() - wall0);
  EXPECT_LT(cpu, wall * 0.25) << "the process used " << cpu << " ms of CPU in " << wall << " ms";

  ASSERT_EQ(module.reconnect(), aErrNone);
  ASSERT_EQ(link->enablePacketLog("/another/path"), aErrNone);
  query();
  EXPECT_TRUE(fileIs(kStart + kQuery + kAnswer + kStart + kQuery + kAnswer)) << shown(readFile(path));
}

// A reset drops the core link's log; the Link starts recording again.
TEST_F(PacketLogFile, GoesOnAfterAReset) {
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_EQ(link->reset(), aErrNone);
  ASSERT_TRUE(waitFor([&] { return device->connections() == 2 && link->isConnected(); }));
  // A request written while the old connection was closing is lost with it.
  uint8_t model = 0;
  for (int i = 0; i < 3 && sys.getUEI8(8, &model) != aErrNone; i++) {
  }
  ASSERT_EQ(model, 0x13);
  EXPECT_TRUE(waitFor([&] {
    const std::string text = readFile(path);
    return text.size() >= kQuery.size() + kAnswer.size() &&
           text.compare(text.size() - kQuery.size() - kAnswer.size(), std::string::npos, kQuery + kAnswer) == 0;
  })) << shown(readFile(path));
}

}  // namespace
}  // namespace apitest

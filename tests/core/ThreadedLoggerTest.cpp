// The logger thread: one thread per logger however often it is enabled, a file that is
// appended to and written through at once, and the calls its own callback may make.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log/aLogger.h"
#include "common/unix/aTime.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TempFile {
  TempFile() {
    char name[] = "/tmp/logger-test-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

bool waitFor(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const aTime end = aTime_GetMonotonicMSTicks() + static_cast<aTime>(timeoutMs);
  while (!cond()) {
    if (aTime_GetMonotonicMSTicks() >= end) return false;
    aTime_MSSleep(1);
  }
  return true;
}

// What the callbacks of one test see; reached through the logger's parameter.
struct Probe {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<unsigned> calls{0};
  std::atomic<aLogger*> logger{nullptr};
  std::atomic<int> selfResult{-1};
};
std::vector<Probe*> gProbes;
std::mutex gProbesMutex;

Probe* probeOf(uint32_t parameter) {
  std::lock_guard<std::mutex> lock(gProbesMutex);
  return gProbes.at(parameter);
}
uint32_t addProbe(Probe* p) {
  std::lock_guard<std::mutex> lock(gProbesMutex);
  gProbes.push_back(p);
  return static_cast<uint32_t>(gProbes.size() - 1);
}

void countingCallback(aFile* file, uint32_t parameter) {
  Probe* p = probeOf(parameter);
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    p->threads.insert(std::this_thread::get_id());
  }
  if (p->calls++ == 0) aFile_Write(file, "line\n", 5, nullptr);
  aTime_MSSleep(1);
}

TEST(ThreadedLogger, AppendsThroughAtOnceOnOneThread) {
  TempFile file;
  {
    std::ofstream out(file.path, std::ios::binary);
    out << "old\n";
  }
  Probe probe;
  aLogger* logger = aLogger_Create(addProbe(&probe), countingCallback, file.path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(probe.calls.load(), 0u) << "not running before enable";
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  // Unbuffered: the line is in the file while the logger still holds it open.
  EXPECT_TRUE(waitFor([&] { return readFile(file.path) == "old\nline\n"; })) << readFile(file.path);
  ASSERT_TRUE(waitFor([&] { return probe.calls.load() > 10; }));
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  const unsigned stopped = probe.calls.load();
  aTime_MSSleep(20);
  EXPECT_EQ(probe.calls.load(), stopped) << "no call after disable returned";
  {
    std::lock_guard<std::mutex> lock(probe.mutex);
    EXPECT_EQ(probe.threads.size(), 1u);
    EXPECT_EQ(probe.threads.count(std::this_thread::get_id()), 0u);
  }
  // It can be started again.
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_TRUE(waitFor([&] { return probe.calls.load() > stopped; }));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST(ThreadedLogger, RefusesWhatItCannotUse) {
  EXPECT_EQ(aLogger_Create(0, countingCallback, "/nonexistent-dir/log.txt"), nullptr);
  EXPECT_EQ(aLogger_Create(0, countingCallback, nullptr), nullptr);
  TempFile file;
  EXPECT_EQ(aLogger_Create(0, nullptr, file.path.c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
  aLogger forged;   // never made by aLogger_Create: no check word
  EXPECT_EQ(aLogger_Enable(&forged), aErrParam);
}

// The callback tries to stop and to free its own logger: the thread cannot wait for
// itself, and freeing the logger under its running loop would be a use after free.
void selfStoppingCallback(aFile*, uint32_t parameter) {
  Probe* p = probeOf(parameter);
  aLogger* logger = p->logger.load();
  if (p->calls++ == 0 && logger != nullptr) {
    const aErr disabled = aLogger_Disable(logger);
    const aErr enabled = aLogger_Enable(logger);
    aLogger* copy = logger;
    const aErr destroyed = aLogger_Destroy(&copy);
    p->selfResult = disabled == aErrNone && enabled == aErrNone && destroyed == aErrBusy && copy == logger ? 1 : 0;
  }
  aTime_MSSleep(1);
}

TEST(ThreadedLogger, ItsOwnThreadCanNeitherStopNorFreeIt) {
  TempFile file;
  Probe probe;
  aLogger* logger = aLogger_Create(addProbe(&probe), selfStoppingCallback, file.path.c_str());
  ASSERT_NE(logger, nullptr);
  probe.logger = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(waitFor([&] { return probe.selfResult.load() >= 0; }));
  EXPECT_EQ(probe.selfResult.load(), 1);
  // Still running and still valid.
  const unsigned seen = probe.calls.load();
  EXPECT_TRUE(waitFor([&] { return probe.calls.load() > seen + 3; }));
  EXPECT_TRUE(aVALIDLOGGER(logger));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

TEST(ThreadedLogger, EnableAndDisableFromManyThreadsLeaveOneThreadAtMost) {
  TempFile file;
  Probe probe;
  aLogger* logger = aLogger_Create(addProbe(&probe), countingCallback, file.path.c_str());
  ASSERT_NE(logger, nullptr);
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; t++) {
    callers.emplace_back([logger, t] {
      for (int i = 0; i < 50; i++) {
        if ((i + t) % 2 == 0) EXPECT_EQ(aLogger_Enable(logger), aErrNone);
        else EXPECT_EQ(aLogger_Disable(logger), aErrNone);
      }
    });
  }
  for (auto& c : callers) c.join();
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  // Exactly one thread runs now: a second one would double the calls' threads seen
  // from here on.
  {
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.threads.clear();
  }
  const unsigned seen = probe.calls.load();
  ASSERT_TRUE(waitFor([&] { return probe.calls.load() > seen + 20; }));
  {
    std::lock_guard<std::mutex> lock(probe.mutex);
    EXPECT_EQ(probe.threads.size(), 1u);
  }
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

}  // namespace

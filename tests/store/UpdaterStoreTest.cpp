// The device store on temporary directories: device entries, exact name matching,
// local builds, stored files replaced whole.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <stdexcept>

#include "tests/fakes/BirdGenerator.h"
#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "updater/store/UpdaterStore.h"
#include "updater/store/path.h"

using testsupport::exists;
using testsupport::readText;
using testsupport::writeText;

namespace {

class UpdaterStoreTest : public ::testing::Test {
protected:
  testsupport::TempDir dir;
  std::string base = dir.sub("updater");
};

std::vector<std::string> sortedListing(const std::string& directory) {
  std::vector<std::string> names = testsupport::listDirectory(directory);
  std::sort(names.begin(), names.end());
  return names;
}

std::string throwMessage(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// Seconds before now that a temporary was last written: well past the age at which one
// is taken as stale, and just short of it.
constexpr int64_t kLongAgo = kStaleTemporarySeconds + 3 * 3600;
constexpr int64_t kNotQuiteStale = kStaleTemporarySeconds - 3600;

// Writes a file last written secondsAgo before now.
void writeAged(const std::string& path, const std::string& text, int64_t secondsAgo) {
  writeText(path, text);
  const struct timespec when = {static_cast<time_t>(time(nullptr) - secondsAgo), 0};
  const struct timespec times[2] = {when, when};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A pid that no process has: a child's, waited for.
pid_t endedPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  EXPECT_GT(pid, 0);
  EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
  return pid;
}

TEST(BuildPathTest, JoinsWithSlashesAndNothingElse) {
  EXPECT_EQ(BuildPath("a", nullptr), "a");
  EXPECT_EQ(BuildPath("a", "b", "c", nullptr), "a/b/c");
  EXPECT_EQ(BuildPath("/x/", "y", nullptr), "/x//y");
  EXPECT_EQ(BuildPath("", "", nullptr), "/");
}

TEST_F(UpdaterStoreTest, ConstructorMakesTheBaseWithItsParents) {
  const std::string deep = dir.sub("a/b/updater");
  UpdaterStore store(deep.c_str());
  EXPECT_STREQ(store.BasePath(), deep.c_str());
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u);
  UpdaterStore again(deep.c_str());  // an existing one is fine
}

TEST_F(UpdaterStoreTest, ConstructorFailures) {
  writeText(dir.sub("plain"), "x");
  EXPECT_EQ(throwMessage([&] { UpdaterStore s(dir.sub("plain").c_str()); }),
            "UpdaterStore: " + dir.sub("plain") + " exists and is a file");
  EXPECT_EQ(throwMessage([&] { UpdaterStore s(dir.sub("plain/updater").c_str()); }),
            "UpdaterStore: Could not create directory " + dir.sub("plain/updater") + " error 12");
}

TEST_F(UpdaterStoreTest, NewDeviceGetsADirectoryAndAnAttributeFile) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
  EXPECT_TRUE(device.IsValid());
  EXPECT_EQ(device.base, base);
  EXPECT_EQ(device.name, "40F5849A");
  EXPECT_EQ(device.type, STORE_ITEM_DIRECTORY);
  const std::string settings = readText(base + "/40F5849A/.settings");
  EXPECT_EQ(settings.find("CREATED_TIME="), 0u) << settings;
  EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;
  EXPECT_EQ(std::count(settings.begin(), settings.end(), '\n'), 2);

  // Lower-case hexadecimal never appears: the name is "%08X".
  EXPECT_EQ(store.AddDevice(0xabcu).name, "00000ABC");

  writeText(base + "/12345678", "not a directory");
  EXPECT_EQ(throwMessage([&] { store.AddDevice(0x12345678u); }),
            "UpdaterStore: " + base + "/12345678 exists and is a file");
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesTheNameExactly) {
  // The base path itself contains the serial number, and so do other entries' names:
  // only the entry named exactly so is the device.
  const std::string tricky = dir.sub("40F5849A/updater");
  UpdaterStore store(tricky.c_str());
  ASSERT_EQ(mkdir((tricky + "/140F5849A").c_str(), 0755), 0);
  writeText(tricky + "/40F5849A.bird", "x");
  writeText(tricky + "/40F5849A0", "x");

  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x40F5849Au, &item));
  EXPECT_FALSE(item.IsValid());
  EXPECT_EQ(item.type, STORE_ITEM_UNSET);

  store.AddDevice(0x40F5849Au);
  LogCapture log(0x1);
  ASSERT_TRUE(store.FindDevice(0x40F5849Au, &item));
  EXPECT_EQ(item.base, tricky);
  EXPECT_EQ(item.name, "40F5849A");
  EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.attributes["CREATED_TIME"] != nullptr);
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 40F5849A.\n")) << log.text();
  EXPECT_TRUE(store.FindDevice("40F5849A", nullptr));
  EXPECT_FALSE(store.FindDevice("40f5849a", nullptr));
  EXPECT_FALSE(store.FindDevice("", nullptr));
  EXPECT_FALSE(store.FindDevice(".", nullptr));
  EXPECT_FALSE(store.FindDevice("..", nullptr));
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 40f5849a.\n"));

  // Unlistable base: no match and no fuss.
  UpdaterStore other(dir.sub("other").c_str());
  ASSERT_EQ(rmdir(dir.sub("other").c_str()), 0);
  EXPECT_FALSE(other.FindDevice(0x40F5849Au, &item));
}

TEST_F(UpdaterStoreTest, LocalBuildsAreTheDevicesVisibleEntries) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0000BEEFu);
  const std::string deviceDir = base + "/0000BEEF";
  writeText(deviceDir + "/100.bird", "a");
  writeText(deviceDir + "/200.bird", "b");
  writeText(deviceDir + "/.hidden", "c");
  writeText(deviceDir + "/.100.bird.tmp-1-2-3", "left over");

  std::vector<UpdaterStoreItem> items;
  LogCapture log(0x4);
  EXPECT_TRUE(store.FindLocalBuilds(0x0000BEEFu, items));
  ASSERT_EQ(items.size(), 2u);
  std::vector<std::string> names = {items[0].name, items[1].name};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "200.bird"}));
  for (const UpdaterStoreItem& item : items) {
    EXPECT_EQ(item.base, deviceDir);
    EXPECT_EQ(item.type, STORE_ITEM_FILE);
    // Its attribute path lies under a file: in memory only, nothing written.
    EXPECT_TRUE(item.attributes["CREATED_TIME"] != nullptr);
    EXPECT_TRUE(item.attributes["UPDATED_TIME"] != nullptr);
  }
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + deviceDir + "/100.bird/.settings'"));
  EXPECT_EQ(readText(deviceDir + "/100.bird"), "a");

  // A device that is not there: true, nothing appended.
  EXPECT_TRUE(store.FindLocalBuilds(0x0000BEEEu, items));
  EXPECT_EQ(items.size(), 2u);
}

TEST_F(UpdaterStoreTest, WriteFileReplacesWholeAndReadBirdFileVerifies) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x1u);
  birdgen::BirdLayout layout;
  layout.blocks.push_back(birdgen::identityBlock("321", "2.0.1", "00000001", "M"));
  const birdgen::Bytes bird = birdgen::file(layout);
  ASSERT_EQ(device.WriteFile("321.bird", bird.data(), bird.size()), aErrNone);
  EXPECT_EQ(birdgen::readFile(base + "/00000001/321.bird"), bird);
  EXPECT_EQ(device.ReadBirdFile("321.bird").GetVersion(), "2.0.1");
  EXPECT_TRUE(device.FileExists("321.bird"));
  EXPECT_FALSE(device.FileExists("321.bir"));
  EXPECT_FALSE(device.FileExists("21.bird"));

  // A second write of the same name replaces it.
  const uint8_t small[] = {'b', 'i', 'r', 'd', 1, 1, 0};
  ASSERT_EQ(device.WriteFile("321.bird", small, sizeof small), aErrNone);
  EXPECT_EQ(readText(base + "/00000001/321.bird").size(), sizeof small);
  EXPECT_EQ(throwMessage([&] { device.ReadBirdFile("321.bird"); }), "Failed to load bird data");
  writeText(base + "/00000001/junk.bird", "junk");
  EXPECT_EQ(throwMessage([&] { device.ReadBirdFile("junk.bird"); }), "Invalid bird " + base + "/00000001/junk.bird");
  EXPECT_EQ(throwMessage([&] { device.ReadBirdFile("none.bird"); }), "Invalid bird " + base + "/00000001/none.bird");

  EXPECT_EQ(device.WriteFile("x.bird", nullptr, 0), aErrNotFound);
  ASSERT_EQ(mkdir((base + "/00000001/dir.bird").c_str(), 0755), 0);
  EXPECT_EQ(device.WriteFile("dir.bird", small, sizeof small), aErrNotFound);
  UpdaterStoreItem gone(dir.sub("nowhere").c_str(), "00000001", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("1.bird", small, sizeof small), aErrNotFound);
}

TEST_F(UpdaterStoreTest, FullDiskNeverLeavesATruncatedBirdFile) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x2u);
  const birdgen::Bytes first = birdgen::randomImage(4000, 1), second = birdgen::randomImage(400000, 2);
  ASSERT_EQ(device.WriteFile("7.bird", first.data(), first.size()), aErrNone);
  const testsupport::RunResult result = testsupport::RunInChild([&]() {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100000, 100000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return testsupport::kUnsupported;
    return device.WriteFile("7.bird", second.data(), second.size()) == aErrIO ? 0 : 1;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(birdgen::readFile(base + "/00000002/7.bird"), first);
  EXPECT_EQ(sortedListing(base + "/00000002"), (std::vector<std::string>{".settings", "7.bird"}));
}

// A run killed in the middle of writing a stored file or the attribute file (here by
// the file-size limit, which ends the writer as a kill would) left its hidden temporary,
// up to the size of a BIRD file, in the device's entry for good. It leaves nothing now,
// and the files stay as they were.
TEST_F(UpdaterStoreTest, AWriterKilledWhileItWritesLeavesNothingBehind) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x3u);
  const std::string entry = base + "/00000003";
  const birdgen::Bytes first = birdgen::randomImage(4000, 1), second = birdgen::randomImage(400000, 2);
  ASSERT_EQ(device.WriteFile("7.bird", first.data(), first.size()), aErrNone);
  const std::string settings = readText(entry + "/.settings");
  // Status -1: the child did not exit, the limit's signal ended it in its write.
  const auto endedInItsWrite = [](rlim_t bytes, const std::function<void()>& write) {
    return testsupport::RunInChild([&]() {
             signal(SIGXFSZ, SIG_DFL);
             struct rlimit limit = {bytes, bytes};
             if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return testsupport::kUnsupported;
             write();
             return 0;
           }).status == -1;
  };
  EXPECT_TRUE(endedInItsWrite(100000, [&] { device.WriteFile("7.bird", second.data(), second.size()); }));
  EXPECT_TRUE(endedInItsWrite(1000, [&] {
    device.attributes.Add("NOTE", std::string(4000, 'n'));
    device.attributes.Save(nullptr);
  }));
  EXPECT_EQ(birdgen::readFile(entry + "/7.bird"), first);
  EXPECT_EQ(readText(entry + "/.settings"), settings);
  EXPECT_EQ(sortedListing(entry), (std::vector<std::string>{".settings", "7.bird"}));
}

// Where the file system has no unnamed files, or they cannot be named (no /proc), the
// hidden temporary is written as before; one that a run ended in the middle of its save
// left behind goes when its entry is next opened, while a running writer's stays.
TEST_F(UpdaterStoreTest, TemporariesOfEndedRunsGoWhenTheirEntryIsOpened) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x4u);
  const std::string entry = base + "/00000004";
  const birdgen::Bytes bytes = birdgen::randomImage(5000, 3);
  const testsupport::RunResult withoutProc = testsupport::RunInChild([&]() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
      return testsupport::kUnsupported;
    return device.WriteFile("8.bird", bytes.data(), bytes.size()) == aErrNone ? 0 : 1;
  });
  if (withoutProc.status == testsupport::kUnsupported) GTEST_SKIP() << "cannot hide /proc in a child here";
  EXPECT_EQ(withoutProc.status, 0) << withoutProc.err;
  EXPECT_EQ(birdgen::readFile(entry + "/8.bird"), bytes);

  const std::string dead = std::to_string(endedPid()), alive = std::to_string(getpid());
  // The attribute file's temporary is "." + ".settings" + ...: two dots.
  const std::vector<std::string> stale = {".8.bird.tmp-" + dead + "-0-0", "..settings.tmp-" + dead + "-12-3"};
  const std::vector<std::string> kept = {".8.bird.tmp-" + alive + "-1-0", ".8.bird.tmp-" + dead + "-x",
                                         ".notes.tmp-" + dead, "9.bird.tmp-" + dead + "-0-0"};
  // All of them left long ago: only what they are named and whose they are decides.
  for (const std::string& name : stale) writeAged(entry + "/" + name, "left over", kLongAgo);
  for (const std::string& name : kept) writeAged(entry + "/" + name, "kept", kLongAgo);
  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x4u, &found));
  for (const std::string& name : stale) EXPECT_FALSE(exists(entry + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(exists(entry + "/" + name)) << name;
  EXPECT_EQ(birdgen::readFile(entry + "/8.bird"), bytes);
}

// A temporary goes only when it is the store's own (exactly the name ReplaceFile gives
// a stored build or the attribute file, and a regular file), its pid does not run, and
// it has not been written for a day. A writer in another pid namespace (a container
// sharing the home directory) shows a pid that does not run here while it writes: its
// fresh temporary stays. So do a user's files that merely look like temporaries.
TEST_F(UpdaterStoreTest, OnlyOldTemporariesOfTheStoresOwnFilesGo) {
  UpdaterStore store(base.c_str());
  store.AddDevice(0x5u);
  const std::string entry = base + "/00000005";
  const std::string dead = std::to_string(endedPid());
  ASSERT_NE(kill(999999, 0), 0);
  ASSERT_EQ(errno, ESRCH) << "pid 999999 runs here";
  const struct {
    std::string name;
    int64_t age;
    bool kept;
  } cases[] = {
      {".8.bird.tmp-" + dead + "-0-0", kLongAgo, false},          // a run that ended long ago
      {"..settings.tmp-" + dead + "-4-15", kLongAgo, false},
      {".4294967295.bird.tmp-" + dead + "-4294967295-0", kLongAgo, false},
      {".8.bird.tmp-" + dead + "-1-0", 0, true},                  // a live writer elsewhere: fresh
      {".8.bird.tmp-" + dead + "-2-0", kNotQuiteStale, true},     // written within the day
      {"..settings.tmp-" + dead + "-3-0", 60, true},
      {".notes.tmp-999999-0-0", kLongAgo, true},                  // a user's file
      {".notes.bird.tmp-" + dead + "-0-0", kLongAgo, true},       // no build the store writes
      {".settings.tmp-" + dead + "-0-0", kLongAgo, true},         // one dot: not the attribute file's
      {".08.bird.tmp-" + dead + "-0-0", kLongAgo, true},          // numbers as the writer never writes them
      {".8.bird.tmp-0" + dead + "-0-0", kLongAgo, true},
      {".8.bird.tmp-" + dead + "-0-16", kLongAgo, true},
      {".8.bird.tmp-" + dead + "-0-0-1", kLongAgo, true},
      {".8.bird.tmp--" + dead + "-0-0", kLongAgo, true},
      {".4294967296.bird.tmp-" + dead + "-0-0", kLongAgo, true},
      {".8.bird.tmp-4294967295-0-0", kLongAgo, true},              // no pid a process can have
  };
  for (const auto& c : cases) writeAged(entry + "/" + c.name, "x", c.age);
  // Named like a temporary, old, of a pid that ended, but no regular file.
  const std::string directory = entry + "/.9.bird.tmp-" + dead + "-0-0";
  const std::string link = entry + "/.10.bird.tmp-" + dead + "-0-0";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  ASSERT_EQ(symlink("7.bird", link.c_str()), 0);

  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x5u, &found));
  for (const auto& c : cases) EXPECT_EQ(exists(entry + "/" + c.name), c.kept) << c.name;
  EXPECT_TRUE(exists(directory));
  EXPECT_TRUE(exists(link));
}

// A device's entry that is a symbolic link is not followed: nothing is removed in the
// folder it points to, which may be anything.
TEST_F(UpdaterStoreTest, ALinkedDeviceFolderIsNotFollowedIntoItsTarget) {
  UpdaterStore store(base.c_str());
  const std::string elsewhere = dir.sub("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  const std::string old = ".8.bird.tmp-" + std::to_string(endedPid()) + "-0-0";
  writeAged(elsewhere + "/" + old, "not the store's to remove", kLongAgo);
  ASSERT_EQ(symlink(elsewhere.c_str(), (base + "/00000006").c_str()), 0);

  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x6u, &found));
  store.AddDevice(0x6u);
  EXPECT_EQ(readText(elsewhere + "/" + old), "not the store's to remove");
  RemoveStaleTemporaries(base + "/00000006");
  EXPECT_TRUE(exists(elsewhere + "/" + old));
}

TEST_F(UpdaterStoreTest, DefaultItemTouchesNothing) {
  UpdaterStoreItem item;
  EXPECT_FALSE(item.IsValid());
  EXPECT_EQ(item.type, STORE_ITEM_UNSET);
  EXPECT_TRUE(item.attributes.entries.empty());
  EXPECT_TRUE(item.attributes.path.empty());
  UpdaterStoreItem copy = item;
  EXPECT_FALSE(copy.IsValid());
}

}  // namespace

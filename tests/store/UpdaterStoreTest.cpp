// The device store on temporary directories: device entries, exact name matching,
// local builds, stored files replaced whole.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

  // A pid that has ended: a child's, waited for.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::string dead = std::to_string(gone), alive = std::to_string(getpid());
  const std::vector<std::string> stale = {".8.bird.tmp-" + dead + "-0-0", ".settings.tmp-" + dead + "-12-3"};
  const std::vector<std::string> kept = {".8.bird.tmp-" + alive + "-1-0", ".8.bird.tmp-" + dead + "-x",
                                         ".notes.tmp-" + dead, "9.bird.tmp-" + dead + "-0-0"};
  for (const std::string& name : stale) writeText(entry + "/" + name, "left over");
  for (const std::string& name : kept) writeText(entry + "/" + name, "kept");
  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x4u, &found));
  for (const std::string& name : stale) EXPECT_FALSE(exists(entry + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(exists(entry + "/" + name)) << name;
  EXPECT_EQ(birdgen::readFile(entry + "/8.bird"), bytes);
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

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "common/aDirectory.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace {

class DirectoryTest : public ::testing::Test {
 protected:
  testsupport::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(DirectoryTest, EnsureMakesEveryMissingParent) {
  const std::string deep = dir_ + "/x/y/z";
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((dir_ + "/x").c_str()));
  EXPECT_TRUE(aDirectory_Exists((dir_ + "/x/y").c_str()));
  EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u);
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_EQ(aDirectory_Ensure((deep + "/").c_str(), 0755), aErrNone);
}

TEST_F(DirectoryTest, EnsureRelativePath) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  const aErr result = aDirectory_Ensure("a/b", 0755);
  const bool made = aDirectory_Exists("a") && aDirectory_Exists("a/b");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(result, aErrNone);
  EXPECT_TRUE(made);
}

TEST_F(DirectoryTest, EnsureRefusesAFileInTheWay) {
  std::ofstream(dir_ + "/file") << "x";
  EXPECT_EQ(aDirectory_Ensure((dir_ + "/file/sub").c_str(), 0755), aErrPermission);
  // The path itself names a file: no directory can be there.
  EXPECT_EQ(aDirectory_Ensure((dir_ + "/file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

// The child's status when it could not drop its privileges.
constexpr int kCannotDrop = 126;

TEST_F(DirectoryTest, EnsureReportsPermissionDeniedToUnprivilegedUser) {
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  testsupport::RunOptions unprivileged;
  unprivileged.uid = 65534;
  unprivileged.gid = 65534;
  const testsupport::RunResult r = testsupport::RunInChild(
      [&] { return aDirectory_Ensure((dir_ + "/denied/sub").c_str(), 0755) == aErrPermission ? 0 : 1; },
      unprivileged);
  if (r.status == kCannotDrop) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(r.status, 0);
}

struct Listing {
  std::set<std::string> names;
  std::set<std::string> dirs;
  int calls = 0;
  int stopAfter = -1;
};

bool collect(const aDirectoryListData* entry, void* ref) {
  auto* l = static_cast<Listing*>(ref);
  l->calls++;
  const std::string p = entry->path;
  const std::string name = p.substr(p.rfind('/') + 1);
  l->names.insert(name);
  if (entry->isDirectory) l->dirs.insert(name);
  return l->stopAfter < 0 || l->calls < l->stopAfter;
}

TEST_F(DirectoryTest, ListCallsBackPerEntry) {
  std::ofstream(dir_ + "/f1") << "12345";
  ASSERT_EQ(mkdir((dir_ + "/d1").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (dir_ + "/dangling").c_str()), 0);  // stat fails: skipped
  Listing l;
  EXPECT_EQ(aDirectory_List(dir_.c_str(), collect, &l), aErrNone);
  EXPECT_EQ(l.names, (std::set<std::string>{".", "..", "f1", "d1"}));
  EXPECT_EQ(l.dirs, (std::set<std::string>{".", "..", "d1"}));

  Listing once;
  once.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(dir_.c_str(), collect, &once), aErrNone);
  EXPECT_EQ(once.calls, 1);

  Listing none;
  EXPECT_EQ(aDirectory_List((dir_ + "/missing").c_str(), collect, &none), aErrNotFound);
  EXPECT_EQ(none.calls, 0);
}

TEST_F(DirectoryTest, ListReportsSizes) {
  std::ofstream(dir_ + "/sized") << std::string(1234, 'x');
  struct Found { uint32_t size = 0; bool seen = false; } found;
  aDirectory_List(dir_.c_str(), [](const aDirectoryListData* e, void* ref) {
    if (std::string(e->path).find("/sized") != std::string::npos) {
      static_cast<Found*>(ref)->size = e->size;
      static_cast<Found*>(ref)->seen = true;
    }
    return true;
  }, &found);
  EXPECT_TRUE(found.seen);
  EXPECT_EQ(found.size, 1234u);
}

TEST_F(DirectoryTest, DeleteTreeRemovesLinksNotTheirTargets) {
  const std::string outside = dir_ + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  std::ofstream(outside + "/keep") << "precious";
  const std::string tree = dir_ + "/tree";
  ASSERT_EQ(aDirectory_Ensure((tree + "/a/b").c_str(), 0755), aErrNone);
  std::ofstream(tree + "/a/b/f") << "x";
  std::ofstream(tree + "/top") << "y";
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/link").c_str()), 0);
  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(tree.c_str()));
  std::ifstream kept(outside + "/keep");
  EXPECT_TRUE(kept.good());
  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNotFound);
  EXPECT_EQ(aDirectory_Delete(tree.c_str()), aErrUnknown);
}

TEST(DirectoryJoin, BuildPathTable) {
  struct Case {
    const char* first;
    const char* second;
    uint64_t length;
    aErr result;
    const char* text;
  };
  const Case cases[] = {
      {"abc", "def", 16, aErrNone, "abc/def"},
      {"abc/", "def", 16, aErrNone, "abc/def"},
      {"abc", "/def", 16, aErrNone, "abc/def"},
      {"abc/", "/def", 16, aErrNone, "abc//def"},
      {"abc", "def", 8, aErrOverrun, "abc/"},
      {"abc", "def", 9, aErrNone, "abc/def"},
      {"abcdefg", "h", 8, aErrOverrun, ""},   // first must leave room for more
      {"", "def", 8, aErrNone, "/def"},
      {"abc", "", 8, aErrNone, "abc/"},
  };
  for (const Case& c : cases) {
    char buf[32];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(aDirectory_JoinPath(buf, c.length, c.first, c.second), c.result) << c.first << "+" << c.second << "/" << c.length;
    EXPECT_STREQ(buf, c.text) << c.first << "+" << c.second << "/" << c.length;
  }
}

TEST(DirectoryJoin, BuildPathArguments) {
  char buf[64];
  EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                 static_cast<const char*>(nullptr)),
            aErrNone);
  EXPECT_STREQ(buf, "1/2/3/4/5/6/7/8/9/10");
  EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                 static_cast<const char*>(nullptr)),
            aErrParam);
  EXPECT_STREQ(buf, "");
  strcpy(buf, "self");
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, buf, "x"), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "x", buf), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(nullptr, 8, "a", "b"), aErrParam);
  // A zero-length buffer is never written.
  char guard = 'G';
  EXPECT_EQ(aDirectory_JoinPath(&guard, 0, "a", "b"), aErrOverrun);
  EXPECT_EQ(guard, 'G');
}

TEST(DirectoryHome, TerminatesAndReportsMissingHome) {
  char buf[4096];
  ASSERT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
  EXPECT_GT(strlen(buf), 0u);
  char tiny[2];
  memset(tiny, 'Z', sizeof tiny);
  EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), strlen(buf) >= 2 ? aErrOverrun : aErrNone);
  EXPECT_EQ(tiny[sizeof tiny - 1] == '\0' || tiny[0] == '\0', true);
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 8), aErrParam);
}

// Runs the home lookup as a user with no password-database entry, with HOME as given.
int homeAsUnknownUser(const char* home, std::string* out) {
  testsupport::RunOptions options;
  if (home != nullptr) options.setEnv = {std::string("HOME=") + home};
  else options.unsetEnv = {"HOME"};
  options.uid = 54321;
  options.gid = 54321;
  const testsupport::RunResult r = testsupport::RunInChild(
      [] {
        char buf[256];
        const aErr e = aDirectory_GetHomeDirectory(buf, sizeof buf);
        std::fputs(buf, stdout);
        return static_cast<int>(e);
      },
      options);
  *out = r.out;
  return r.status;
}

TEST(DirectoryHome, FallsBackToHomeVariable) {
  std::string text;
  int rc = homeAsUnknownUser("/chosen/home", &text);
  if (rc == kCannotDrop) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(rc, aErrNone);
  EXPECT_EQ(text, "/chosen/home");
  EXPECT_EQ(homeAsUnknownUser(nullptr, &text), aErrNotFound);
  EXPECT_EQ(text, "");
  EXPECT_EQ(homeAsUnknownUser("", &text), aErrNotFound);
}

TEST(DirectoryMisc, WorkingDirectoryAndExecutable) {
  char buf[4096];
  EXPECT_EQ(aDirectory_CWD(buf, sizeof buf), aErrNone);
  char tiny[1];
  EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);
  EXPECT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
  EXPECT_NE(std::string(buf).find("core_tests"), std::string::npos);
  char cut[5];
  EXPECT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
  EXPECT_EQ(strlen(cut), 4u);
}

}  // namespace

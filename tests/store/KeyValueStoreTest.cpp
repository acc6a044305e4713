// Attribute files: the line rules, typed values, the dirty flag, and a file that is
// always replaced whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "tests/support/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "updater/store/KeyValueStore.h"

using testsupport::readText;
using testsupport::writeText;

namespace {

class KeyValueStoreTest : public ::testing::Test {
protected:
  testsupport::TempDir dir;
  std::string path = dir.sub(".settings");
};

// A ctime date without its line end: "Thu Dec 10 10:39:00 2026".
bool looksLikeDate(const std::string& text) {
  return text.size() == 24 && text[3] == ' ' && text[7] == ' ' && text[13] == ':' && text[16] == ':';
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithBothDates) {
  KeyValueStore store(path.c_str());
  EXPECT_FALSE(store.dirty);
  EXPECT_EQ(store.path, path);
  const std::string text = readText(path);
  const size_t created = text.find("CREATED_TIME="), updated = text.find("UPDATED_TIME=");
  ASSERT_EQ(created, 0u) << text;
  ASSERT_NE(updated, std::string::npos) << text;
  EXPECT_TRUE(looksLikeDate(text.substr(13, text.find('\n') - 13))) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  EXPECT_TRUE(looksLikeDate(store.GetString("UPDATED_TIME", nullptr)));
}

TEST_F(KeyValueStoreTest, LineRules) {
  std::string longValue(2100, 'v');
  writeText(path,
            "A=1\n"
            "A=2\n"                      // a later line wins
            "  KEY  =  some value  \t\n"  // blanks around key and value go
            "EQ=a=b=c\n"                 // further "=" stay in the value
            "# COMMENT=1\n"
            " #NOTCOMMENT=1\n"           // the key begins with "#"
            "EMPTY=\n"
            "ab\n"                       // fewer than 3 characters
            "NOEQUALS LINE\n"
            "   \n"
            "CR=x\r\n"
            "LAST=z\n"
            "LONG=" + longValue + "\n"   // a line of any length is read whole
            "AFTER=1\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.GetString("A", nullptr), "2");
  EXPECT_EQ(store.GetString("KEY", nullptr), "some value");
  EXPECT_EQ(store.GetString("EQ", nullptr), "a=b=c");
  EXPECT_EQ(store["# COMMENT"], nullptr);
  EXPECT_STREQ(store["#NOTCOMMENT"], "1");
  EXPECT_STREQ(store["EMPTY"], "");
  EXPECT_STREQ(store["CR"], "x");
  EXPECT_STREQ(store["LAST"], "z");
  EXPECT_EQ(store.GetString("LONG", nullptr), longValue);
  EXPECT_STREQ(store["AFTER"], "1");
  EXPECT_EQ(store["NOEQUALS LINE"], nullptr);
  EXPECT_EQ(store.entries.size(), 9u);
  EXPECT_FALSE(store.dirty);
}

// Every entry a file yields comes back from any number of rewrites: long lines, keys
// that begin with "#" after a blank, an empty key with an empty value or with a value.
TEST_F(KeyValueStoreTest, EntriesSurviveRewrites) {
  const std::string huge(100000, 'h');
  const struct {
    const char* name;
    std::string text;
    std::map<std::string, std::string> entries;
  } cases[] = {
      {"long lines", "BEFORE=1\nLONG=" + std::string(2047, 'l') + "\nLONGER=" + huge + "\nAFTER=2",
       {{"BEFORE", "1"}, {"LONG", std::string(2047, 'l')}, {"LONGER", huge}, {"AFTER", "2"}}},
      {"key beginning with #", "  #HASH=kept\n", {{"#HASH", "kept"}}},
      {"empty key and value", " =\n", {{"", ""}}},
      {"empty key with a value", "\t=only a value\n", {{"", "only a value"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeText(path, c.text);
    for (int rewrite = 1; rewrite <= 3; rewrite++) {
      SCOPED_TRACE(rewrite);
      KeyValueStore store(path.c_str());
      std::map<std::string, std::string> held = store.entries;
      held.erase("REWRITE");
      held.erase("UPDATED_TIME");
      EXPECT_EQ(held, c.entries);
      store.Add("REWRITE", std::to_string(rewrite));
      ASSERT_TRUE(store.Save(nullptr));
    }
  }
}

// A line end inside a value (a path given by the user) would plant entries of its own.
TEST_F(KeyValueStoreTest, EntriesThatWouldNotReadBackAreRefused) {
  KeyValueStore store(path.c_str());
  ASSERT_TRUE(store.Add("LATEST_TRANSFER", "/tmp/a.bird"));
  EXPECT_FALSE(store.Add("LATEST_TRANSFER", "/tmp/x\nLATEST_DOWNLOAD=9.bird"));
  EXPECT_FALSE(store.Add("K=EY", "v"));
  EXPECT_FALSE(store.Add("K\nEY", "v"));
  ASSERT_TRUE(store.Save(nullptr));
  KeyValueStore again(path.c_str());
  EXPECT_EQ(again.GetString("LATEST_TRANSFER", nullptr), "/tmp/a.bird");
  EXPECT_EQ(again["LATEST_DOWNLOAD"], nullptr);
  EXPECT_EQ(again.entries.size(), 3u);  // the two dates and LATEST_TRANSFER
}

TEST_F(KeyValueStoreTest, TwoCharacterLastLineWithoutLineEndIsSkipped) {
  writeText(path, "K=v\nX=");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store["X"], nullptr);
  EXPECT_STREQ(store["K"], "v");
}

TEST_F(KeyValueStoreTest, TypedValues) {
  writeText(path, "LATEST_DOWNLOAD=12345.bird\nPATH=/tmp/1.bird\nH=0x0000BEEF\nB=1\nD=2.5\nEMPTY=\n");
  KeyValueStore store(path.c_str());
  EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 12345);
  EXPECT_EQ(store.GetInt("PATH", 7), 0);
  EXPECT_EQ(store.GetHex("H", 0), 0xBEEFu);
  EXPECT_TRUE(store.GetBOOL("B", false));
  EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 2.5);
  EXPECT_EQ(store.GetInt("EMPTY", 9), 9);
  EXPECT_EQ(store.GetString("EMPTY", "default"), "");
  EXPECT_EQ(store.GetString("NONE", "default"), "default");
  EXPECT_EQ(store.GetString("NONE", nullptr), "");
  EXPECT_EQ(store["NONE"], nullptr);  // GetString adds nothing

  // A typed getter adds an empty entry for a missing key, which the next save writes.
  EXPECT_EQ(store.GetInt("LATEST_TRANSFER", 0), 0);
  ASSERT_TRUE(store.Save(nullptr));
  EXPECT_NE(readText(path).find("\nLATEST_TRANSFER=\n"), std::string::npos) << readText(path);
}

TEST_F(KeyValueStoreTest, DirtyFlagAndSavedForm) {
  KeyValueStore store(path.c_str());
  const std::string created = readText(path);
  ASSERT_FALSE(store.dirty);

  EXPECT_TRUE(store.Add("ZED", "last"));
  EXPECT_TRUE(store.dirty);
  EXPECT_TRUE(store.Add("INT", -5));
  EXPECT_TRUE(store.Add("DBL", 1.5));
  EXPECT_TRUE(store.AddHex("HEX", 0xBEEF));
  std::string text = "t";
  EXPECT_TRUE(store.Add("STR", text));
  ASSERT_TRUE(store.Save(nullptr));
  EXPECT_FALSE(store.dirty);
  const std::string saved = readText(path);
  // Key order, "%s=%s\n" each.
  const std::string expectedTail = "DBL=1.500000\nHEX=0x0000BEEF\nINT=-5\nSTR=t\nUPDATED_TIME=";
  EXPECT_EQ(saved.find("CREATED_TIME="), 0u);
  EXPECT_NE(saved.find(expectedTail), std::string::npos) << saved;
  EXPECT_EQ(saved.substr(saved.size() - 9), "ZED=last\n");

  // The same value again leaves the store clean; a new key with an empty value too.
  EXPECT_TRUE(store.Add("ZED", "last"));
  EXPECT_TRUE(store.Add("NEWEMPTY", ""));
  EXPECT_FALSE(store.dirty);
  EXPECT_STREQ(store["NEWEMPTY"], "");

  KeyValueStore other;
  other.Add("X", "1");
  EXPECT_TRUE(store.Add(other));
  EXPECT_TRUE(store.dirty);
  KeyValueStore copy = store;
  EXPECT_TRUE(copy.dirty);
  EXPECT_EQ(copy.path, path);
  EXPECT_STREQ(copy["X"], "1");
  EXPECT_TRUE(store.Clear());
  EXPECT_TRUE(store.entries.empty());
  EXPECT_TRUE(store.dirty);
  (void)created;
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathUsesSettingsInTheWorkingDirectory) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  LogCapture log(0x4);
  KeyValueStore store;
  store.Add("K", "v");
  const bool saved = store.Save(nullptr);
  const std::string text = readText(dir.sub(".settings"));
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_TRUE(saved);
  EXPECT_NE(text.find("K=v\n"), std::string::npos);
  EXPECT_TRUE(log.contains("Attibutes: no filename given for attributes, using default:[.settings]\n"));
}

TEST_F(KeyValueStoreTest, FailedSaveKeepsTheOldFileAndTheDirtyFlag) {
  KeyValueStore store(path.c_str());
  store.Add("DOWNLOAD", std::string(100000, 'x'));
  ASSERT_TRUE(store.Save(nullptr));
  const std::string before = readText(path);

  // A disk that fills up half-way through: the file-size limit makes the write fail.
  store.Add("DOWNLOAD", std::string(200000, 'y'));
  const testsupport::RunResult result = testsupport::RunInChild([&]() {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {150000, 150000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return testsupport::kUnsupported;
    const bool saved = store.Save(nullptr);
    return (!saved && store.dirty) ? 0 : 1;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readText(path), before);
  // No temporary is left behind either.
  EXPECT_EQ(testsupport::listDirectory(dir.path()), std::vector<std::string>{".settings"});

  // A directory that does not exist: logged, nothing created, still dirty.
  LogCapture log(0x4);
  EXPECT_FALSE(store.Save(dir.sub("none/.settings").c_str()));
  EXPECT_TRUE(store.dirty);
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file for writting: '" + dir.sub("none/.settings")));
}

TEST_F(KeyValueStoreTest, SaveReplacesTheFileRatherThanWritingIntoIt) {
  KeyValueStore store(path.c_str());
  ASSERT_EQ(link(path.c_str(), dir.sub("hardlink").c_str()), 0);
  const std::string before = readText(path);
  store.Add("K", "v");
  ASSERT_TRUE(store.Save(nullptr));
  // The old inode (still named by the hard link) was never touched.
  EXPECT_EQ(readText(dir.sub("hardlink")), before);
  EXPECT_NE(readText(path).find("K=v\n"), std::string::npos);
}

TEST_F(KeyValueStoreTest, UnreadableFileIsNeverOverwritten) {
  // Root reads everything, so the load runs as an unprivileged user.
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  writeText(path, "PRECIOUS=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0000), 0);
  const testsupport::RunResult result = testsupport::RunInChild([&]() {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return testsupport::kUnsupported;
    if (access(path.c_str(), R_OK) == 0) return testsupport::kUnsupported;
    KeyValueStore store(path.c_str());
    if (store.dirty || store["CREATED_TIME"] != nullptr) return 3;
    store.Add("LATEST_DOWNLOAD", "1.bird");
    return store.Save(nullptr) ? 4 : 0;
  });
  if (result.status == testsupport::kUnsupported) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readText(path), "PRECIOUS=1\n");
}

TEST_F(KeyValueStoreTest, FileWhoseDirectoryIsAFileStaysInMemory) {
  writeText(dir.sub("file"), "x");
  LogCapture log(0x4);
  KeyValueStore store(dir.sub("file/.settings").c_str());
  EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + dir.sub("file/.settings")));
  EXPECT_TRUE(looksLikeDate(store.GetString("CREATED_TIME", nullptr)));
  EXPECT_TRUE(looksLikeDate(store.GetString("UPDATED_TIME", nullptr)));
  EXPECT_FALSE(store.dirty);
  EXPECT_EQ(readText(dir.sub("file")), "x");
}

}  // namespace

namespace {

TEST(KeyValueStoreReadErrorTest, FileThatFailsWhileReadingIsNotReplaced) {
  // A directory in the attribute file's place opens, then fails to read.
  testsupport::TempDir dir;
  const std::string path = dir.sub(".settings");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  LogCapture log(0x4);
  KeyValueStore store(path.c_str());
  EXPECT_TRUE(log.contains(") reading attributes file: '" + path + "'\n")) << log.text();
  store.Add("K", "v");
  EXPECT_FALSE(store.Save(nullptr));
  EXPECT_TRUE(store.dirty);
  EXPECT_TRUE(log.contains("Attibutes: Error - not replacing unreadable attributes file: '" + path + "'\n"));
  // Saved elsewhere, the entries are written as usual.
  EXPECT_TRUE(store.Save(dir.sub("copy").c_str()));
  EXPECT_NE(readText(dir.sub("copy")).find("K=v\n"), std::string::npos);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "common/unix/aFile.h"
#include "tests/support/TempDir.h"

namespace {

class FileTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string make(const std::string& name, const std::string& content) const {
    std::ofstream(path(name), std::ios::binary) << content;
    return path(name);
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testsupport::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(FileTest, OpenRefusesBadPathsAndModes) {
  const std::string ok = make("a", "x");
  EXPECT_EQ(aFile_Open(nullptr, 0), nullptr);
  EXPECT_EQ(aFile_Open("", 0), nullptr);
  EXPECT_EQ(aFile_Open(ok.c_str(), 3), nullptr);
  EXPECT_EQ(aFile_Open(ok.c_str(), 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(aFile_Open(path("missing/dir/file").c_str(), aFileModeAppend), nullptr);

  // Length rule: 4096 characters pass the length test (the open itself then fails on the
  // over-long name component), 4097 are refused before any system call.
  std::string longPath = dir_ + "/";
  longPath.append(4096 - longPath.size(), 'n');
  ASSERT_EQ(longPath.size(), 4096u);
  EXPECT_EQ(aFile_Open(longPath.c_str(), 0), nullptr);
  EXPECT_EQ(aFile_Delete((longPath + "n").c_str()), aErrFileNameLength);
  EXPECT_NE(aFile_Delete(longPath.c_str()), aErrFileNameLength);  // length accepted, the system refuses
  EXPECT_FALSE(aFile_Exists((longPath + "n").c_str()));
}

TEST_F(FileTest, ModesAllowTheirOperations) {
  const std::string p = make("modes", "hello\n");
  aFile* r = aFile_Open(p.c_str(), aFileModeReadOnly);
  ASSERT_NE(r, nullptr);
  uint64_t n = 0;
  EXPECT_EQ(aFile_Write(r, "x", 1, &n), aErrMode);
  EXPECT_EQ(aFile_Printf(r, "%d", 1), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
  EXPECT_EQ(aFile_Close(&r), aErrNone);

  aFile* w = aFile_Open(p.c_str(), aFileModeWriteOnly);  // truncates
  ASSERT_NE(w, nullptr);
  char buf[8];
  EXPECT_EQ(aFile_Read(w, buf, sizeof buf, &n), aErrMode);
  EXPECT_EQ(aFile_ReadLine(w, buf, sizeof buf, &n), aErrMode);
  EXPECT_EQ(aFile_Printf(w, "v=%d;", 42), aErrNone);
  EXPECT_EQ(aFile_Write(w, "ab", 2, &n), aErrNone);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(aFile_Close(&w), aErrNone);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(aFile_Close(&w), aErrParam);
  EXPECT_EQ(slurp(p), "v=42;ab");
}

TEST_F(FileTest, AppendStartsAtEndAndReadsBack) {
  const std::string p = make("log", "0123456789");
  aFile* f = aFile_Open(p.c_str(), aFileModeAppend);
  ASSERT_NE(f, nullptr);
  int64_t pos = -1;
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 10);
  EXPECT_EQ(aFile_Write(f, "AB", 2, nullptr), aErrNone);
  EXPECT_EQ(aFile_Seek(f, 0, 0), aErrNone);
  char buf[16] = {};
  uint64_t n = 0;
  EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &n), aErrNone);
  EXPECT_EQ(std::string(buf, n), "0123456789AB");
  EXPECT_EQ(aFile_Close(&f), aErrNone);

  // Append creates a missing file.
  aFile* fresh = aFile_Open(path("new").c_str(), aFileModeAppend);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(aFile_GetPosition(fresh, &pos), aErrNone);
  EXPECT_EQ(pos, 0);  // reported even at position 0
  aFile_Close(&fresh);
}

TEST_F(FileTest, ReadAtEnd) {
  const std::string p = make("r", "xy");
  aFile* f = aFile_Open(p.c_str(), 0);
  char buf[4];
  uint64_t n = 99;
  EXPECT_EQ(aFile_Read(f, buf, 4, &n), aErrNone);  // short read is success
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(aFile_Read(f, buf, 0, &n), aErrNone);
  EXPECT_EQ(aFile_Read(f, buf, 1, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Read(f, nullptr, 1, &n), aErrParam);
  aFile_Close(&f);
}

TEST_F(FileTest, SeekRangesAndSize) {
  const std::string p = make("s", "abcdef");
  aFile* f = aFile_Open(p.c_str(), 0);
  uint64_t size = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);

  struct Case { int64_t offset; int origin; aErr result; int64_t position; };
  const Case cases[] = {
      {0, 2, aErrNone, 6},  {1, 2, aErrRange, 6},   {-1, 0, aErrRange, 6}, {2, 0, aErrNone, 2},
      {3, 1, aErrNone, 5},  {-6, 1, aErrRange, 5},  {-5, 1, aErrNone, 0},  {-2, 2, aErrNone, 4},
      {1, 99, aErrNone, 1},  // unknown origin counts from the start
      {INT64_MAX, 1, aErrRange, 1}, {INT64_MIN, 2, aErrRange, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.result) << c.offset << " from " << c.origin;
    int64_t pos = -1;
    aFile_GetPosition(f, &pos);
    EXPECT_EQ(pos, c.position) << c.offset << " from " << c.origin;
  }
  // The size query leaves the position alone.
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  int64_t pos = -1;
  aFile_GetPosition(f, &pos);
  EXPECT_EQ(pos, 1);
  aFile_Close(&f);
}

TEST_F(FileTest, ReadLineBufferRules) {
  const std::string p = make("lines", "abcdefg\nabcdef\nlast");
  aFile* f = aFile_Open(p.c_str(), 0);
  char buf[8];
  uint64_t len = 99;
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrOverrun);  // seven letters, newline left
  EXPECT_EQ(len, 7u);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
  EXPECT_EQ(len, 1u);
  EXPECT_STREQ(buf, "\n");
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);  // six letters and newline fill it
  EXPECT_EQ(len, 7u);
  EXPECT_STREQ(buf, "abcdef\n");
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);  // last line without newline
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrEOF);
  EXPECT_EQ(len, 0u);
  EXPECT_STREQ(buf, "");
  aFile_Close(&f);
}

TEST_F(FileTest, ExistsAndDelete) {
  const std::string p = make("d", "1");
  EXPECT_TRUE(aFile_Exists(p.c_str()));
  EXPECT_FALSE(aFile_Exists(dir_.c_str()));  // a directory is no file
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_EQ(aFile_Delete(p.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(p.c_str()));
  EXPECT_EQ(aFile_Delete(p.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(dir_.c_str()), aErrIO);  // unlink of a directory
}

TEST(FileFullDevice, ShortOrFailedWritesAreErrors) {
  aFile* f = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);  // so the failure shows at the write
  uint64_t n = 99;
  EXPECT_EQ(aFile_Write(f, "data", 4, &n), aErrIO);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Printf(f, "%s", "more"), aErrIO);
  aFile_Close(&f);

  // Buffered: the loss shows when the stream is closed, and is reported there.
  aFile* g = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(aFile_Write(g, "data", 4, &n), aErrNone);
  EXPECT_EQ(aFile_Close(&g), aErrIO);
  EXPECT_EQ(g, nullptr);
}

}  // namespace

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "tests/support/TempDir.h"

namespace {

// A transport that plays a script: each get takes the next step, a byte or an error;
// when the script runs out it reports whenEmpty (not ready, unless told otherwise). put and write record what they
// were given and can be told to fail.
struct ScriptedTransport {
  struct Step {
    aErr err;
    uint8_t byte;
  };
  std::deque<Step> script;
  aErr whenEmpty = aErrNotReady;
  int gets = 0;
  std::vector<uint8_t> putBytes;
  std::vector<std::vector<uint8_t>> writes;
  int failPutAt = -1;   // index of the put that fails with aErrIO
  int deletes = 0;
  aErr deleteResult = aErrNone;

  void bytes(const std::string& s) {
    for (unsigned char c : s) script.push_back({aErrNone, c});
  }
  void error(aErr err) { script.push_back({err, 0}); }

  static aErr get(uint8_t* byte, void* ref) {
    ScriptedTransport* t = static_cast<ScriptedTransport*>(ref);
    t->gets++;
    if (t->script.empty()) return t->whenEmpty;
    const Step step = t->script.front();
    t->script.pop_front();
    if (step.err == aErrNone) *byte = step.byte;
    return step.err;
  }
  static aErr put(const uint8_t* byte, void* ref) {
    ScriptedTransport* t = static_cast<ScriptedTransport*>(ref);
    if (static_cast<int>(t->putBytes.size()) == t->failPutAt) return aErrIO;
    t->putBytes.push_back(*byte);
    return aErrNone;
  }
  static aErr write(const uint8_t* data, uint64_t length, void* ref) {
    static_cast<ScriptedTransport*>(ref)->writes.emplace_back(data, data + length);
    return aErrNone;
  }
  static aErr del(void* ref) {
    ScriptedTransport* t = static_cast<ScriptedTransport*>(ref);
    t->deletes++;
    return t->deleteResult;
  }
};

struct StreamOver {
  ScriptedTransport t;
  aStream* s;
  explicit StreamOver(bool withGet = true, bool withPut = true, bool withWrite = true) {
    s = aStream_Create(withGet ? ScriptedTransport::get : nullptr, withPut ? ScriptedTransport::put : nullptr,
                       withWrite ? ScriptedTransport::write : nullptr, ScriptedTransport::del, &t);
  }
  ~StreamOver() { aStream_Destroy(&s); }
  std::string read(uint64_t n, aErr* err) {
    std::string buf(n, '\0');
    *err = aStream_Read(s, &buf[0], n);
    return buf;
  }
};

std::string bytesOf(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(Stream, ReadIsAllOrNothingWhileTheTransportIsNotReady) {
  StreamOver so;
  so.t.bytes("ab");   // then not ready
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(aStream_Read(so.s, buf, 4), aErrNotReady);
  EXPECT_EQ(std::string(buf, 4), "xxxx");
  EXPECT_EQ(aStream_UngetCount(so.s), 2u);
  so.t.bytes("cd");
  EXPECT_EQ(aStream_Read(so.s, buf, 4), aErrNone);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(aStream_UngetCount(so.s), 0u);
}

TEST(Stream, ReadEndsAtEofOrErrorAsTheRulesSay) {
  struct Case {
    const char* what;
    const char* bytes;
    aErr end;
    aErr expected;
    const char* buffer;     // buffer after the read (started as "xxxx")
    const char* nextRead;   // the following bytes seen by a 2-byte read
  } cases[] = {
      // End of data: what arrived is copied.
      {"eof after 3", "abc", aErrEOF, aErrEOF, "abcx", "yz"},
      // A failure: nothing is copied and the bytes taken are gone.
      {"io error after 2", "ab", aErrIO, aErrIO, "xxxx", "yz"},
      {"eof at once", "", aErrEOF, aErrEOF, "xxxx", "yz"},
  };
  for (const Case& c : cases) {
    StreamOver so;
    so.t.bytes(c.bytes);
    so.t.error(c.end);
    so.t.bytes("yz");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(aStream_Read(so.s, buf, 4), c.expected) << c.what;
    EXPECT_EQ(std::string(buf, 4), c.buffer) << c.what;
    EXPECT_EQ(aStream_UngetCount(so.s), 0u) << c.what;
    aErr err;
    EXPECT_EQ(so.read(2, &err), c.nextRead) << c.what;
    EXPECT_EQ(err, aErrNone) << c.what;
  }
}

TEST(Stream, ReadRefusals) {
  StreamOver so;
  StreamOver noGet(false, true, true);
  char buf[2];
  EXPECT_EQ(aStream_Read(nullptr, buf, 2), aErrParam);
  EXPECT_EQ(aStream_Read(so.s, nullptr, 2), aErrParam);
  EXPECT_EQ(aStream_Read(noGet.s, buf, 2), aErrMode);
  // A read of nothing asks the transport nothing (and must not wrap around).
  EXPECT_EQ(aStream_Read(so.s, buf, 0), aErrNone);
  EXPECT_EQ(so.t.gets, 0);
  // Storage for an absurd length cannot be had: refused before any byte is taken.
  so.t.bytes("a");
  EXPECT_EQ(aStream_Read(so.s, buf, UINT64_MAX), aErrResource);
  EXPECT_EQ(so.t.gets, 0);
}

TEST(Stream, UngetRingGrowsOnceFor600BytesAndKeepsOrder) {
  StreamOver so;
  std::string data;
  for (int i = 0; i < 600; i++) data.push_back(static_cast<char>('A' + i % 26));
  so.t.bytes(data);
  aErr err;
  so.read(601, &err);   // 600 bytes, then not ready: all go back
  EXPECT_EQ(err, aErrNotReady);
  EXPECT_EQ(aStream_UngetCount(so.s), 600u);
  EXPECT_EQ(so.s->ungetCapacity, 1024u);
  EXPECT_EQ(so.read(600, &err), data);
  EXPECT_EQ(err, aErrNone);
}

TEST(Stream, UngetRingKeepsOrderAcrossWrapAndGrowth) {
  StreamOver so;
  std::string pushed;
  auto push = [&](int n) {
    for (int i = 0; i < n; i++) {
      const char c = static_cast<char>('a' + pushed.size() % 26);
      pushed.push_back(c);
      ASSERT_EQ(aStream_Unget(so.s, static_cast<uint8_t>(c)), aErrNone);
    }
  };
  aErr err;
  push(300);
  EXPECT_EQ(so.read(200, &err), pushed.substr(0, 200));
  pushed.erase(0, 200);
  push(400);   // wraps past the end of the 512-byte ring
  EXPECT_EQ(so.s->ungetCapacity, 512u);
  push(20);    // 520 held: must grow, unwrapping in order
  EXPECT_EQ(so.s->ungetCapacity, 1024u);
  EXPECT_EQ(aStream_UngetCount(so.s), 520u);
  // Ring bytes come before the transport's.
  so.t.bytes("!");
  EXPECT_EQ(so.read(521, &err), pushed + "!");
  EXPECT_EQ(err, aErrNone);
}

TEST(Stream, WriteChoosesPutOrWrite) {
  struct Case {
    const char* what;
    bool put, write;
    const char* data;
    aErr expected;
    const char* putBytes;
    size_t writes;
  } cases[] = {
      {"one byte, both: put", true, true, "a", aErrNone, "a", 0},
      {"two bytes, both: one write", true, true, "ab", aErrNone, "", 1},
      {"nothing, both", true, true, "", aErrNone, "", 0},
      {"three bytes, put only", true, false, "abc", aErrNone, "abc", 0},
      // No put: a single byte must go through write, not through a null callback.
      {"one byte, write only", false, true, "a", aErrNone, "", 1},
      {"neither", false, false, "ab", aErrMode, "", 0},
  };
  for (const Case& c : cases) {
    StreamOver so(true, c.put, c.write);
    EXPECT_EQ(aStream_Write(so.s, c.data, std::strlen(c.data)), c.expected) << c.what;
    EXPECT_EQ(bytesOf(so.t.putBytes), c.putBytes) << c.what;
    ASSERT_EQ(so.t.writes.size(), c.writes) << c.what;
    if (c.writes == 1) {
      EXPECT_EQ(bytesOf(so.t.writes[0]), c.data) << c.what;
    }
  }
}

TEST(Stream, WriteStopsAtTheFirstFailedPut) {
  StreamOver so(true, true, false);
  so.t.failPutAt = 1;
  EXPECT_EQ(aStream_Write(so.s, "abc", 3), aErrIO);
  EXPECT_EQ(bytesOf(so.t.putBytes), "a");
  EXPECT_EQ(aStream_Write(so.s, nullptr, 3), aErrParam);
  EXPECT_EQ(aStream_Write(nullptr, "a", 1), aErrParam);
}

TEST(Stream, DestroyCallsDeleteOnceAndClearsThePointer) {
  ScriptedTransport t;
  t.deleteResult = aErrIO;
  aStream* s = aStream_Create(ScriptedTransport::get, nullptr, nullptr, ScriptedTransport::del, &t);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(aStream_Unget(s, 1), aErrNone);   // a ring to free as well
  EXPECT_EQ(aStream_Destroy(&s), aErrIO);     // the transport's result is the result
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(t.deletes, 1);
  EXPECT_EQ(aStream_Destroy(&s), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
  aStream* bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
  EXPECT_EQ(bare, nullptr);
}

TEST(Stream, CStringReadsStopAtTheZeroByte) {
  StreamOver so;
  so.t.script.push_back({aErrNone, 0x61});
  so.t.script.push_back({aErrNone, 0x62});
  so.t.script.push_back({aErrNone, 0x00});
  so.t.script.push_back({aErrNone, 0x63});
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(aStream_ReadCString(so.s, buf, sizeof buf), aErrNone);
  EXPECT_STREQ(buf, "ab");
  aErr err;
  EXPECT_EQ(so.read(1, &err), "c");
  EXPECT_EQ(err, aErrNone);
}

TEST(Stream, CStringReadIntoASmallBufferLeavesTheRestUnread) {
  StreamOver so;
  so.t.bytes("abcd");
  so.t.script.push_back({aErrNone, 0});
  char buf[3];
  EXPECT_EQ(aStream_ReadCString(so.s, buf, sizeof buf), aErrNone);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(aStream_ReadCString(so.s, buf, sizeof buf), aErrNone);
  EXPECT_STREQ(buf, "cd");
  // Sizes with no room for a character are refused instead of wrapping around.
  EXPECT_EQ(aStream_ReadCString(so.s, buf, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCString(so.s, buf, 0), aErrParam);
}

TEST(Stream, RecordReadsWithMultiByteTerminators) {
  struct Case {
    const char* what;
    const char* input;
    uint64_t size;
    aErr expected;
    const char* record;
    const char* rest;   // what a following read gets (up to 8 bytes, then EOF)
  } cases[] = {
      {"plain", "ab\r\ncd", 16, aErrNone, "ab", "cd"},
      {"broken-off terminator is data", "a\rb\r\nc", 16, aErrNone, "a\rb", "c"},
      {"doubled first byte", "a\r\r\nc", 16, aErrNone, "a\r", "c"},
      {"full buffer ends the record", "abcd\r\n", 3, aErrNone, "abc", "d\r\n"},
      {"bytes read past a full buffer stay unread", "ab\rx", 3, aErrNone, "ab\r", "x"},
      {"end of data completes", "ab", 16, aErrNone, "ab", ""},
      {"end of data after part of a terminator", "ab\r", 16, aErrNone, "ab\r", ""},
  };
  for (const Case& c : cases) {
    StreamOver so;
    so.t.bytes(c.input);
    so.t.whenEmpty = aErrEOF;
    char buf[32];
    EXPECT_EQ(aStream_ReadCStringRecord(so.s, buf, c.size + 1, "\r\n"), c.expected) << c.what;
    EXPECT_STREQ(buf, c.record) << c.what;
    char rest[9] = {};
    EXPECT_EQ(aStream_Read(so.s, rest, 8), aErrEOF) << c.what;
    EXPECT_STREQ(rest, c.rest) << c.what;
  }
}

TEST(Stream, RecordReadResumesAfterNotReady) {
  StreamOver so;
  so.t.bytes("ab\r");   // then not ready, in the middle of the terminator
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  uint64_t length = 77;
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 16, "\r\n", 2), aErrNotReady);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(buf[0], 'x');
  so.t.bytes("\nz");
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 16, "\r\n", 2), aErrNone);
  EXPECT_EQ(std::string(buf, length), "ab");
}

// A transport hands its whole table to the stream as it is made: the callbacks, whether
// it holds input, what to wait on (asked once, of the transport's own record) and
// whether writes are prompt.
struct TableTransport {
  int descriptor = 7;
  int asked = 0;
  bool holding = false;
  static int wait(const void* ref) {
    TableTransport* t = static_cast<TableTransport*>(const_cast<void*>(ref));
    t->asked++;
    return t->descriptor;
  }
  static bool pending(const void* ref) { return static_cast<const TableTransport*>(ref)->holding; }
};

TEST(Stream, ATransportsTableReachesItsStreamWhole) {
  TableTransport t;
  const aStreamOps ops = {ScriptedTransport::get, ScriptedTransport::put, ScriptedTransport::write, nullptr,
                          TableTransport::pending, TableTransport::wait, true, nullptr};
  aStream* s = aStream_CreateWith(ops, &t);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->get, ScriptedTransport::get);
  EXPECT_EQ(s->put, ScriptedTransport::put);
  EXPECT_EQ(s->write, ScriptedTransport::write);
  EXPECT_EQ(s->reference, &t);
  EXPECT_EQ(s->waitFd, 7);
  EXPECT_EQ(t.asked, 1);
  EXPECT_TRUE(s->promptWrites);
  EXPECT_FALSE(aStream_InputPending(s));
  t.holding = true;
  EXPECT_TRUE(aStream_InputPending(s));
  aStream_Destroy(&s);

  // A transport without a descriptor yet says so with any negative number, or no
  // function at all: the stream can only be asked.
  t.descriptor = -5;
  s = aStream_CreateWith(ops, &t);
  EXPECT_EQ(s->waitFd, -1);
  aStream_Destroy(&s);
  const aStreamOps asked = {ScriptedTransport::get, nullptr, nullptr, nullptr, nullptr, nullptr, false, nullptr};
  s = aStream_CreateWith(asked, &t);
  EXPECT_EQ(s->waitFd, -1);
  EXPECT_FALSE(s->promptWrites);
  EXPECT_FALSE(aStream_InputPending(s));
  aStream_Destroy(&s);
}

TEST(Stream, RecordReadEndsAndRefusals) {
  StreamOver so;
  so.t.error(aErrEOF);
  char buf[8];
  uint64_t length = 5;
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 8, "\n", 1), aErrEOF);
  EXPECT_EQ(length, 0u);
  so.t.bytes("ab");
  so.t.error(aErrIO);
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 8, "\n", 1), aErrIO);
  EXPECT_EQ(aStream_ReadRecord(so.s, nullptr, &length, 8, "\n", 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 8, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 8, "\n", 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(so.s, buf, &length, 0, "\n", 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(so.s, buf, 8, ""), aErrParam);
}

TEST(Stream, RecordAndStringWrites) {
  StreamOver so(true, true, false);
  EXPECT_EQ(aStream_WriteCString(so.s, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(so.s, "ok", "\r\n"), aErrNone);
  EXPECT_EQ(aStream_WriteRecord(so.s, "x", 1, ";", 1), aErrNone);
  EXPECT_EQ(bytesOf(so.t.putBytes), std::string("hi\0ok\r\n\0x;", 10));
  EXPECT_EQ(aStream_WriteRecord(so.s, "x", 1, ";", 0), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(so.s, nullptr, 1, ";", 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(so.s, "x", 1, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_WriteCString(so.s, nullptr), aErrParam);
  so.t.failPutAt = static_cast<int>(so.t.putBytes.size()) + 1;
  EXPECT_EQ(aStream_WriteRecord(so.s, "ab", 2, ";", 1), aErrIO);   // the terminator is not sent
  EXPECT_EQ(bytesOf(so.t.putBytes), std::string("hi\0ok\r\n\0x;a", 11));
}

TEST(Stream, FlushMovesBytesUntilTheEnd) {
  StreamOver from, to(false, true, false);
  from.t.bytes("hello");
  from.t.error(aErrEOF);
  ASSERT_EQ(aStream_Unget(from.s, '!'), aErrNone);   // the ring is not consulted
  EXPECT_EQ(aStream_Flush(from.s, to.s), aErrNone);
  EXPECT_EQ(bytesOf(to.t.putBytes), "hello");

  StreamOver failingSource, sink(false, true, false);
  failingSource.t.bytes("ab");
  failingSource.t.error(aErrIO);
  EXPECT_EQ(aStream_Flush(failingSource.s, sink.s), aErrIO);
  EXPECT_EQ(bytesOf(sink.t.putBytes), "ab");

  StreamOver source, failingSink(false, true, false);
  source.t.bytes("abc");
  failingSink.t.failPutAt = 1;
  EXPECT_EQ(aStream_Flush(source.s, failingSink.s), aErrIO);

  StreamOver noGet(false, true, true), noPut(true, false, true);
  EXPECT_EQ(aStream_Flush(noGet.s, to.s), aErrMode);
  EXPECT_EQ(aStream_Flush(from.s, noPut.s), aErrMode);
  EXPECT_EQ(aStream_Flush(nullptr, to.s), aErrParam);
  EXPECT_EQ(aStream_Flush(from.s, nullptr), aErrParam);
}

class FileStream : public ::testing::Test {
 protected:
  testsupport::TempDir temp;
  const std::string dir = temp.path();
};

TEST_F(FileStream, WrittenFileReadsBack) {
  const std::string path = dir + "/data";
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_WriteCString(out, "first"), aErrNone);
  EXPECT_EQ(aStream_Write(out, "x", 1), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);

  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  char buf[16];
  EXPECT_EQ(aStream_ReadCString(in, buf, sizeof buf), aErrNone);
  EXPECT_STREQ(buf, "first");
  char rest[4] = {};
  EXPECT_EQ(aStream_Read(in, rest, 4), aErrEOF);
  EXPECT_STREQ(rest, "x");
  EXPECT_EQ(aStream_Write(in, "a", 1), aErrMode);   // an input stream has no put
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStream, FailuresReturnResourceAndNoStream) {
  const std::string plain = dir + "/plain";
  FILE* f = std::fopen(plain.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  struct Case {
    const char* what;
    std::string path;
  } cases[] = {
      {"missing directory", dir + "/missing/file"},
      {"a file where a directory should be", plain + "/file"},
  };
  for (const Case& c : cases) {
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateFileOutput(c.path.c_str(), &s), aErrResource) << c.what;
    EXPECT_EQ(s, nullptr) << c.what;
    EXPECT_EQ(aStream_CreateFileInput(c.path.c_str(), &s), aErrResource) << c.what;
    EXPECT_EQ(s, nullptr) << c.what;
  }
  aStream* s = nullptr;
  EXPECT_EQ(aStream_CreateFileInput((dir + "/absent").c_str(), &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(plain.c_str(), nullptr), aErrResource);
  EXPECT_EQ(s, nullptr);
}

}  // namespace

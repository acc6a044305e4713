// Cutting server replies into lines and answers, and ordering build lists.
#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "tests/support/LogCapture.h"
#include "updater/server/HTTPRequest.h"
#include "updater/BuildNumber.h"
#include "updater/server/UpdateServerRequest.h"

namespace {

typedef std::vector<std::string> Lines;

Lines split(const std::string& body, bool expectOk = true) {
  Lines lines;
  EXPECT_EQ(UpdateServerRequest::SplitReply("T", "u", body, lines), expectOk) << body;
  return lines;
}

TEST(ReplyParsingTest, LinesAreTheNonEmptyRunsBetweenLineFeeds) {
  EXPECT_EQ(split("ok\n12345\n2.10.4\n"), (Lines{"ok", "12345", "2.10.4"}));
  EXPECT_EQ(split("\n\nok\n\n\n12345"), (Lines{"ok", "12345"}));
  EXPECT_EQ(split("ok\r\n1\r\n"), (Lines{"ok\r", "1\r"}));
  EXPECT_EQ(split(std::string("ok\n1\0\n2\n", 8)), (Lines{"ok", "1"}));  // text ends at a NUL
}

TEST(ReplyParsingTest, FirstLineMustBeginWithOk) {
  LogCapture log(0x20);
  const struct {
    const char* body;
    bool ok;
  } cases[] = {{"ok", true}, {"okay\n", true}, {"ok then\n", true}, {"OK\n", false},     {" ok\n", false},
               {"o\nk\n", false}, {"", false},      {"\n\n\n", false},    {"error\nok\n", false}};
  for (const auto& c : cases) split(c.body, c.ok);
  EXPECT_TRUE(log.contains("ServerCommClass: T failed [u]\n"));
}

TEST(ReplyParsingTest, QueryBuildTakesLinesTwoAndThree) {
  std::string build = "old", version = "old";
  UpdateServerRequest::TakeQueryBuild(split("ok\n12345\n2.10.4\n"), build, version);
  EXPECT_EQ(build, "12345");
  EXPECT_EQ(version, "2.10.4");
  // CRLF: the build keeps its carriage return, the version does not.
  UpdateServerRequest::TakeQueryBuild(split("ok\r\n12345\r\n2.10.4\r\n"), build, version);
  EXPECT_EQ(build, "12345\r");
  EXPECT_EQ(version, "2.10.4");
  // An empty line is skipped; a missing line leaves its output alone.
  version = "kept";
  UpdateServerRequest::TakeQueryBuild(split("ok\n\n777\n"), build, version);
  EXPECT_EQ(build, "777");
  EXPECT_EQ(version, "kept");
}

TEST(ReplyParsingTest, BirdIsLineTwoOrEmpty) {
  std::string bird = "old";
  UpdateServerRequest::TakeBird(split("ok\nQUJD\n"), bird);
  EXPECT_EQ(bird, "QUJD");
  UpdateServerRequest::TakeBird(split("ok\n"), bird);
  EXPECT_EQ(bird, "");
}

TEST(ReplyParsingTest, BuildList) {
  std::map<std::string, std::string> builds;
  LogCapture log(0x20);
  UpdateServerRequest::TakeBuildList("GetBuildList", split("ok\n12345;2.10.4\n12345;2.9.0\nab\n777\n;;;\n;88;1.0.0;x\r\n"),
                                     builds);
  const std::map<std::string, std::string> expected = {{"12345", "2.10.4"}, {"777", ""}, {"88", "1.0.0"}};
  EXPECT_EQ(builds, expected);
  EXPECT_TRUE(log.contains("GetBuildList processing entry: [12345;2.10.4]\n"));
  EXPECT_TRUE(log.contains("GetBuildList [777][]\n"));
  EXPECT_FALSE(log.contains("[ab]"));
}

// Each number is a whole line within 32 bits: trailing junk, a sign or more digits than
// 32 bits hold make the reply bad, and the outputs keep their values.
TEST(ReplyParsingTest, RecoveryInfoNumbers) {
  const struct {
    const char* body;
    bool valid;
    uint32_t serial, build;
  } cases[] = {{"ok\n40F5849A\n0x10\n", true, 0x40F5849A, 16},
               {"ok\n40f5849a\r\n010\r\n", true, 0x40F5849A, 8},
               {"ok\n 1234 \n4294967295\n", true, 0x1234, 0xFFFFFFFF},
               {"ok\n1234zz\n10\n", false, 1, 1},
               {"ok\n1234\n10 builds\n", false, 1, 1},
               {"ok\nnothex\nnone\n", false, 1, 1},
               {"ok\n100000001\n10\n", false, 1, 1},
               {"ok\n1234\n4294967297\n", false, 1, 1},
               {"ok\n1234\n-1\n", false, 1, 1},
               {"ok\n1234\n0x\n", false, 1, 1},
               {"ok\n1234\n09\n", false, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(UpdateServerRequest::RecoveryInfoIsValid(split(c.body)), c.valid);
    if (!c.valid) continue;
    uint32_t serial = 1, build = 1;
    UpdateServerRequest::TakeRecoveryInfo("GetRecoveryInfo", split(c.body), &serial, &build);
    EXPECT_EQ(serial, c.serial);
    EXPECT_EQ(build, c.build);
  }
  uint32_t serial = 5, build = 6;
  UpdateServerRequest::TakeRecoveryInfo("GetRecoveryInfo", split("ok\n"), &serial, &build);
  EXPECT_EQ(serial, 5u);
  EXPECT_EQ(build, 6u);
  UpdateServerRequest::TakeRecoveryInfo("GetRecoveryInfo", split("ok\n1\n2\n"), nullptr, nullptr);
}

TEST(ReplyParsingTest, BuildNumbers) {
  const struct {
    const char* text;
    bool converts;
    uint32_t build;
  } cases[] = {{"12345", true, 12345},     {" 007\r", true, 7},     {"4294967295", true, 0xFFFFFFFF},
               {"4294967296", false, 0},   {"4294967297", false, 0}, {"99999999999999999999999", false, 0},
               {"5000junk", false, 0},     {"-1", false, 0},         {"+5", false, 0},
               {"", false, 0},             {" \r", false, 0},        {"12 34", false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t build = 77;
    EXPECT_EQ(updater::_to_build_number(c.text, build), c.converts);
    EXPECT_EQ(build, c.converts ? c.build : 77u);
  }
}

TEST(VersionOrderTest, SplitIntoExactlyThreePieces) {
  typedef std::vector<std::string> V;
  EXPECT_EQ(UpdateServerRequest::SplitTallowickVersion("1.2.3"), (V{"1", "2", "3"}));
  EXPECT_EQ(UpdateServerRequest::SplitTallowickVersion("..."), V{});
  EXPECT_EQ(UpdateServerRequest::SplitTallowickVersion(".."), (V{"", "", ""}));
  EXPECT_EQ(UpdateServerRequest::SplitTallowickVersion("1.2"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitTallowickVersion("1.2.3.4"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitTallowickVersion(""), V{});
}

TEST(VersionOrderTest, SortVersionRelation) {
  auto newer = [](const char* a, const char* b) { return _sortVersion({"x", a}, {"y", b}); };
  EXPECT_TRUE(newer("2.10.0", "2.9.10"));
  EXPECT_FALSE(newer("2.9.10", "2.10.0"));
  EXPECT_FALSE(newer("2.10.0", "2.10.0"));
  EXPECT_TRUE(newer("2.300.1", "2.43.9"));   // 300 counts as 44
  EXPECT_FALSE(newer("2.300.1", "2.45.0"));
  EXPECT_TRUE(newer(" 3.+1.0x", "3.0.9"));   // stoi rules: blanks, sign, trailing text
  LogCapture log(0x20);
  EXPECT_FALSE(newer("a.b.c", "1.0.0"));
  EXPECT_FALSE(newer("1.0.0", "a.b.c"));
  EXPECT_FALSE(newer("99999999999.0.0", "1.0.0"));
  EXPECT_FALSE(newer("1.0", "0.0.1"));
  EXPECT_TRUE(log.contains("_sortVersion: Exception converting version: "));
}

TEST(VersionOrderTest, SortBuildsNewestFirstWithUnorderableVersionsLast) {
  const std::map<std::string, std::string> three = {{"1", "2.9.10"}, {"2", "2.10.0"}, {"3", "2.10.3"}};
  typedef std::list<std::pair<std::string, std::string>> L;
  EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(three), (L{{"3", "2.10.3"}, {"2", "2.10.0"}, {"1", "2.9.10"}}));

  // Versions that do not convert, and equal versions: a total, repeatable order.
  std::map<std::string, std::string> mixed;
  for (int i = 0; i < 200; i++) {
    const std::string build = std::to_string(1000 + i);
    if (i % 7 == 0) mixed[build] = "junk";
    else if (i % 11 == 0) mixed[build] = "";
    else mixed[build] = "2." + std::to_string(i % 13) + "." + std::to_string(i % 5);
  }
  const L sorted = UpdateServerRequest::SortBuildsByVersion(mixed);
  ASSERT_EQ(sorted.size(), mixed.size());
  bool seenInvalid = false;
  const std::pair<std::string, std::string>* previous = nullptr;
  for (const auto& entry : sorted) {
    const bool valid = UpdateServerRequest::SplitTallowickVersion(entry.second).size() == 3 && entry.second != "junk";
    if (!valid) seenInvalid = true;
    EXPECT_FALSE(valid && seenInvalid) << "a valid version after an invalid one: " << entry.first;
    if (previous != nullptr && valid) {
      EXPECT_FALSE(_sortVersion(entry, *previous)) << entry.second << " after " << previous->second;
      if (!_sortVersion(*previous, entry)) {
        EXPECT_LT(previous->first, entry.first);  // equal versions keep the build order
      }
    }
    previous = &entry;
  }
}

TEST(QueryTest, OrdinaryValuesTravelUnchangedOthersArePercentEncoded) {
  std::map<std::string, std::string> query = {{"op", "builds"}, {"sn", "40F5849A"}};
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", query), "http://h/cgi/u?op=builds&sn=40F5849A&");
  query = {{"bld", "12345"}, {"fw", "2.10.4-rc_1~x"}, {"no_cal", "false"}};
  EXPECT_EQ(HTTPRequest::BuildURL("u", query), "u?bld=12345&fw=2.10.4-rc_1~x&no_cal=false&");
  query = {{"fw", "2.10 beta&op=x=1/%#?+\xC3\xA9\n"}};
  EXPECT_EQ(HTTPRequest::BuildURL("u", query), "u?fw=2.10%20beta%26op%3Dx%3D1%2F%25%23%3F%2B%C3%A9%0A&");
  query.clear();
  EXPECT_EQ(HTTPRequest::BuildURL("u", query), "u");
}

TEST(QueryTest, DefaultURLs) {
  EXPECT_EQ(std::string(UpdateServerRequest::DefaultURL()), std::string("http://") + UPDATER_DEFAULT_SERVER_HOST + "/cgi/u");
  EXPECT_EQ(std::string(UpdateServerRequest::DefaultSecureURL()),
            std::string("https://") + UPDATER_DEFAULT_SERVER_HOST + "/cgi/u");
}

}  // namespace

// The parsed command line in-process: number conversions and the fields that the
// run's output does not show.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "updater/cli/CLI_Display.h"
#include "updater/cli/Log.h"
#include "updater/cli/Parameters.h"

namespace {

struct Conversion {
  const char* text;
  uint32_t value;
  size_t endOffset;  // where *end points, from the start of the text
};

class GetParams : public ::testing::Test {
protected:
  void TearDown() override { Log::package_bitmask = 0; }

  int Parse(std::vector<std::string> words) {
    words.insert(words.begin(), "/usr/bin/Updater");
    storage_.clear();
    for (const std::string& w : words) {
      storage_.emplace_back(w.begin(), w.end());
      storage_.back().push_back('\0');
    }
    argv_.clear();
    for (auto& s : storage_) argv_.push_back(s.data());
    argv_.push_back(nullptr);
    return _get_params(display_, static_cast<int>(words.size()), argv_.data(), &p_);
  }

  CLI_Display display_;
  Parameters p_;
  std::vector<std::vector<char>> storage_;
  std::vector<char*> argv_;
};

}  // namespace

TEST(NumberArguments, Decimal) {
  const Conversion cases[] = {
      {"", 0, 0},          {"0", 0, 1},          {"007", 7, 3},
      {"12a", 0, 2},       {"a12", 0, 0},        {"4294967295", 4294967295u, 10},
      {" 1", 0, 0},        {"+1", 0, 0},         {"-1", 0, 0},
      // Beyond 32 bits: refused as a whole, never cut to the low bits.
      {"4294967296", 0, 0}, {"4294967297", 0, 0}, {"99999999999999999999999", 0, 0},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.text);
    char* end = nullptr;
    EXPECT_EQ(_get_int_arg(c.text, &end), c.value);
    EXPECT_EQ(end, c.text + c.endOffset);
  }
  EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(NumberArguments, Hexadecimal) {
  const Conversion cases[] = {
      {"", 0, 0},
      {"40F5849A", 0x40F5849A, 8},
      {"40f5849a", 0x40F5849A, 8},
      {"FFFFFFFF", 0xFFFFFFFF, 8},
      {"0x12", 0, 1},
      {"12G4", 0, 2},
      {"00000000000040F5849A", 0x40F5849A, 20},
      {"100000000", 0, 0},
      {"140F5849A", 0, 0},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.text);
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg(c.text, &end), c.value);
    EXPECT_EQ(end, c.text + c.endOffset);
  }
  EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
}

TEST_F(GetParams, Defaults) {
  ASSERT_EQ(Parse({}), 0);
  EXPECT_EQ(p_.commands.bits, 0u);
  EXPECT_EQ(p_.serial, 0u);
  EXPECT_EQ(p_.routerSerial, 0u);
  EXPECT_EQ(p_.link, 1);
  EXPECT_FALSE(p_.linkGiven);
  EXPECT_EQ(p_.baud, 115200u);
  EXPECT_EQ(p_.build, "");
  EXPECT_EQ(p_.serverUrl, "http://" TEST_DEFAULT_HOST "/cgi/u");
  EXPECT_EQ(p_.progName, "Updater");
  EXPECT_EQ(p_.logMode, "a+");
  EXPECT_EQ(p_.logFile, "Updater.log");
  EXPECT_TRUE(p_.ueiBytes);
  EXPECT_FALSE(p_.override);
  EXPECT_FALSE(p_.maskGiven);
  EXPECT_FALSE(p_.helpGiven);
}

TEST_F(GetParams, Fields) {
  struct Row {
    std::vector<std::string> words;
    int result;
    std::function<void(const Parameters&)> check;
  };
  const std::vector<Row> rows = {
      {{"-t", "TCPIP"}, 0, [](const Parameters& p) { EXPECT_EQ(p.link, 2); EXPECT_TRUE(p.linkGiven); }},
      {{"-t", "TCP"}, 0, [](const Parameters& p) { EXPECT_EQ(p.link, 2); }},
      {{"-t", "USBX"}, 0, [](const Parameters& p) { EXPECT_EQ(p.link, 1); }},
      {{"-t", "RECOVER"}, 0, [](const Parameters& p) { EXPECT_EQ(p.link, 255); }},
      {{"-t", "RECOVE"}, 1, [](const Parameters& p) { EXPECT_EQ(p.link, 0); EXPECT_TRUE(p.linkGiven); }},
      {{"-m", "0"}, 0, [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
      {{"-m", "1"}, 0, [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
      {{"-m", "trueish"}, 0, [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
      {{"-m", "yes"}, 0, [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
      {{"-m"}, 0, [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
      {{"-b", "007"}, 0, [](const Parameters& p) { EXPECT_EQ(p.build, "7"); }},
      {{"-b="}, 0, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
      {{"-b", "1", "-b", "2"}, 0, [](const Parameters& p) { EXPECT_EQ(p.build, "2"); }},
      {{"-o", "9600"}, 0, [](const Parameters& p) { EXPECT_EQ(p.baud, 9600u); }},
      {{"-d", "0x40F5849A"}, 0, [](const Parameters& p) { EXPECT_EQ(p.serial, 0x40F5849Au); }},
      {{"-d", "0X40f5849a"}, 0, [](const Parameters& p) { EXPECT_EQ(p.serial, 0x40F5849Au); }},
      {{"-r", "D272031D"}, 0, [](const Parameters& p) { EXPECT_EQ(p.routerSerial, 0xD272031Du); }},
      {{"-OV"}, 0, [](const Parameters& p) { EXPECT_TRUE(p.override); }},
      {{"-i", "/tmp/x", "-f", "a.bird", "-s", "USB", "-l", "msg", "-k", "f.log", "-n", "-e"}, 0,
       [](const Parameters& p) {
         EXPECT_EQ(p.storeRoot, "/tmp/x");
         EXPECT_EQ(p.birdFile, "a.bird");
         EXPECT_EQ(p.serialPort, "USB");
         EXPECT_EQ(p.historyMessage, "msg");
         EXPECT_EQ(p.logFile, "f.log");
         EXPECT_TRUE(p.n);
         EXPECT_TRUE(p.echo);
       }},
      {{"--https"}, 0, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "https://" TEST_DEFAULT_HOST "/cgi/u"); }},
      {{"--http"}, 0, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "http://" TEST_DEFAULT_HOST "/cgi/u"); }},
      {{"-u", "http://127.0.0.1:8/x"}, 0, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "http://127.0.0.1:8/x"); }},
      {{"-D", "-U", "-G", "-B", "-L", "-N", "-I", "-C", "-Z", "z"}, 0,
       [](const Parameters& p) { EXPECT_EQ(p.commands.bits, 0x2FFu); }},
      {{"-X", "0x20"}, 0, [](const Parameters& p) { EXPECT_EQ(p.logMask, 0x20u); EXPECT_TRUE(p.maskGiven); }},
      {{"-X", "32"}, 0, [](const Parameters& p) { EXPECT_EQ(p.logMask, 32u); }},
      {{"-D", "-h", "-Y"}, 0, [](const Parameters& p) {
         EXPECT_TRUE(p.helpGiven);
         EXPECT_EQ(p.commands.bits, 0x80000001u);
       }},
  };
  for (const Row& row : rows) {
    std::string joined;
    for (const std::string& w : row.words) joined += w + " ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(Parse(row.words), row.result);
    row.check(p_);
  }
}

TEST_F(GetParams, MasksAccumulateAndRefusedOnesStayOff) {
  ASSERT_EQ(Parse({"-X", "0x20", "-X", "1", "-X", "0x400x", "-X", "0x100000004"}), 0);
  EXPECT_EQ(Log::package_bitmask, 0x21u);
}

TEST_F(GetParams, MissingProgramName) {
  char* noName[] = {nullptr, nullptr};
  EXPECT_EQ(_get_params(display_, 1, noName, &p_), 0);
  EXPECT_EQ(p_.progName, "");
  EXPECT_EQ(_get_params(display_, 0, noName, &p_), 0);
  EXPECT_EQ(_get_params(display_, 0, nullptr, &p_), 0);
  EXPECT_EQ(p_.commands.bits, 0u);
}

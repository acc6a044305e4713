// The console display (drawing only onto a terminal) and the diagnostic log.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "updater/cli/CLI_Display.h"
#include "updater/cli/Log.h"
#include "tests/support/Subprocess.h"

using testsupport::RunInChild;
using testsupport::RunOptions;
using testsupport::RunResult;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { lines.push_back("info:" + std::string(text)); }
  void error_message(const char* text) override { lines.push_back("error:" + std::string(text)); }
  std::vector<std::string> lines;
};

std::string Clear() { return "\r" + std::string(88, ' ') + "\r"; }
std::string Bar(int filled, int blanks) { return std::string(static_cast<size_t>(filled), '=') + ">" + std::string(static_cast<size_t>(blanks), ' '); }

RunResult Draw(bool terminal, void (*body)(CLI_Display&)) {
  RunOptions options;
  options.stdoutIsTerminal = terminal;
  options.timeoutMs = 10000;
  return RunInChild(
      [body] {
        CLI_Display::spinnerFrame = 0;
        CLI_Display display;
        body(display);
        return 0;
      },
      options);
}

}  // namespace

TEST(DisplayMessage, LevelsMutingAndLength) {
  RecordingDisplay d;
  d.message(0, "a %d", 1);
  d.message(1, "b %s", "x");
  d.message(2, "c");
  d.message(-1, "d");
  d.mute_messages(true);
  d.message(0, "hidden");
  d.message(1, "hidden");
  d.mute_messages(false);
  d.message(0, "%s", "100% shown");
  EXPECT_EQ(d.lines, (std::vector<std::string>{"info:a 1", "error:b x", "info:c", "info:d", "info:100% shown"}));

  d.lines.clear();
  std::string longText(3000, 'x');
  for (size_t i = 0; i < longText.size(); ++i) longText[i] = static_cast<char>('a' + i % 26);
  d.message(1, "%s", longText.c_str());
  ASSERT_EQ(d.lines.size(), 1u);
  EXPECT_EQ(d.lines[0], "error:" + longText.substr(0, 2047));
}

TEST(CliDisplay, ProgressBarOnATerminal) {
  RunResult r = Draw(true, [](CLI_Display& d) {
    d.display_progress(true);
    d.update_progress(0.0, nullptr);
    d.update_progress(0.5, nullptr);
    d.update_progress(1.0, nullptr);
    d.update_progress(0.5, "Go");
    d.display_progress(false);
  });
  ASSERT_EQ(r.status, 0);
  const std::string expected = "\r[" + Bar(0, 68) + "] (  0% ) " +
                               "\r[" + Bar(34, 34) + "] ( 50% ) " +
                               "\r[" + Bar(69, 1) + "] (100% ) " +
                               "\r (Go) [" + Bar(31, 31) + "] ( 50% ) " + Clear();
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
}

TEST(CliDisplay, ProgressOutsideItsRangeIsDrawnAtTheEnds) {
  RunResult r = Draw(true, [](CLI_Display& d) {
    d.update_progress(-0.5, nullptr);
    d.update_progress(1.5, nullptr);
    d.update_progress(std::nan(""), nullptr);
    // A label too long for the bar leaves a bar of no width, not a runaway one.
    d.update_progress(1.0, std::string(80, 'L').c_str());
  });
  ASSERT_EQ(r.status, 0);
  const std::string expected = "\r[" + Bar(0, 68) + "] (  0% ) " + "\r[" + Bar(69, 1) + "] (100% ) " + "\r[" +
                               Bar(0, 68) + "] (  0% ) " + "\r (" + std::string(80, 'L') + ") [" + Bar(0, 1) +
                               "] (100% ) ";
  EXPECT_EQ(r.out, expected);
}

TEST(CliDisplay, SpinnerFramesContinueAcrossClears) {
  RunResult r = Draw(true, [](CLI_Display& d) {
    for (int i = 0; i < 9; ++i) d.update_spinner(true, nullptr);
    d.update_spinner(false, nullptr);
    d.update_spinner(true, "Downloading");
    CLI_Display other;
    other.update_spinner(true, nullptr);
  });
  ASSERT_EQ(r.status, 0);
  std::string expected;
  for (const char* frame : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
    expected += "\r " + std::string(frame) + "      \r";
  expected += Clear();
  expected += "\r (Downloading) ..      \r";
  expected += "\r ...      \r";
  EXPECT_EQ(r.out, expected);
}

TEST(CliDisplay, MessagesAlwaysDrawingNeverIntoAPipe) {
  auto body = [](CLI_Display& d) {
    d.display_progress(true);
    d.update_progress(0.5, nullptr);
    d.message(0, "info %d", 1);
    d.update_spinner(true, "Verifying Update");
    d.message(1, "error %d", 2);
    d.message(2, "level two");
    d.update_spinner(false, nullptr);
    d.display_progress(false);
  };
  RunResult piped = Draw(false, body);
  ASSERT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, "info 1\nlevel two\n");
  EXPECT_EQ(piped.err, "error 2\n");

  RunResult terminal = Draw(true, body);
  ASSERT_EQ(terminal.status, 0);
  EXPECT_EQ(terminal.out, "\r[" + Bar(34, 34) + "] ( 50% ) " + "info 1\n" + "\r (Verifying Update) .      \r" +
                              "level two\n" + Clear() + Clear());
  EXPECT_EQ(terminal.err, "error 2\n");
}

TEST(CliDisplay, MutedMessagesButSpinnerStillDraws) {
  RunResult r = Draw(true, [](CLI_Display& d) {
    d.mute_messages(true);
    d.message(0, "hidden");
    d.message(1, "hidden");
    d.update_spinner(true, nullptr);
  });
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\r .      \r");
  EXPECT_EQ(r.err, "");
}

namespace {

class LogTest : public ::testing::Test {
protected:
  void SetUp() override {
    file_ = std::tmpfile();
    ASSERT_NE(file_, nullptr);
    Log::package_bitmask = 0;
    Log::SetOutput(file_);
  }
  void TearDown() override {
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    std::fclose(file_);
  }
  std::string Written() {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    return text;
  }
  FILE* file_ = nullptr;
};

}  // namespace

TEST_F(LogTest, MaskDecidesWhatIsWritten) {
  Log::log(0, "always %d|", 0);
  Log::log(0x20, "server|");
  Log::ActivatePackage(0x20);
  Log::log(0x20, "server %s|", "on");
  Log::log(0x1, "updater|");
  Log::log(0x10001, "either|");
  Log::log(0x10020, "one of two|");
  Log::DeactivatePackage(0x20);
  Log::log(0x20, "off again|");
  Log::log(0, "no line end added");
  EXPECT_EQ(Written(), "always 0|server on|one of two|no line end added");
}

TEST_F(LogTest, LongTextIsCutAndNoStreamWritesNothing) {
  std::string longText(3000, 'q');
  Log::log(0, "%s", longText.c_str());
  EXPECT_EQ(Written(), longText.substr(0, 2047));

  Log::SetOutput(nullptr);
  Log::log(0, "nowhere");  // must not crash or write
  Log::SetOutput(file_);
  EXPECT_EQ(Written().size(), 2047u);
}

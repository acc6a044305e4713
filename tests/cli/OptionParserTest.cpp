// The option parser over hand-made word lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "updater/cli/OptionParser.h"

namespace {

enum { ID_HELP = 10, ID_HTTP, ID_HTTPS, ID_D_LOWER, ID_D_UPPER, ID_OVERRIDE, ID_X };

const CSimpleOpt::SOption kTable[] = {
    {ID_D_UPPER, "-D", CSimpleOpt::ARG_NONE},
    {ID_OVERRIDE, "-OVERRIDE", CSimpleOpt::ARG_NONE},
    {ID_HELP, "-h", CSimpleOpt::ARG_NONE},
    {ID_X, "-X", CSimpleOpt::ARG_REQUIRED},
    {ID_D_LOWER, "-d", CSimpleOpt::ARG_REQUIRED},
    {ID_HELP, "--help", CSimpleOpt::ARG_NONE},
    {ID_HTTP, "--http", CSimpleOpt::ARG_NONE},
    {ID_HTTPS, "--https", CSimpleOpt::ARG_NONE},
    {-1, nullptr, CSimpleOpt::ARG_NONE},
};

// What one call of Next handed back, as text: "error id text arg".
struct Step {
  int error;
  int id;
  std::string text;
  std::string arg;  // "(none)" when there is none
  bool operator==(const Step& o) const {
    return error == o.error && id == o.id && text == o.text && arg == o.arg;
  }
};

std::ostream& operator<<(std::ostream& os, const Step& s) {
  return os << "{" << s.error << ", " << s.id << ", " << s.text << ", " << s.arg << "}";
}

struct Parsed {
  std::vector<Step> steps;
  std::vector<std::string> words;  // argv afterwards
  std::vector<std::string> files;
};

Parsed Parse(std::vector<std::string> words) {
  std::vector<std::vector<char>> storage;
  for (const std::string& w : words) storage.emplace_back(w.begin(), w.end()), storage.back().push_back('\0');
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  Parsed result;
  CSimpleOpt parser(static_cast<int>(words.size()), argv.data(), kTable);
  int guard = 0;
  while (parser.Next() && ++guard < 10000) {
    result.steps.push_back({parser.LastError(), parser.OptionId(),
                            parser.OptionText() != nullptr ? parser.OptionText() : "(null)",
                            parser.OptionArg() != nullptr ? parser.OptionArg() : "(none)"});
  }
  for (size_t i = 0; i < words.size(); ++i) result.words.push_back(argv[i]);
  for (int i = 0; i < parser.FileCount(); ++i) result.files.push_back(parser.Files()[i]);
  return result;
}

const std::string kNone = "(none)";

}  // namespace

TEST(OptionParser, MatchingOneWord) {
  struct Row {
    const char* word;
    Step step;
  } rows[] = {
      {"-D", {0, ID_D_UPPER, "-D", kNone}},
      {"-O", {0, ID_OVERRIDE, "-OVERRIDE", kNone}},
      {"-OV", {0, ID_OVERRIDE, "-OVERRIDE", kNone}},
      {"-OVERRIDE", {0, ID_OVERRIDE, "-OVERRIDE", kNone}},
      {"-OVERRIDES", {CSimpleOpt::ERR_UNKNOWN, -1, "-OVERRIDES", kNone}},
      {"-Ov", {CSimpleOpt::ERR_UNKNOWN, -1, "-Ov", kNone}},
      {"--OVERRIDE", {CSimpleOpt::ERR_UNKNOWN, -1, "--OVERRIDE", kNone}},
      {"--he", {0, ID_HELP, "--help", kNone}},
      {"--h", {CSimpleOpt::ERR_AMBIGUOUS, -1, "--h", kNone}},
      {"--htt", {CSimpleOpt::ERR_AMBIGUOUS, -1, "--htt", kNone}},
      {"--http", {0, ID_HTTP, "--http", kNone}},
      {"--https", {0, ID_HTTPS, "--https", kNone}},
      {"--HELP", {CSimpleOpt::ERR_UNKNOWN, -1, "--HELP", kNone}},
      {"-help", {CSimpleOpt::ERR_UNKNOWN, -1, "-help", kNone}},
      {"---help", {CSimpleOpt::ERR_UNKNOWN, -1, "---help", kNone}},
      {"-DU", {CSimpleOpt::ERR_UNKNOWN, -1, "-DU", kNone}},
      {"-d1234", {CSimpleOpt::ERR_UNKNOWN, -1, "-d1234", kNone}},
      {"-", {CSimpleOpt::ERR_UNKNOWN, -1, "-", kNone}},
      {"--", {CSimpleOpt::ERR_UNKNOWN, -1, "--", kNone}},
      {"-d=0x12", {0, ID_D_LOWER, "-d", "0x12"}},
      {"-d=", {0, ID_D_LOWER, "-d", ""}},
      {"-d=a=b", {0, ID_D_LOWER, "-d", "a=b"}},
      {"-h=1", {CSimpleOpt::ERR_UNEXPECTED_ARG, ID_HELP, "-h", kNone}},
      {"-q=1", {CSimpleOpt::ERR_UNKNOWN, -1, "-q", kNone}},
      {"--he=1", {CSimpleOpt::ERR_UNEXPECTED_ARG, ID_HELP, "--help", kNone}},
      {"-d", {CSimpleOpt::ERR_MISSING_ARG, ID_D_LOWER, "-d", kNone}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.word);
    Parsed p = Parse({"prog", row.word});
    ASSERT_EQ(p.steps.size(), 1u);
    EXPECT_EQ(p.steps[0], row.step);
  }
}

TEST(OptionParser, ProgramNameOnlyOrNoWords) {
  EXPECT_TRUE(Parse({"prog"}).steps.empty());
  // The program name is never read, even when it looks like an option.
  EXPECT_TRUE(Parse({"-D"}).steps.empty());

  CSimpleOpt empty(0, nullptr, kTable);
  EXPECT_FALSE(empty.Next());
  char* noName[] = {nullptr};
  CSimpleOpt none(0, noName, kTable);
  EXPECT_FALSE(none.Next());
  EXPECT_EQ(none.FileCount(), 0);
}

TEST(OptionParser, ArgumentFromTheNextWord) {
  Parsed p = Parse({"prog", "-d", "-D"});
  ASSERT_EQ(p.steps.size(), 2u);
  EXPECT_EQ(p.steps[0], (Step{CSimpleOpt::ERR_ARG_IS_OPTION, ID_D_LOWER, "-d", kNone}));
  EXPECT_EQ(p.steps[1], (Step{0, ID_D_UPPER, "-D", kNone}));

  p = Parse({"prog", "-d", "12", "-X", "3"});
  ASSERT_EQ(p.steps.size(), 2u);
  EXPECT_EQ(p.steps[0], (Step{0, ID_D_LOWER, "-d", "12"}));
  EXPECT_EQ(p.steps[1], (Step{0, ID_X, "-X", "3"}));

  // An attached argument leaves the next word alone.
  p = Parse({"prog", "-d=1", "file"});
  ASSERT_EQ(p.steps.size(), 1u);
  EXPECT_EQ(p.steps[0], (Step{0, ID_D_LOWER, "-d", "1"}));
  EXPECT_EQ(p.files, (std::vector<std::string>{"file"}));
}

TEST(OptionParser, WordsWithoutHyphenMoveBehindInOrder) {
  Parsed p = Parse({"prog", "a", "-d", "12", "b", "c", "-D", "d", "-X", "5", "e"});
  ASSERT_EQ(p.steps.size(), 3u);
  EXPECT_EQ(p.steps[0], (Step{0, ID_D_LOWER, "-d", "12"}));
  EXPECT_EQ(p.steps[1], (Step{0, ID_D_UPPER, "-D", kNone}));
  EXPECT_EQ(p.steps[2], (Step{0, ID_X, "-X", "5"}));
  EXPECT_EQ(p.words, (std::vector<std::string>{"prog", "-d", "12", "-D", "-X", "5", "a", "b", "c", "d", "e"}));
  EXPECT_EQ(p.files, (std::vector<std::string>{"a", "b", "c", "d", "e"}));

  // Errors take part in the ordering like options; the cut "=" stays cut.
  p = Parse({"prog", "x", "-q=1", "y", "-d", "z"});
  ASSERT_EQ(p.steps.size(), 2u);
  EXPECT_EQ(p.steps[0].error, CSimpleOpt::ERR_UNKNOWN);
  EXPECT_EQ(p.steps[1], (Step{0, ID_D_LOWER, "-d", "z"}));
  EXPECT_EQ(p.words, (std::vector<std::string>{"prog", "-q", "-d", "z", "x", "y"}));
}

TEST(OptionParser, ManyWords) {
  // Far more words than the small-list case, options and others mixed.
  std::vector<std::string> words{"prog"};
  for (int i = 0; i < 120; ++i) {
    words.push_back("w" + std::to_string(i));
    words.push_back("-D");
  }
  Parsed p = Parse(words);
  ASSERT_EQ(p.steps.size(), 120u);
  ASSERT_EQ(p.files.size(), 120u);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(p.files[static_cast<size_t>(i)], "w" + std::to_string(i));
}

#include "trace/trace_command.h"

#include <gtest/gtest.h>

#include <string>

namespace ductrine {
namespace {

using Kind = TraceCommandKind;

const char kSentence[] = "A count in the range: 1 to 2147483647, expected.";

struct CommandCase {
  std::string line;
  Kind kind;
  std::int32_t runCount;
  std::string explanation;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class TraceCommandParse : public ::testing::TestWithParam<CommandCase> {};

TEST_P(TraceCommandParse, GivesTheCommand) {
  const CommandCase& c = GetParam();
  TraceCommand command = ParseTraceCommand(c.line);
  EXPECT_EQ(command.kind, c.kind);
  EXPECT_EQ(command.runCount, c.runCount);
  EXPECT_EQ(command.explanation, c.explanation);
}

INSTANTIATE_TEST_SUITE_P(
    Enter, TraceCommandParse,
    ::testing::Values(CommandCase{"", Kind::kEnter, 0, ""},
                      CommandCase{"    ", Kind::kEnter, 0, ""},
                      CommandCase{" \t\n\v\f\r", Kind::kEnter, 0, ""},
                      CommandCase{"Run", Kind::kEnter, 0, ""},
                      CommandCase{"  run  \t", Kind::kEnter, 0, ""}));

INSTANTIATE_TEST_SUITE_P(
    RunCounts, TraceCommandParse,
    ::testing::Values(CommandCase{"Run 3", Kind::kRun, 2, ""},
                      CommandCase{"Run *", Kind::kRun, -1, ""},
                      CommandCase{"Run 1", Kind::kRun, 0, ""},
                      CommandCase{"Run 7x", Kind::kRun, 6, ""},
                      CommandCase{"R 5", Kind::kRun, 4, ""},
                      CommandCase{"rUn +4", Kind::kRun, 3, ""},
                      CommandCase{"  RUN\t12 \t", Kind::kRun, 11, ""},
                      CommandCase{"Run 2147483647", Kind::kRun, 2147483646, ""},
                      CommandCase{"Run 0", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run -2", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run abc", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run *5", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run 99999999999", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run 2147483648", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run 4294967299", Kind::kRefused, 0, kSentence},
                      CommandCase{"Run 3 4", Kind::kRefused, 0, ""},
                      CommandCase{"Run * all", Kind::kRefused, 0, ""}));

INSTANTIATE_TEST_SUITE_P(
    Words, TraceCommandParse,
    ::testing::Values(CommandCase{"H", Kind::kHelp, 0, ""},
                      CommandCase{"hlp", Kind::kHelp, 0, ""},
                      CommandCase{"HeLP", Kind::kHelp, 0, ""},
                      CommandCase{"  help  ", Kind::kHelp, 0, ""},
                      CommandCase{"s", Kind::kSource, 0, ""},
                      CommandCase{"Src", Kind::kSource, 0, ""},
                      CommandCase{"SouRCe", Kind::kSource, 0, ""},
                      CommandCase{"o", Kind::kOff, 0, ""},
                      CommandCase{"oFF", Kind::kOff, 0, ""},
                      CommandCase{"E", Kind::kEnd, 0, ""},
                      CommandCase{"eNd", Kind::kEnd, 0, ""}));

INSTANTIATE_TEST_SUITE_P(
    Refused, TraceCommandParse,
    ::testing::Values(CommandCase{"help me", Kind::kRefused, 0, ""},
                      CommandCase{"off now", Kind::kRefused, 0, ""},
                      CommandCase{"E 1", Kind::kRefused, 0, ""},
                      CommandCase{"HE", Kind::kRefused, 0, ""},
                      CommandCase{"HEL", Kind::kRefused, 0, ""},
                      CommandCase{"SOU", Kind::kRefused, 0, ""},
                      CommandCase{"EN", Kind::kRefused, 0, ""},
                      CommandCase{"RU", Kind::kRefused, 0, ""},
                      CommandCase{"RUNS", Kind::kRefused, 0, ""},
                      CommandCase{"SOURCES", Kind::kRefused, 0, ""},
                      CommandCase{"xyz", Kind::kRefused, 0, ""},
                      CommandCase{"R3", Kind::kRefused, 0, ""}));

TEST(TraceCommand, LineEndsAtItsFirstNul) {
  TraceCommand command = ParseTraceCommand(std::string("Run 5\0 more", 11));
  EXPECT_EQ(command.kind, Kind::kRun);
  EXPECT_EQ(command.runCount, 4);
}

TEST(TraceCommand, CountSentenceIsFormattedWithTheLargestCount) {
  EXPECT_EQ(CountRangeSentence(), kSentence);
}

TEST(CommandLineBuffer, PiecesJoinWithoutSeparators) {
  std::string line;
  EXPECT_TRUE(AppendCommandPiece(line, "  R"));
  EXPECT_TRUE(AppendCommandPiece(line, "un 3"));
  EXPECT_TRUE(AppendCommandPiece(line, ""));
  EXPECT_TRUE(AppendCommandPiece(line, std::string("\0junk", 5)));
  EXPECT_EQ(line, "  Run 3");
  EXPECT_EQ(ParseTraceCommand(line).runCount, 2);
}

TEST(CommandLineBuffer, LongInputIsCutAtCapacity) {
  std::string typed = "Run " + std::string(4996, '9');
  ASSERT_EQ(typed.size(), 5000u);
  std::string line;
  bool cut = false;
  for (std::size_t at = 0; at < typed.size(); at += kConsolePieceMax) {
    if (!AppendCommandPiece(line, std::string_view(typed).substr(at, kConsolePieceMax))) cut = true;
  }
  EXPECT_TRUE(cut);
  EXPECT_EQ(line.size(), kCommandLineCapacity);
  EXPECT_EQ(line, typed.substr(0, 999));
  TraceCommand command = ParseTraceCommand(line);
  EXPECT_EQ(command.kind, Kind::kRefused);
  EXPECT_EQ(command.explanation, kSentence);

  std::string exact(998, 'a');
  EXPECT_TRUE(AppendCommandPiece(exact, "b"));
  EXPECT_FALSE(AppendCommandPiece(exact, "c"));
  EXPECT_EQ(exact.size(), 999u);
  EXPECT_EQ(exact.back(), 'b');
}

}  // namespace
}  // namespace ductrine

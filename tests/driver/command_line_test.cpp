#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

using ::ductrine::testing::SameError;

std::variant<CommandLine, ParseError> Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

CommandLine Accepted(std::vector<std::string> args) {
  auto result = Parse(args);
  if (const ParseError* error = std::get_if<ParseError>(&result)) {
    ADD_FAILURE() << "refused: " << testing::Describe(error->number, error->args);
    return {};
  }
  return std::get<CommandLine>(result);
}

TEST(CommandLineTest, WordsAreJoinedWithSingleBlanks) {
  CommandLine c = Accepted({"<", "in.txt", "|", ">>", "out.txt"});
  EXPECT_EQ(c.action, CommandLine::Action::kRun);
  EXPECT_EQ(c.pipeline, "< in.txt | >> out.txt");
  EXPECT_EQ(c.recordLimit, 65536u);
  EXPECT_EQ(Accepted({"< in.txt | >> out.txt"}).pipeline, "< in.txt | >> out.txt");
}

TEST(CommandLineTest, OptionsAfterFirstPipelineWordBelongToPipeline) {
  CommandLine c = Accepted({"literal", "--help"});
  EXPECT_EQ(c.action, CommandLine::Action::kRun);
  EXPECT_EQ(c.pipeline, "literal --help");
  c = Accepted({"literal", "--record-limit", "1"});
  EXPECT_EQ(c.pipeline, "literal --record-limit 1");
  EXPECT_EQ(c.recordLimit, 65536u);
}

TEST(CommandLineTest, DoubleDashEndsOptions) {
  CommandLine c = Accepted({"--record-limit", "10", "--", "--help", "--"});
  EXPECT_EQ(c.action, CommandLine::Action::kRun);
  EXPECT_EQ(c.pipeline, "--help --");
  EXPECT_EQ(c.recordLimit, 10u);
}

TEST(CommandLineTest, HelpAndVersion) {
  EXPECT_EQ(Accepted({"--help"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(Accepted({"--version"}).action, CommandLine::Action::kVersion);
  EXPECT_EQ(Accepted({"--version", "--help"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(Accepted({"--help", "literal", "x"}).action, CommandLine::Action::kHelp);
}

TEST(CommandLineTest, RecordLimitAcceptedRange) {
  EXPECT_EQ(Accepted({"--record-limit", "2", "literal"}).recordLimit, 2u);
  EXPECT_EQ(Accepted({"--record-limit", "2147483648", "literal"}).recordLimit, 2147483648u);
  EXPECT_EQ(Accepted({"--record-limit=0100", "literal"}).recordLimit, 100u);
}

struct RefusedCase {
  std::vector<std::string> args;
  std::uint32_t number;
  MessageArgs values;
};

class CommandLineRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(CommandLineRefusedTest, GivesMessageAndValues) {
  const RefusedCase& c = GetParam();
  auto result = Parse(c.args);
  const ParseError* error = std::get_if<ParseError>(&result);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(SameError(*error, c.number, c.values));
}

const long kLow = 2;
const long kHigh = 2147483648L;

INSTANTIATE_TEST_SUITE_P(
    All, CommandLineRefusedTest,
    ::testing::Values(
        RefusedCase{{"--record-limit", "1", "literal"}, 1032, {"1", kLow, kHigh}},
        RefusedCase{{"--record-limit", "0", "literal"}, 1032, {"0", kLow, kHigh}},
        RefusedCase{{"--record-limit", "2147483649", "literal"}, 1032, {"2147483649", kLow, kHigh}},
        RefusedCase{{"--record-limit", "99999999999999999999999", "x"}, 1032, {"99999999999999999999999", kLow, kHigh}},
        RefusedCase{{"--record-limit", "-5", "literal"}, 1032, {"-5", kLow, kHigh}},
        RefusedCase{{"--record-limit", "+5", "literal"}, 1032, {"+5", kLow, kHigh}},
        RefusedCase{{"--record-limit", "5k", "literal"}, 1032, {"5k", kLow, kHigh}},
        RefusedCase{{"--record-limit", "", "literal"}, 1032, {"", kLow, kHigh}},
        RefusedCase{{"--record-limit=1", "literal"}, 1032, {"1", kLow, kHigh}},
        RefusedCase{{"--record-limit"}, 1018, {"--record-limit", "an unsigned integer from 2 to 2147483648"}},
        RefusedCase{{"--bogus", "literal"}, 1029, {"--bogus"}},
        RefusedCase{{}, 1028, {}},
        RefusedCase{{"  ", ""}, 1028, {}},
        RefusedCase{{"--"}, 1028, {}},
        RefusedCase{{"--record-limit", "100"}, 1028, {}}));

TEST(CommandLineTest, UsageNamesEveryStageCommand) {
  std::string_view usage = UsageText();
  for (const StageCommand& c : StageCommands()) {
    for (std::string_view name : c.names) {
      if (!name.empty()) {
        EXPECT_NE(usage.find(name), std::string_view::npos) << name;
      }
    }
  }
  EXPECT_NE(usage.find("not supported"), std::string_view::npos);
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace ductrine

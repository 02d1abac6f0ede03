#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

using ::ductrine::testing::SameError;
using Action = CommandLine::Action;
using Args = std::vector<std::string>;

TEST(CommandLineTest, AcceptedLines) {
  struct Case { Args args; Action action; std::string pipeline; std::uint32_t recordLimit; };
  const Case cases[] = {
      // Options after the first pipeline word belong to the pipeline.
      {{"literal", "--record-limit", "1"}, Action::kRun, "literal --record-limit 1", 65536},
      {{"--record-limit", "10", "--", "--help", "--"}, Action::kRun, "--help --", 10},
      {{"--version", "--help"}, Action::kHelp, "", 65536},
      {{"--help", "literal", "x"}, Action::kHelp, "", 65536},
      {{"--record-limit", "2", "literal"}, Action::kRun, "literal", 2},
      {{"--record-limit", "2147483648", "literal"}, Action::kRun, "literal", 2147483648u},
      {{"--record-limit=0100", "literal"}, Action::kRun, "literal", 100},
  };
  for (const Case& c : cases) {
    auto result = ParseCommandLine(c.args);
    const CommandLine* line = std::get_if<CommandLine>(&result);
    ASSERT_NE(line, nullptr) << ::testing::PrintToString(c.args);
    EXPECT_EQ(line->action, c.action) << ::testing::PrintToString(c.args);
    EXPECT_EQ(line->pipeline, c.pipeline);
    EXPECT_EQ(line->recordLimit, c.recordLimit);
  }
}

TEST(CommandLineTest, RefusedLinesGiveMessageAndValues) {
  struct Case { Args args; std::uint32_t number; MessageArgs values; };
  const long long low = 2, high = 2147483648LL;
  const Case cases[] = {
      {{"--record-limit", "0", "literal"}, 1032, {"0", low, high}},
      {{"--record-limit", "99999999999999999999999", "x"}, 1032, {"99999999999999999999999", low, high}},
      {{"--record-limit", "5k", "literal"}, 1032, {"5k", low, high}},
      {{"--record-limit", "", "literal"}, 1032, {"", low, high}},
      {{"--record-limit=1", "literal"}, 1032, {"1", low, high}},
      {{"--record-limit"}, 1018, {"--record-limit", "an unsigned integer from 2 to 2147483648"}},
      {{"  ", ""}, 1028, {}},
      {{"--"}, 1028, {}},
      {{"--record-limit", "100"}, 1028, {}},
  };
  for (const Case& c : cases) {
    auto result = ParseCommandLine(c.args);
    const ParseError* error = std::get_if<ParseError>(&result);
    ASSERT_NE(error, nullptr) << ::testing::PrintToString(c.args);
    EXPECT_TRUE(SameError(*error, c.number, c.values)) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLineTest, UsageNamesEveryStageCommand) {
  std::string_view usage = UsageText();
  for (const StageCommand& c : StageCommands())
    for (std::string_view name : c.names) EXPECT_TRUE(name.empty() || usage.find(name) != usage.npos) << name;
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace ductrine

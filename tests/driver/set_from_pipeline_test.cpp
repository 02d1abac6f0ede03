#include "driver/set_from_pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/parse_error_matchers.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

using test::TestRun;
using Strings = std::vector<std::string>;

// Builds the set of a text the parser accepts ("locate" in any case names a
// module); the build's refusal, if any, comes back described.
std::string Build(std::string_view text, CPipeSet& set, std::uint32_t recordLimit = 65536) {
  auto parsed = ParsePipeline(text, [](std::string_view word) { return word == "locate" || word == "Locate"; });
  if (const ParseError* error = std::get_if<ParseError>(&parsed)) return "parser: " + testing::Describe(*error);
  std::optional<ParseError> error = BuildPipeSet(std::get<ParsedPipeline>(parsed), text, recordLimit, set);
  return error ? testing::Describe(*error) : "";
}

TEST(BuildPipeSet, CarriesTypesOperandsNamesSourceLinesRecordLimitAndTracing) {
  const std::string text = "(end ? name main trace esc \\) literal a\\|b | >> out.txt | tailwrt x | locate y ? Locate|Console";
  CPipeSet set;
  ASSERT_EQ(Build(text, set, 100), "");
  // A module command's type follows the driver's types, under its upper-case
  // word; a stop finds console stages by the first name of their type.
  ASSERT_EQ(set.stageTypes.size(), 5u);
  EXPECT_EQ(set.stageTypes[0].names, (Strings{"TAILWRITER", ">>", "TAILWRT"}));
  EXPECT_EQ(set.stageTypes[4].names, Strings{"LOCATE"});
  Strings stages;
  for (CPipe& pipe : set.pipes)
    for (CStage& stage : pipe.stages)
      stages.push_back(stage.typeName + "/" + std::to_string(stage.typeIndex) + " '" + stage.operands + "'" +
                       (stage.traced ? " traced" : ""));
  EXPECT_EQ(stages, (Strings{"LITERAL/2 'a|b' traced", "TAILWRITER/0 'out.txt' traced", "TAILWRITER/0 'x' traced",
                             "LOCATE/4 'y' traced", "LOCATE/4 '' traced", "CONSOLE/1 '' traced"}));
  std::string label;
  set.PipeLabel(1, label);
  EXPECT_EQ(label, "1,main");
  // As written, for the trace listing.
  EXPECT_EQ(set.sourceLines, (Strings{"literal a\\|b | >> out.txt | tailwrt x | locate y", "Locate|Console"}));
  EXPECT_EQ(set.traceSource, text);
  EXPECT_EQ(set.recordLimit, 100u);
}

// "stream:pipe,stage,stream" of the peer; a gap must name no stage at all,
// or ending the stage would sever someone else's stream.
std::string Peer(CPipeSet& set, const CStreamLink* link) {
  if (link == nullptr) return "none";
  std::string peer = std::to_string(link->peerPipe) + "," + std::to_string(link->peerStage) + "," +
                     std::to_string(link->peerStream);
  if (!link->IsConnected()) peer = set.FindStage(link->peerPipe, link->peerStage) ? "gap naming a stage" : "gap";
  return std::to_string(link->streamNo) + ":" + peer;
}

TEST(BuildPipeSet, ConnectsLabelReferencesWithTheirStreamNumbersAtBothEnds) {
  CPipeSet set;
  // The labelled stage opens its pipe: its input 0 is a gap below stream 1.
  ASSERT_EQ(Build("(end ?) t: literal x | console ? literal y | t: | console", set), "");
  CStage& t = set.pipes.at(0).stages.at(0);
  EXPECT_EQ(t.inputStreamCount, 2u);
  EXPECT_EQ((Strings{Peer(set, t.InputAt(0)), Peer(set, t.InputAt(1)), Peer(set, t.OutputAt(0)),
                     Peer(set, t.OutputAt(1)), Peer(set, set.pipes[1].stages.at(0).OutputAt(0)),
                     Peer(set, set.pipes[1].stages.at(1).InputAt(0)), std::to_string(t.traced)}),
            (Strings{"0:gap", "1:1,0,0", "0:0,1,0", "1:1,1,0", "0:0,0,1", "0:0,0,1", "0"}));
  CPipeSet itself;
  EXPECT_EQ(Build("t: literal x | t:", itself), "1011 't:' 'a connection to another stage'");
}

// ---------------------------------------------------------------------------
// The checks of declared stream limits, on the real run engine.

test::SetupFn Declare(std::uint32_t maxIn, std::uint32_t maxOut, std::uint32_t required) {
  return [=](CProcess&, CStage& stage) {
    stage.SetMaxInputStreams(maxIn);
    stage.maxOutputStreams = maxOut;
    stage.inputRequired = required;
    return true;
  };
}

std::int32_t Idle(CProcess&, CPipeSet&) { return 0; }

// Runs with the checks; the message lines come back, and every stage must
// have returned 3 without running.
Strings RunChecked(TestRun& run) {
  test::ConsoleCapture console;
  RunResult result = run.Run([](CPipeSet& set) { CheckDeclaredLimits(set); });
  for (const auto& pipe : result.returnCodes)
    for (std::int32_t rc : pipe) EXPECT_EQ(rc, 3);
  Strings lines;
  for (const std::string& line : console.Lines()) lines.push_back(test::MaskStamp(line));
  return lines;
}

TEST(CheckDeclaredLimits, ReportsEveryStreamBeyondTheLimitsAndWhereItLeads) {
  TestRun run;
  run.set.pipes.push_back(CPipe{"main", {}});
  StageRef a = run.Add(0, "WIDE", Idle, Declare(0, 0, 0));
  StageRef b = run.Add(1, "SOURCE", Idle, Declare(0, 1, 0));
  StageRef c = run.Add(1, "SOURCE", Idle, Declare(0, 1, 0));
  run.Add(1, "NEEDY", Idle, Declare(1, 1, 1));
  StageRef narrow = run.Add(0, "NARROW", Idle, Declare(2, 1, 0));
  run.builder.Connect(a, 0, narrow, 0);
  run.builder.Connect(b, 0, narrow, 3);  // stream 2, beyond the limit, stays a gap: not invalid
  run.builder.Connect(c, 0, narrow, 4);
  const std::string more(20, ' ');
  EXPECT_EQ(RunChecked(run),
            (Strings{"<stamp>PIPE: Error 1027: Invalid output stream(s): 0, for Pipe(0,main),Stage(0),Type(WIDE).",
                     more + "In this position, Type(WIDE) allows: 0 output stream(s). There are: 1 defined.",
                     more + "Connection(s) to: (Pipe,Stage,Stream): (0,1,0) are invalid!",
                     "<stamp>PIPE: Error 1025: Invalid input stream(s): 3 4, for Pipe(0,main),Stage(1),Type(NARROW).",
                     more + "In this position, Type(NARROW) allows: 2 input stream(s). There are: 5 defined.",
                     more + "Connection(s) from: (Pipe,Stage,Stream): (1,0,0) (1,1,0) are invalid!",
                     "<stamp>PIPE: Error 1024: Pipe(1),Stage(2),Type(NEEDY): The stage requires a primary input stream."}));
}

TEST(CheckDeclaredLimits, LeavesARunThatASetupAlreadyStoppedAlone) {
  TestRun run;
  run.Add(0, "FAILS", Idle, [](CProcess&, CStage&) { return false; });
  run.Add(1, "NEEDY", Idle, Declare(1, 1, 1));
  EXPECT_TRUE(RunChecked(run).empty());
}

// 0 when every code is 0; else the highest return code, or failing that the
// largest code of a stage, negative ones included; beyond 1 to 255, 255.
TEST(ExitStatus, FollowsTheRule) {
  struct Case { std::uint32_t highest; std::vector<std::int32_t> codes; int status; };
  for (const Case& c : {Case{0, {0, 0}, 0}, Case{0, {0, 3}, 3}, Case{3, {0, 0}, 3}, Case{12, {3, 0}, 12},
                        Case{2072, {0, 0}, 255}, Case{0, {-5, 7, 3}, 7}, Case{0, {0, -1}, 255}}) {
    RunResult result;
    result.highestReturnCode = c.highest;
    result.returnCodes.push_back(c.codes);
    EXPECT_EQ(ExitStatus(result), c.status) << c.highest << " " << ::testing::PrintToString(c.codes);
  }
  EXPECT_EQ(FailureExitStatus(0), 255) << "never zero";
  EXPECT_EQ(FailureExitStatus(3), 3);
}

}  // namespace
}  // namespace ductrine

#include "driver/set_from_pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/driver/parse_error_matchers.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

using test::TestRun;
using Strings = std::vector<std::string>;

// Builds the set of a pipeline text that the parser accepts; the build's
// refusal, if any, comes back.
std::optional<ParseError> Build(std::string_view text, CPipeSet& set, std::uint32_t recordLimit = 65536) {
  auto parsed = ParsePipeline(text);
  if (const ParseError* error = std::get_if<ParseError>(&parsed)) {
    ADD_FAILURE() << "refused: " << testing::Describe(error->number, error->args);
    return *error;
  }
  return BuildPipeSet(std::get<ParsedPipeline>(parsed), text, recordLimit, set);
}

CStage& At(CPipeSet& set, std::uint32_t pipe, std::uint32_t stage) { return set.pipes.at(pipe).stages.at(stage); }

TEST(BuildPipeSet, CarriesTypesOperandsNamesSourceLinesRecordLimitAndTracing) {
  const std::string text =
      "(end ? name main trace) literal a b | >> out.txt | tailwrt x | TailWriter y | Console ? literal b|console";
  CPipeSet set;
  ASSERT_FALSE(Build(text, set, 100));
  ASSERT_EQ(set.pipes.size(), 2u);
  Strings types, operands;
  for (std::uint32_t s = 0; s < 5; ++s) {
    CStage& stage = At(set, 0, s);
    types.push_back(stage.typeName);
    operands.push_back(stage.operands);
    EXPECT_EQ(std::tuple(stage.pipeIndex, stage.stageIndex), std::tuple(0u, s));
    ASSERT_LT(stage.typeIndex, set.stageTypes.size());
    // A stop finds console stages by the first name of their type.
    EXPECT_EQ(set.stageTypes[stage.typeIndex].names.front(), stage.typeName);
  }
  EXPECT_EQ(types, (Strings{"LITERAL", "TAILWRITER", "TAILWRITER", "TAILWRITER", "CONSOLE"}));
  EXPECT_EQ(operands, (Strings{"a b", "out.txt", "x", "y", ""}));
  EXPECT_EQ(set.stageTypes[At(set, 0, 1).typeIndex].names, (Strings{"TAILWRITER", ">>", "TAILWRT"}));
  EXPECT_EQ(set.pipes[0].name, "main");
  EXPECT_EQ(set.pipes[1].name, "main");
  EXPECT_EQ(set.sourceLines,
            (Strings{"literal a b | >> out.txt | tailwrt x | TailWriter y | Console", "literal b|console"}));
  EXPECT_EQ(set.traceSource, text);
  EXPECT_EQ(set.recordLimit, 100u);
  std::string label;
  set.PipeLabel(1, label);
  EXPECT_EQ(label, "1,main");
  CPipeSet plain;
  ASSERT_FALSE(Build("(end ?) literal a | console ? literal b", plain));
  for (auto [built, want] : {std::pair{&set, 1}, std::pair{&plain, 0}}) {
    for (CPipe& pipe : built->pipes)
      for (CStage& stage : pipe.stages) EXPECT_EQ(stage.traced, want);
    // Switching tracing on needs the segment, which is the caller's to make.
    EXPECT_FALSE(built->IsTraceOn());
  }
}

// A module command's type follows the driver's types, under its upper-case word.
TEST(BuildPipeSet, GivesAModuleCommandATypeOfItsOwn) {
  const std::string text = "literal a | locate x | Locate y";
  auto parsed = ParsePipeline(text, [](std::string_view word) { return word == "locate" || word == "Locate"; });
  ASSERT_TRUE(std::holds_alternative<ParsedPipeline>(parsed));
  CPipeSet set;
  ASSERT_FALSE(BuildPipeSet(std::get<ParsedPipeline>(parsed), text, 65536, set));
  CStage& first = At(set, 0, 1);
  CStage& second = At(set, 0, 2);
  EXPECT_EQ(first.typeName, "LOCATE");
  EXPECT_EQ(second.typeName, "LOCATE");
  EXPECT_EQ(first.typeIndex, second.typeIndex);
  EXPECT_EQ(first.typeIndex, StageCommands().size());
  EXPECT_EQ(set.stageTypes.at(first.typeIndex).names, Strings{"LOCATE"});
  EXPECT_EQ(second.operands, "y");
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
  ASSERT_FALSE(Build("(end ?) < data.txt | t: >> | console ? < names.txt | t:", set));
  CStage& t = At(set, 0, 1);
  EXPECT_EQ(std::tuple(t.InputCount(), t.OutputCount(), t.inputStreamCount), std::tuple(2u, 1u, 2u));
  EXPECT_EQ(At(set, 1, 0).inputStreamCount, 0u);
  EXPECT_EQ((Strings{Peer(set, t.InputAt(0)), Peer(set, t.InputAt(1)), Peer(set, t.OutputAt(0)),
                     Peer(set, At(set, 1, 0).OutputAt(0)), Peer(set, At(set, 0, 0).OutputAt(0)),
                     Peer(set, At(set, 0, 2).InputAt(0))}),
            (Strings{"0:0,0,0", "1:1,0,0", "0:0,2,0", "0:0,1,1", "0:0,1,0", "0:0,1,0"}));
  // The labelled stage opens its pipe, so its input 0 has no neighbour while
  // the reference in the second pipe is still stream 1.
  CPipeSet gap;
  ASSERT_FALSE(Build("(end ?) in_2: literal x | console ? literal y | in_2:", gap));
  CStage& first = At(gap, 0, 0);
  EXPECT_EQ(std::tuple(first.InputCount(), first.inputStreamCount), std::tuple(2u, 2u));
  EXPECT_EQ((Strings{Peer(gap, first.InputAt(0)), Peer(gap, first.InputAt(1))}), (Strings{"0:gap", "1:1,0,0"}));
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

TEST(CheckDeclaredLimits, NamesTheInputStreamsBeyondTheLimitAndWhereTheyComeFrom) {
  TestRun run;
  run.set.pipes.push_back(CPipe{"main", {}});
  StageRef a = run.Add(0, "SOURCE", Idle, Declare(0, 1, 0));
  StageRef b = run.Add(1, "SOURCE", Idle, Declare(0, 1, 0));
  StageRef c = run.Add(1, "SOURCE", Idle, Declare(0, 1, 0));
  StageRef narrow = run.Add(0, "NARROW", Idle, Declare(2, 1, 0));
  run.builder.Connect(a, 0, narrow, 0);
  run.builder.Connect(b, 0, narrow, 3);  // stream 2, beyond the limit, stays a gap: not invalid
  run.builder.Connect(c, 0, narrow, 4);
  EXPECT_EQ(RunChecked(run),
            (Strings{
                "<stamp>PIPE: Error 1025: Invalid input stream(s): 3 4, for Pipe(0,main),Stage(1),Type(NARROW).",
                "                    In this position, Type(NARROW) allows: 2 input stream(s). There are: 5 defined.",
                "                    Connection(s) from: (Pipe,Stage,Stream): (1,0,0) (1,1,0) are invalid!"}));
}

TEST(CheckDeclaredLimits, ReportsEveryFaultBeforeStopping) {
  TestRun run;
  StageRef wide = run.Add(0, "WIDE", Idle, Declare(0, 0, 0));
  StageRef needy = run.Add(1, "NEEDY", Idle, Declare(1, 1, 1));
  StageRef sink = run.Add(1, "SINK", Idle, Declare(1, 1, 0));
  run.Connect(wide, sink);
  run.Connect(needy, sink);  // sink input 1 beyond its limit of 1 as well
  Strings numbers;
  for (const std::string& line : RunChecked(run))
    if (line.rfind("<stamp>PIPE: Error ", 0) == 0) numbers.push_back(line.substr(19, 4));
  EXPECT_EQ(numbers, (Strings{"1027", "1024", "1025"}));
}

TEST(CheckDeclaredLimits, LeavesARunThatASetupAlreadyStoppedAlone) {
  TestRun run;
  run.Add(0, "FAILS", Idle, [](CProcess&, CStage&) { return false; });
  run.Add(1, "NEEDY", Idle, Declare(1, 1, 1));
  EXPECT_TRUE(RunChecked(run).empty());
}

// ---------------------------------------------------------------------------
// Exit status.

TEST(ExitStatus, FollowsTheRule) {
  struct Case { std::uint32_t highest; std::vector<std::int32_t> codes; int status; };
  const Case cases[] = {
      {0, {0, 0}, 0},
      {0, {0, 3}, 3},       // a stage failed without a message
      {3, {0, 0}, 3},       // a stop after an error
      {12, {3, 0}, 12},     // the highest return code comes first
      {2072, {0, 0}, 255},  // message numbers do not fit
      {0, {-5, 7}, 7},      // the largest code, not the first or the last
      {0, {7, -5}, 7},
      {0, {0, -1}, 255},    // a negative code is still a failure
  };
  for (const Case& c : cases) {
    RunResult result;
    result.highestReturnCode = c.highest;
    result.returnCodes.push_back(c.codes);
    EXPECT_EQ(ExitStatus(result), c.status) << c.highest << " " << ::testing::PrintToString(c.codes);
  }
  EXPECT_EQ(FailureExitStatus(0), 255) << "never zero";
  EXPECT_EQ(FailureExitStatus(1007), 255);
  EXPECT_EQ(FailureExitStatus(3), 3);
}

}  // namespace
}  // namespace ductrine

#include "driver/set_from_pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/parse_error_matchers.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

using ::ductrine::testing::SameError;
using test::ConsoleCapture;
using test::TestRun;

// The set built from a pipeline text that the parser accepts.
class BuiltSet {
 public:
  explicit BuiltSet(std::string_view text, std::uint32_t recordLimit = 65536) {
    auto parsed = ParsePipeline(text);
    if (const ParseError* error = std::get_if<ParseError>(&parsed)) {
      ADD_FAILURE() << "refused: " << testing::Describe(error->number, error->args);
      return;
    }
    std::optional<ParseError> error = BuildPipeSet(std::get<ParsedPipeline>(parsed), text, recordLimit, set);
    if (error) ADD_FAILURE() << "not built: " << testing::Describe(error->number, error->args);
  }
  CStage& At(std::uint32_t pipe, std::uint32_t stage) { return set.pipes.at(pipe).stages.at(stage); }

  CPipeSet set;
};

std::vector<std::string> TypeNames(CPipeSet& set) {
  std::vector<std::string> names;
  for (CPipe& pipe : set.pipes)
    for (CStage& stage : pipe.stages) names.push_back(stage.typeName);
  return names;
}

TEST(BuildPipeSet, GivesEveryAliasItsCanonicalTypeAndKeepsTheOperands) {
  BuiltSet built("literal a b | >> out.txt | tailwrt x | TailWriter y | Console");
  EXPECT_EQ(TypeNames(built.set),
            (std::vector<std::string>{"LITERAL", "TAILWRITER", "TAILWRITER", "TAILWRITER", "CONSOLE"}));
  for (CStage& stage : built.set.pipes[0].stages) {
    ASSERT_LT(stage.typeIndex, built.set.stageTypes.size());
    // A stop finds console stages by the first name of their type.
    EXPECT_EQ(built.set.stageTypes[stage.typeIndex].names.front(), stage.typeName);
  }
  EXPECT_EQ(built.set.stageTypes[built.At(0, 1).typeIndex].names,
            (std::vector<std::string>{"TAILWRITER", ">>", "TAILWRT"}));
  EXPECT_EQ(built.At(0, 0).operands, "a b");
  EXPECT_EQ(built.At(0, 1).operands, "out.txt");
  EXPECT_EQ(built.At(0, 4).operands, "");
  for (std::uint32_t s = 0; s < 5; ++s) {
    EXPECT_EQ(built.At(0, s).pipeIndex, 0u);
    EXPECT_EQ(built.At(0, s).stageIndex, s);
  }
}

TEST(BuildPipeSet, CarriesNameSourceLinesTraceSourceAndRecordLimit) {
  const std::string text = "(end ? name main) literal a | console ? literal b|console";
  BuiltSet built(text, 100);
  ASSERT_EQ(built.set.pipes.size(), 2u);
  EXPECT_EQ(built.set.pipes[0].name, "main");
  EXPECT_EQ(built.set.pipes[1].name, "main");
  EXPECT_EQ(built.set.sourceLines,
            (std::vector<std::string>{"literal a | console", "literal b|console"}));
  EXPECT_EQ(built.set.traceSource, text);
  EXPECT_EQ(built.set.recordLimit, 100u);
  std::string label;
  built.set.PipeLabel(1, label);
  EXPECT_EQ(label, "1,main");
}

TEST(BuildPipeSet, ConnectsLabelReferencesWithTheirStreamNumbersAtBothEnds) {
  BuiltSet built("(end ?) < data.txt | t: >> | console ? < names.txt | t:");
  CStage& t = built.At(0, 1);
  ASSERT_EQ(t.InputCount(), 2u);
  ASSERT_EQ(t.OutputCount(), 1u);
  EXPECT_EQ(t.inputStreamCount, 2u);
  struct Want {
    const CStreamLink* link;
    std::int32_t streamNo;
    std::uint32_t pipe, stage, stream;
  };
  const Want wants[] = {
      {t.InputAt(0), 0, 0, 0, 0},
      {t.InputAt(1), 1, 1, 0, 0},
      {t.OutputAt(0), 0, 0, 2, 0},
      {built.At(1, 0).OutputAt(0), 0, 0, 1, 1},
      {built.At(0, 0).OutputAt(0), 0, 0, 1, 0},
      {built.At(0, 2).InputAt(0), 0, 0, 1, 0},
  };
  for (const Want& w : wants) {
    ASSERT_NE(w.link, nullptr);
    EXPECT_TRUE(w.link->IsConnected());
    EXPECT_EQ(w.link->streamNo, w.streamNo);
    EXPECT_EQ(w.link->peerPipe, w.pipe);
    EXPECT_EQ(w.link->peerStage, w.stage);
    EXPECT_EQ(w.link->peerStream, w.stream);
  }
  EXPECT_EQ(built.At(1, 0).inputStreamCount, 0u);
}

TEST(BuildPipeSet, AStreamWithoutANeighbourLeadsNowhere) {
  // The labelled stage opens its pipe, so its input 0 has no neighbour while
  // the reference in the second pipe connects input 1.
  BuiltSet built("(end ?) t: literal x | console ? literal y | t:");
  CStage& t = built.At(0, 0);
  ASSERT_EQ(t.InputCount(), 2u);
  EXPECT_EQ(t.inputStreamCount, 2u);
  EXPECT_FALSE(t.InputAt(0)->IsConnected());
  EXPECT_EQ(t.InputAt(0)->streamNo, 0);
  // Ending the stage severs the peers of its streams: a gap must name no
  // stage at all, or the end would sever someone else's stream.
  EXPECT_EQ(built.set.FindStage(t.InputAt(0)->peerPipe, t.InputAt(0)->peerStage), nullptr);
  EXPECT_TRUE(t.InputAt(1)->IsConnected());
  EXPECT_EQ(t.InputAt(1)->peerPipe, 1u);
}

TEST(BuildPipeSet, MarksEveryStageTracedOnlyWithTheTraceOption) {
  BuiltSet traced("(end ? trace) literal a | console ? literal b");
  BuiltSet plain("(end ?) literal a | console ? literal b");
  for (auto [set, want] : {std::pair{&traced.set, 1}, std::pair{&plain.set, 0}}) {
    for (CPipe& pipe : set->pipes)
      for (CStage& stage : pipe.stages) EXPECT_EQ(stage.traced, want);
    // Switching tracing on needs the segment, which is the caller's to make.
    EXPECT_FALSE(set->IsTraceOn());
  }
}

TEST(BuildPipeSet, RefusesAStageConnectedToItself) {
  for (const char* text : {"t: literal x | t:", "(end ?) literal a | t: console ? t: | t:"}) {
    auto parsed = ParsePipeline(text);
    ASSERT_TRUE(std::holds_alternative<ParsedPipeline>(parsed)) << text;
    CPipeSet set;
    std::optional<ParseError> error = BuildPipeSet(std::get<ParsedPipeline>(parsed), text, 65536, set);
    ASSERT_TRUE(error.has_value()) << text;
    EXPECT_TRUE(SameError(*error, 1011, {"t:", "a connection to another stage"})) << text;
  }
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

test::RunFn Idle() {
  return [](CProcess&, CPipeSet&) { return 0; };
}

struct CheckedRun {
  RunResult result;
  std::vector<std::string> lines;
};

CheckedRun RunChecked(TestRun& run) {
  ConsoleCapture console;
  CheckedRun out;
  out.result = run.Run([](CPipeSet& set) { CheckDeclaredLimits(set); });
  for (const std::string& line : console.Lines()) out.lines.push_back(test::MaskStamp(line));
  return out;
}

void ExpectEveryStageReturned(const RunResult& result, std::int32_t code) {
  for (const auto& pipe : result.returnCodes)
    for (std::int32_t rc : pipe) EXPECT_EQ(rc, code);
}

TEST(CheckDeclaredLimits, AStageWithoutItsRequiredPrimaryInputStopsTheRun) {
  TestRun run;
  StageRef needy = run.Add(0, "NEEDY", Idle(), Declare(2, 1, 1));
  StageRef sink = run.Add(0, "SINK", Idle(), Declare(1, 1, 0));
  run.Connect(needy, sink);
  CheckedRun out = RunChecked(run);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "<stamp>PIPE: Error 1024: Pipe(0),Stage(0),Type(NEEDY): The stage requires "
                           "a primary input stream."}));
  ExpectEveryStageReturned(out.result, 3);
  EXPECT_EQ(out.result.highestReturnCode, 1024u);
}

TEST(CheckDeclaredLimits, NamesTheInputStreamsBeyondTheLimitAndWhereTheyComeFrom) {
  TestRun run;
  run.set.pipes.push_back(CPipe{"main", {}});
  StageRef a = run.Add(0, "SOURCE", Idle(), Declare(0, 1, 0));
  StageRef b = run.Add(1, "SOURCE", Idle(), Declare(0, 1, 0));
  StageRef c = run.Add(1, "SOURCE", Idle(), Declare(0, 1, 0));
  StageRef narrow = run.Add(0, "NARROW", Idle(), Declare(2, 1, 0));
  run.builder.Connect(a, 0, narrow, 0);
  run.builder.Connect(b, 0, narrow, 2);  // stream 1 stays a gap: not connected, not invalid
  run.builder.Connect(c, 0, narrow, 3);
  CheckedRun out = RunChecked(run);
  EXPECT_EQ(out.lines,
            (std::vector<std::string>{
                "<stamp>PIPE: Error 1025: Invalid input stream(s): 2 3, for Pipe(0,main),Stage(1),Type(NARROW).",
                "                    In this position, Type(NARROW) allows: 2 input stream(s). There are: 4 defined.",
                "                    Connection(s) from: (Pipe,Stage,Stream): (1,0,0) (1,1,0) are invalid!"}));
  ExpectEveryStageReturned(out.result, 3);
}

TEST(CheckDeclaredLimits, ReportsEveryFaultBeforeStopping) {
  TestRun run;
  StageRef wide = run.Add(0, "WIDE", Idle(), Declare(0, 0, 0));
  StageRef needy = run.Add(1, "NEEDY", Idle(), Declare(1, 1, 1));
  StageRef sink = run.Add(1, "SINK", Idle(), Declare(1, 1, 0));
  run.Connect(wide, sink);
  run.Connect(needy, sink);  // sink input 1 beyond its limit of 1 as well
  CheckedRun out = RunChecked(run);
  std::vector<std::string> numbers;
  for (const std::string& line : out.lines)
    if (line.rfind("<stamp>PIPE: Error ", 0) == 0) numbers.push_back(line.substr(19, 4));
  EXPECT_EQ(numbers, (std::vector<std::string>{"1027", "1024", "1025"}));
}

TEST(CheckDeclaredLimits, LeavesARunThatASetupAlreadyStoppedAlone) {
  TestRun run;
  run.Add(0, "FAILS", Idle(), [](CProcess&, CStage&) { return false; });
  run.Add(1, "NEEDY", Idle(), Declare(1, 1, 1));
  CheckedRun out = RunChecked(run);
  EXPECT_TRUE(out.lines.empty());
  ExpectEveryStageReturned(out.result, 3);
}

// ---------------------------------------------------------------------------
// Exit status.

struct StatusCase {
  std::uint32_t highest;
  std::vector<std::int32_t> codes;
  int status;
};

class ExitStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatusTest, FollowsTheRule) {
  RunResult result;
  result.highestReturnCode = GetParam().highest;
  result.returnCodes.push_back(GetParam().codes);
  EXPECT_EQ(ExitStatus(result), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ExitStatusTest,
    ::testing::Values(StatusCase{0, {0, 0}, 0},
                      StatusCase{0, {0, 3}, 3},           // a stage failed without a message
                      StatusCase{3, {0, 0}, 3},           // a stop after an error
                      StatusCase{12, {3, 0}, 12},         // the highest return code comes first
                      StatusCase{2072, {0, 0}, 255},      // message numbers do not fit
                      StatusCase{0, {0, 300}, 255},
                      StatusCase{0, {-5, 7}, 7},
                      StatusCase{0, {0, -1}, 255},        // a negative code is still a failure
                      StatusCase{0, {-2147483647 - 1}, 255}));

TEST(FailureExitStatus, NeverGivesZero) {
  EXPECT_EQ(FailureExitStatus(0), 255);
  EXPECT_EQ(FailureExitStatus(1007), 255);
  EXPECT_EQ(FailureExitStatus(3), 3);
}

}  // namespace
}  // namespace ductrine

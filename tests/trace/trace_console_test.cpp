// The trace console over real traced pipelines run by the run engine: the
// dialogue, the run count, the record dumps and the TRACE segment they
// leave behind. Raised trace events stay raised, so each test gets a console
// of its own (and, under CTest, a process of its own).

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/trace/trace_fixture.h"
#include "trace/help_text.h"
#include "trace/trace_command.h"

namespace ductrine::test {
namespace {

class TraceConsole : public ::testing::Test {
 protected:
  void SetUp() override { UseFreshConsole(); }
  void TearDown() override { platform::SetConsoleIdentityForTesting(-1); }
};

TEST_F(TraceConsole, PromptsFirstAndHoldsTheWriteUntilAnswered) {
  TraceSegment segment;
  TracedPipe pipe({"hello"}, segment);
  std::atomic<int> deliveredAtPrompt{-1};
  ScriptedConsole console({""}, [&] { deliveredAtPrompt = static_cast<int>(pipe.collected.size()); });
  ConsoleCapture capture;

  RunResult result = pipe.Run();

  EXPECT_EQ(capture.Text(),
            "trace ?: \n"
            "0000000001 Pipe:(0),Stage:(0),Type:(PRODUCER): Write Record: 1, Stream: 0, Length: 5 bytes.\n"
            "Data: >hello<\n"
            "      >| - - - + \n"
            "       h e l l o \n"
            "       68656C6C6F\n"
            "\n");
  EXPECT_EQ(deliveredAtPrompt, 0) << "the consumer saw the record before the user answered";
  EXPECT_EQ(pipe.collected, std::vector<std::string>{"hello"});
  EXPECT_EQ(segment.Counts(), "0;1;");
  EXPECT_EQ(result.highestReturnCode, 0u);
  EXPECT_TRUE(ConsoleLockCanBeTaken());
}

// A command typed at the first prompt, and how many requests then run
// before the next prompt (this one included).
struct RunCase {
  const char* command;
  int runs;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << '"' << c.command << '"'; }

class TraceRunCount : public TraceConsole, public ::testing::WithParamInterface<RunCase> {};

TEST_P(TraceRunCount, RunsThatManyRequestsDumpedThenPromptsAgain) {
  const int runs = GetParam().runs;
  TraceSegment segment;
  std::vector<std::string> records;
  for (int i = 1; i <= runs + 1; ++i) records.push_back("rec" + std::to_string(i));

  TestRun run;
  std::vector<std::string> seen;  // the segment as each record reached the consumer
  StageRef producer = run.Add(0, "PRODUCER", Producer(records));
  StageRef collector = run.Add(0, "COLLECTOR", [&](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      seen.push_back(segment.Counts());
      set.ConsumeRecord(self, 0);
    }
    return 0;
  });
  run.Connect(producer, collector);
  run.Stage(producer).traced = 1;
  TraceThrough(run.set, segment);
  ScriptedConsole console({GetParam().command});
  ConsoleCapture capture;

  run.Run();

  std::string expected = kPromptSeen;
  std::vector<std::string> expectedSeen;
  for (int k = 1; k <= runs; ++k) {
    expected += WriteDump(k, k, records[k - 1]);
    expectedSeen.push_back(std::to_string(runs - k) + ";" + std::to_string(k) + ";");
  }
  expected += kPromptSeen + WriteDump(runs + 1, runs + 1, records[runs]);
  expectedSeen.push_back("0;" + std::to_string(runs + 1) + ";");
  EXPECT_EQ(capture.Text(), expected);
  EXPECT_EQ(seen, expectedSeen);
  EXPECT_EQ(console.reads(), 2);
}

INSTANTIATE_TEST_SUITE_P(Commands, TraceRunCount,
                         ::testing::Values(RunCase{"Run 3", 3}, RunCase{"Run 7x", 7},
                                           RunCase{"rUn 2", 2}, RunCase{"Run 1", 1},
                                           RunCase{"Run", 1}, RunCase{"   \t ", 1}));

TEST_F(TraceConsole, RunStarNeverPromptsAgainWhileTheSegmentKeepsIt) {
  TraceSegment segment;
  TracedPipe first({"a", "b", "c"}, segment);
  ScriptedConsole console({"Run *"});
  ConsoleCapture capture;
  first.Run();
  EXPECT_EQ(capture.Text(), kPromptSeen + WriteDump(1, 1, "a") + WriteDump(2, 2, "b") +
                                WriteDump(3, 3, "c"));
  EXPECT_EQ(segment.Counts(), "-1;3;");

  // A later pipeline set on the same segment carries the run on.
  TracedPipe second({"d", "e"}, segment);
  second.Run();
  EXPECT_EQ(capture.Text(), kPromptSeen + WriteDump(1, 1, "a") + WriteDump(2, 2, "b") +
                                WriteDump(3, 3, "c") + WriteDump(4, 1, "d") +
                                WriteDump(5, 2, "e"));
  EXPECT_EQ(console.reads(), 1);
  EXPECT_EQ(segment.Counts(), "-1;5;");
}

TEST_F(TraceConsole, BothStagesTracedShowWriteThenPeekOfEachRecord) {
  TraceSegment segment;
  TestRun run;
  std::vector<std::string> collected;
  run.builder.AddPipe("main");
  StageRef producer = run.Add(0, "PRODUCER", Producer({"x%sy", ""}));
  StageRef collector = run.Add(0, "COLLECTOR", Collector(&collected));
  run.Connect(producer, collector);
  run.Stage(producer).traced = 1;
  run.Stage(collector).traced = 1;
  TraceThrough(run.set, segment);
  segment.Store("-1;40;");
  ScriptedConsole console({});
  ConsoleCapture capture;

  run.Run();

  auto write = [](std::int32_t request, long record, const std::string& data) {
    return RecordDumpScreenText(
        BuildRecordDump(request, "0,main", 0, "PRODUCER", kTraceWrite, record, 0, data));
  };
  EXPECT_EQ(capture.Text(), write(41, 1, "x%sy") + PeekDump(42, 1, "x%sy", "0,main") +
                                write(43, 2, "") + PeekDump(44, 2, "", "0,main"));
  EXPECT_EQ(console.reads(), 0);
  EXPECT_EQ(collected, (std::vector<std::string>{"x%sy", ""}));
}

struct RefusalCase {
  const char* command;
  bool countSentence;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << '"' << c.command << '"'; }

class TraceRefusal : public TraceConsole, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(TraceRefusal, ReportsAndPromptsAgainForTheSameRequest) {
  TraceSegment segment;
  TracedPipe pipe({"only"}, segment);
  ScriptedConsole console({GetParam().command});
  ConsoleCapture capture;

  RunResult result = pipe.Run();

  std::string explanation = GetParam().countSentence ? CountRangeSentence() : "";
  EXPECT_EQ(MaskStamps(capture.Text()), kPromptSeen + Refusal(GetParam().command, explanation) +
                                            kPromptSeen + WriteDump(1, 1, "only"));
  EXPECT_EQ(segment.Counts(), "0;1;");  // raised once for two prompts
  EXPECT_EQ(result.highestReturnCode, 0u);
  EXPECT_TRUE(pipe.run.set.IsTraceOn());
  EXPECT_TRUE(ConsoleLockCanBeTaken());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TraceRefusal,
    ::testing::Values(RefusalCase{"Run 0", true}, RefusalCase{"Run abc", true},
                      RefusalCase{"Run 99999999999", true}, RefusalCase{"Run 3 4", false},
                      RefusalCase{"help me", false}, RefusalCase{"  RU", false}));

TEST_F(TraceConsole, HelpAndSourcePromptAgainWithTheRequestNumberRaisedOnce) {
  TraceSegment segment;
  segment.Store("0;6;");
  TracedPipe pipe({"r"}, segment);
  pipe.run.set.traceSource = "take 50% of it";
  pipe.run.set.sourceLines = {"PIPE < in.txt", "| 100%s sure"};
  ScriptedConsole console({"HeLP", "SouRCe", "h", "src", ""});
  ConsoleCapture capture;

  pipe.Run();

  std::string help =
      "Ductrine v2.0, tracing source: take 50% of it\n\nUsage:\n\n"
      "  <enter>       - run the next input/output record request.\n"
      "  End           - stop tracing and quiesce the pipeline.\n"
      "  HeLP          - display this help list.\n"
      "  Off           - stop tracing and allow the pipeline to run to completion.\n"
      "  SouRCe        - display the source pipeline.\n"
      "  Run <count|*> - run <count> number or all of the next input/output record requests.\n"
      "\n";
  std::string listing = "> PIPE < in.txt\n> | 100%s sure\n\n\n";
  EXPECT_EQ(capture.Text(), kPromptSeen + help + kPromptSeen + listing + kPromptSeen + help +
                                kPromptSeen + listing + kPromptSeen + WriteDump(7, 1, "r"));
  EXPECT_EQ(segment.Counts(), "0;7;");
  EXPECT_TRUE(ConsoleLockCanBeTaken());
}

TEST_F(TraceConsole, AFiveThousandCharacterLineIsCutNotOverrun) {
  TraceSegment segment;
  TracedPipe pipe({"r"}, segment);
  ScriptedConsole console({std::string(5000, 'x')});
  ConsoleCapture capture;

  pipe.Run();

  EXPECT_EQ(MaskStamps(capture.Text()), kPromptSeen +
                                            Refusal(std::string(kCommandLineCapacity, 'x'), "") +
                                            kPromptSeen + WriteDump(1, 1, "r"));
}

TEST_F(TraceConsole, WhatFollowsTheFirst999CharactersIsNeverSeen) {
  TraceSegment segment;
  TracedPipe pipe({"a", "b", "c"}, segment);
  // Cut at 999 characters this is "Run 2" and blanks; whole it would be refused.
  std::string line = "Run 2" + std::string(994, ' ');
  line += std::string(5000 - line.size(), 'z');
  ScriptedConsole console({line});
  ConsoleCapture capture;

  pipe.Run();

  EXPECT_EQ(capture.Text(), kPromptSeen + WriteDump(1, 1, "a") + WriteDump(2, 2, "b") +
                                kPromptSeen + WriteDump(3, 3, "c"));
}

TEST_F(TraceConsole, AnUntracedStageNeitherShowsNorCountsNorUsesTheRunCount) {
  TraceSegment segment("1;9;");
  TracedPipe pipe({"a", "b", "c"}, segment, /*traceProducer=*/false, /*traceCollector=*/true);
  ScriptedConsole console({});
  ConsoleCapture capture;

  pipe.Run();

  EXPECT_EQ(capture.Text(), PeekDump(10, 1, "a") + kPromptSeen + PeekDump(11, 2, "b") +
                                kPromptSeen + PeekDump(12, 3, "c"));
  EXPECT_EQ(segment.Counts(), "0;12;");
}

TEST_F(TraceConsole, NoTracedStageLeavesConsoleAndSegmentAlone) {
  TraceSegment segment("0;9;");
  TracedPipe pipe({"a", "b"}, segment, false, false);
  ScriptedConsole console({"End"});
  ConsoleCapture capture;

  pipe.Run();

  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(console.reads(), 0);
  EXPECT_EQ(segment.Counts(), "0;9;");
  EXPECT_EQ(pipe.collected, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(pipe.run.set.IsTraceOn());
}

TEST_F(TraceConsole, RequestNumberStartsAgainAtOneInsteadOfOverflowing) {
  TraceSegment segment("0;2147483647;");
  TracedPipe pipe({"r"}, segment);
  ScriptedConsole console({});
  ConsoleCapture capture;

  pipe.Run();

  EXPECT_EQ(capture.Text(), kPromptSeen + WriteDump(1, 1, "r"));
  EXPECT_EQ(segment.Counts(), "0;1;");
}

TEST_F(TraceConsole, OffRunsOnUntracedAndSwitchesOffTheNextSetWhereItWouldPrompt) {
  TraceSegment segment("0;4;");
  TracedPipe first({"a", "b", "c"}, segment);
  ScriptedConsole console({"OFF"});
  ConsoleCapture capture;

  RunResult result = first.Run();

  EXPECT_EQ(capture.Text(), kPromptSeen);  // no dump, then no more prompts
  EXPECT_EQ(first.collected, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(segment.Counts(), "0;4;");
  EXPECT_FALSE(first.run.set.IsTraceOn());
  EXPECT_FALSE(first.run.set.stopping);
  EXPECT_EQ(result.highestReturnCode, 0u);
  EXPECT_TRUE(ConsoleLockCanBeTaken());

  // A second set on the same console: a run count given earlier is not cut
  // short; where the next prompt would come, tracing goes off instead.
  segment.Store("2;10;");
  TracedPipe second({"d", "e", "f", "g"}, segment);
  second.Run();

  EXPECT_EQ(capture.Text(), kPromptSeen + WriteDump(11, 1, "d") + WriteDump(12, 2, "e"));
  EXPECT_EQ(second.collected, (std::vector<std::string>{"d", "e", "f", "g"}));
  EXPECT_EQ(console.reads(), 1);
  EXPECT_FALSE(second.run.set.IsTraceOn());
  EXPECT_EQ(segment.Counts(), "0;12;");
}

TEST_F(TraceConsole, EndStopsThisSetAndTheNextAtItsFirstTracePoint) {
  TraceSegment segment("0;4;");
  TracedPipe first({"a", "b", "c"}, segment);
  ScriptedConsole console({"eNd"});
  ConsoleCapture capture;

  RunResult result = first.Run();

  EXPECT_EQ(capture.Text(), kPromptSeen);
  EXPECT_TRUE(first.collected.empty());
  EXPECT_EQ(segment.Counts(), "0;4;");
  EXPECT_TRUE(first.run.set.stopping);
  EXPECT_FALSE(first.run.set.IsTraceOn());
  EXPECT_EQ(result.highestReturnCode, 0u);  // a stop without error
  EXPECT_TRUE(ConsoleLockCanBeTaken());

  // Even a set that would never prompt is stopped by the end event.
  segment.Store("-1;20;");
  TracedPipe second({"d", "e"}, segment);
  RunResult secondResult = second.Run();

  EXPECT_EQ(capture.Text(), kPromptSeen);
  EXPECT_TRUE(second.collected.empty());
  EXPECT_TRUE(second.run.set.stopping);
  EXPECT_EQ(secondResult.highestReturnCode, 0u);
  EXPECT_EQ(segment.Counts(), "-1;20;");
  EXPECT_EQ(console.reads(), 1);
}

TEST_F(TraceConsole, AnUnreadableSegmentStopsTheRunWithAnError) {
  TraceSegment segment;
  TracedPipe pipe({"a", "b"}, segment);
  pipe.run.set.traceSegmentName = UniqueTraceName("ductrine-no-such-segment");
  ScriptedConsole console({});
  ConsoleCapture capture;

  RunResult result = pipe.Run();

  EXPECT_EQ(MaskStamps(capture.Text()), "<stamp>PIPE: Error 1031: Cannot read from TRACE shared segment: " +
                                            pipe.run.set.traceSegmentName + ".\n");
  EXPECT_EQ(console.reads(), 0);
  EXPECT_TRUE(pipe.collected.empty());
  EXPECT_TRUE(pipe.run.set.stopping);
  EXPECT_FALSE(pipe.run.set.IsTraceOn());
  EXPECT_EQ(result.highestReturnCode, 1031u);
  EXPECT_EQ(pipe.run.set.traceSegmentReader, nullptr);
  EXPECT_TRUE(ConsoleLockCanBeTaken());
}

// The segment reads fine by name, but the driver's handle cannot be mapped.
struct WriteFailureCase {
  const char* command;
  bool dumpShown;
};

void PrintTo(const WriteFailureCase& c, std::ostream* os) { *os << '"' << c.command << '"'; }

class TraceWriteFailure : public TraceConsole,
                          public ::testing::WithParamInterface<WriteFailureCase> {};

TEST_P(TraceWriteFailure, StopsTheRunWithAnError) {
  TraceSegment segment;
  TraceSegment tooSmall("0;0;", 16);
  TracedPipe pipe({"a", "b"}, segment);
  pipe.run.set.traceSegment = tooSmall.handle();
  ScriptedConsole console({GetParam().command});
  ConsoleCapture capture;

  RunResult result = pipe.Run();

  std::string expected = kPromptSeen;
  if (GetParam().dumpShown) expected += WriteDump(1, 1, "a");
  expected += "<stamp>PIPE: Error 1031: Cannot write to TRACE shared segment: " + segment.name() +
              ".\n";
  EXPECT_EQ(MaskStamps(capture.Text()), expected);
  EXPECT_TRUE(pipe.collected.empty());
  EXPECT_TRUE(pipe.run.set.stopping);
  EXPECT_EQ(result.highestReturnCode, 1031u);
  EXPECT_EQ(segment.Counts(), "0;0;");
  EXPECT_TRUE(ConsoleLockCanBeTaken());
}

INSTANTIATE_TEST_SUITE_P(Commands, TraceWriteFailure,
                         ::testing::Values(WriteFailureCase{"", true},
                                           WriteFailureCase{"Run 3", false}));

// A stage that already holds the console lock makes a traced request: after
// the request it must still hold the lock exactly once, whatever path the
// request took. Releasing too often lets another thread in early; too
// rarely keeps it out after the stage lets go.
struct LockCase {
  const char* name;
  std::vector<std::string> script;
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class TraceLockBalance : public TraceConsole, public ::testing::WithParamInterface<LockCase> {};

TEST_P(TraceLockBalance, EveryPathGivesTheLockBackOnce) {
  TraceSegment segment;
  TestRun run;
  std::vector<std::string> collected;
  std::atomic<bool> takenWhileHeld{true};
  std::atomic<bool> takenAfterwards{false};
  StageRef producer = run.Add(0, "PRODUCER", [&](CProcess& self, CPipeSet& set) {
    platform::Handle mutex = platform::NamedMutex::OpenOrCreate(ConsoleMutexName());
    platform::NamedMutex::Acquire(mutex);
    set.WriteRecord(self, 0, "r");
    takenWhileHeld = ConsoleLockCanBeTaken(std::chrono::milliseconds(150));
    platform::NamedMutex::Release(mutex);
    platform::CloseObject(mutex);
    takenAfterwards = ConsoleLockCanBeTaken();
    return 0;
  });
  StageRef collector = run.Add(0, "COLLECTOR", Collector(&collected));
  run.Connect(producer, collector);
  run.Stage(producer).traced = 1;
  TraceThrough(run.set, segment);
  ScriptedConsole console(GetParam().script);
  ConsoleCapture capture;

  run.Run();

  EXPECT_FALSE(takenWhileHeld) << "the request gave the lock back more often than it took it";
  EXPECT_TRUE(takenAfterwards) << "the request kept the lock";
  EXPECT_GE(console.reads(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TraceLockBalance,
    ::testing::Values(LockCase{"Enter", {""}}, LockCase{"Run", {"Run 2"}},
                      LockCase{"RunStar", {"Run *"}}, LockCase{"HelpThenEnter", {"HeLP", ""}},
                      LockCase{"SourceThenEnter", {"s", ""}},
                      LockCase{"RefusedThenEnter", {"EN", ""}}, LockCase{"Off", {"Off"}},
                      LockCase{"End", {"End"}}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ductrine::test

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

TEST(StartHandshake, FailedSetupAbortsEveryStageWithoutRunning) {
  TestRun run;
  std::atomic<int> runs{0};
  auto counting = [&](CProcess&, CPipeSet&) {
    ++runs;
    return 0;
  };
  run.Add(0, "A", counting, [](CProcess&, CStage&) { return false; });
  run.Add(1, "B", counting);
  bool checked = false;
  RunResult result = run.Run([&](CPipeSet& set) {
    // Every ready event is set before this check: setups are all done.
    checked = true;
    EXPECT_EQ(set.abortRun, 1);
    EXPECT_EQ(set.pipes[0].stages[0].started, 0);
    EXPECT_EQ(runs.load(), 0);
  });
  EXPECT_TRUE(checked);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(result.Code(0, 0), 3);
  EXPECT_EQ(result.Code(1, 0), 3);
  EXPECT_EQ(run.set.pipes[1].stages[0].started, 0);
}

TEST(StartHandshake, AbortRaisedByTheDriverBeforeTheStart) {
  TestRun run;
  std::atomic<int> runs{0};
  run.Add(0, "A", [&](CProcess&, CPipeSet&) {
    ++runs;
    return 0;
  });
  RunResult result = run.Run([](CPipeSet& set) { set.abortRun = 1; });
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(result.Code(0, 0), 3);
}

TEST(StartHandshake, StartedOnlyAfterTheStartEventAndRunCodeReturned) {
  TestRun run;
  bool startedDuringSetup = true;
  run.Add(
      0, "A",
      [](CProcess& self, CPipeSet& set) {
        EXPECT_EQ(set.FindStage(self)->started, 1);
        return 17;
      },
      [&](CProcess&, CStage& stage) {
        startedDuringSetup = stage.started != 0;
        return true;
      });
  RunResult result = run.Run([](CPipeSet& set) { EXPECT_EQ(set.pipes[0].stages[0].started, 0); });
  EXPECT_FALSE(startedDuringSetup);
  EXPECT_EQ(result.Code(0, 0), 17);
}

TEST(StartHandshake, StartEventAlreadySignalledReturnsAtOnce) {
  CPipeSet set;
  SetBuilder builder(set);
  builder.AddStage(0, "A");
  CStage& stage = set.pipes[0].stages[0];
  stage.readyEventName = "hs-ready";
  stage.startEventName = "hs-start";
  platform::Handle start = platform::NamedEvent::OpenOrCreate("hs-start", true, true);
  platform::Handle ready = platform::NamedEvent::OpenOrCreate("hs-ready", true, false);
  CStageCall call{1, &set, 0, 0};
  EXPECT_TRUE(set.StartHandshake(&call));
  EXPECT_EQ(stage.started, 1);
  platform::NamedEvent::Wait(ready);  // the ready event was set
  platform::CloseObject(start);
  platform::CloseObject(ready);
}

TEST(BeginStage, ExceptionInRunBecomesMessage2999AndReturnCode3) {
  ConsoleCapture console;
  TestRun run;
  run.Add(0, "THROWS", [](CProcess&, CPipeSet&) -> std::int32_t {
    throw std::runtime_error("disk on fire");
  });
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 3);
  EXPECT_EQ(result.highestReturnCode, 2999u);
  EXPECT_EQ(console.Lines().size(), 1u);
  EXPECT_EQ(MaskStamp(console.Lines().at(0)),
            "<stamp>PIPE: Pipe(0),Stage(0),Type(THROWS): 2999RE: disk on fire");
}

TEST(BeginStage, ExceptionInSetupStillReleasesTheDriver) {
  ConsoleCapture console;
  TestRun run;
  std::atomic<int> runs{0};
  run.Add(0, "SETUPTHROWS", [](CProcess&, CPipeSet&) { return 0; },
          [](CProcess&, CStage&) -> bool { throw std::logic_error("bad operand"); });
  run.Add(1, "OTHER", [&](CProcess&, CPipeSet&) {
    ++runs;
    return 0;
  });
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 3);
  EXPECT_EQ(result.Code(1, 0), 3);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(MaskStamp(console.Lines().at(0)),
            "<stamp>PIPE: Pipe(0),Stage(0),Type(SETUPTHROWS): 2999IE: bad operand");
}

TEST(RunEngine, TerminatedStageCountsAsReturningZeroAndSeversItsStreams) {
  TestRun run;
  std::vector<std::string> seen;
  BlockingPipe input;
  StageRef reader = run.Add(0, "CONSOLE", [&](CProcess&, CPipeSet&) {
    platform::CancellableRegion endable;
    while (input.Read()) {
    }
    return 9;  // never reached: the stage is ended inside the read
  });
  // The partner ends the reader: a stage runs after the start event, so it
  // sees the thread handles the engine filled in before.
  StageRef collector = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
    EXPECT_TRUE(platform::TerminateThreadAt(set.pipes[0].stages[0].threadHandle));
    return Collector(&seen)(self, set);
  });
  run.Connect(reader, collector);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(run.set.pipes[0].stages[0].state, kStateComplete);
}

TEST(RunEngine, ModuleLoadedAtRunTimeSharesThePlatform) {
  std::string error;
  StageEntry entry = LoadBuiltModule("test_stage_module", &error);
  ASSERT_NE(entry, nullptr) << error;
  TestRun run;
  std::vector<std::string> seen;
  StageRef producer = run.AddEntry(0, "COUNT", entry, "1000");
  StageRef consumer = run.Add(0, "C", Collector(&seen));
  run.Connect(producer, consumer);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 0);
  ASSERT_EQ(seen.size(), 1000u);
  EXPECT_EQ(seen.front(), "m0");
  EXPECT_EQ(seen.back(), "m999");
}

}  // namespace
}  // namespace ductrine::test

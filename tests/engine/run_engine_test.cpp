#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

// A stage is marked started only when the start event lets it run. A failed
// setup, or an abort the driver raises at the start barrier, keeps every
// stage from running: each returns 3.
TEST(StartHandshake, StagesRunOnlyWhenNoSetupFailedAndTheDriverDidNotAbort) {
  enum { kNone, kSetupFails, kDriverAborts };
  for (int stop : {kNone, kSetupFails, kDriverAborts}) {
    SCOPED_TRACE(stop);
    TestRun run;
    std::atomic<int> runs{0};
    bool startedDuringSetup = false;
    auto body = [&](CProcess& self, CPipeSet& set) {
      ++runs;
      return set.FindStage(self)->started == 1 ? 17 : 1;
    };
    run.Add(0, "A", body, [&](CProcess&, CStage& stage) {
      startedDuringSetup = stage.started != 0;
      return stop != kSetupFails;
    });
    run.Add(1, "B", body);
    RunResult result = run.Run([&](CPipeSet& set) {
      // Every ready event is set before this check: setups are all done.
      EXPECT_EQ(set.abortRun, stop == kSetupFails ? 1 : 0);
      EXPECT_EQ(set.pipes[0].stages[0].started, 0);
      if (stop == kDriverAborts) set.abortRun = 1;
    });
    EXPECT_FALSE(startedDuringSetup);
    EXPECT_EQ(runs.load(), stop == kNone ? 2 : 0);
    EXPECT_EQ(result.Code(0, 0), stop == kNone ? 17 : 3);
    EXPECT_EQ(result.Code(1, 0), stop == kNone ? 17 : 3);
  }
}

// An exception escaping a stage becomes message 2999 and return code 3; one
// from a setup still releases the start barrier, and no stage runs.
TEST(BeginStage, EscapingExceptionBecomesMessage2999) {
  for (bool inSetup : {false, true}) {
    SCOPED_TRACE(inSetup ? "in setup" : "in run");
    ConsoleCapture console;
    TestRun run;
    std::atomic<int> runs{0};
    auto body = [](CProcess&, CPipeSet&) -> std::int32_t {
      throw std::runtime_error("disk on fire");
    };
    run.Add(0, "THROWS", body, [inSetup](CProcess&, CStage&) -> bool {
      if (inSetup) throw std::logic_error("bad operand");
      return true;
    });
    run.Add(1, "OTHER", [&](CProcess&, CPipeSet&) { return ++runs; });
    RunResult result = run.Run();
    EXPECT_EQ(result.Code(0, 0), 3);
    EXPECT_EQ(result.Code(1, 0), inSetup ? 3 : 1);
    EXPECT_EQ(result.highestReturnCode, 2999u);
    ASSERT_EQ(console.Lines().size(), 1u);
    EXPECT_EQ(MaskStamp(console.Lines()[0]),
              inSetup ? "<stamp>PIPE: Pipe(0),Stage(0),Type(THROWS): 2999IE: bad operand"
                      : "<stamp>PIPE: Pipe(0),Stage(0),Type(THROWS): 2999RE: disk on fire");
  }
}

TEST(RunEngine, ModuleLoadedAtRunTimeSharesThePlatform) {
  std::string error;
  StageEntry entry = LoadBuiltModule("test_stage_module", &error);
  ASSERT_NE(entry, nullptr) << error;
  TestRun run;
  std::vector<std::string> seen;
  run.Connect(run.AddEntry(0, "COUNT", entry, "100"), run.Add(0, "C", Collector(&seen)));
  EXPECT_EQ(run.Run().Code(0, 0), 0);
  ASSERT_EQ(seen.size(), 100u);
  EXPECT_EQ(seen.front(), "m0");
  EXPECT_EQ(seen.back(), "m99");
}

// A stage that ends severs its links at both ends: its neighbours see the
// end through their own stream, before they read or write again.
TEST(RunEngine, AnEndedStageSeversItsNeighboursEnds) {
  TestRun run;
  const CStage* middle = nullptr;
  auto afterMiddleEnds = [&](bool output) {
    return [&middle, output](CProcess& self, CPipeSet& set) {
      EXPECT_TRUE(WaitUntil([&] { return middle->state.load() == kStateComplete; }));
      CStage& stage = *set.FindStage(self);
      return output ? (stage.OutputAt(0)->IsSevered() ? 0 : 1) : (stage.InputAt(0)->IsSevered() ? 0 : 1);
    };
  };
  StageRef a = run.Add(0, "A", afterMiddleEnds(true));
  StageRef b = run.Add(0, "B", [](CProcess&, CPipeSet&) { return 0; });
  StageRef c = run.Add(0, "C", afterMiddleEnds(false));
  run.Connect(a, b);
  run.Connect(b, c);
  middle = &run.Stage(b);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_EQ(result.Code(0, 2), 0);
}

}  // namespace
}  // namespace ductrine::test

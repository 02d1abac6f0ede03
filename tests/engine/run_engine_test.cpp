#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

// A failed setup, or an abort the driver raises at the start barrier, keeps
// every stage from running: each returns 3 and none is marked started.
TEST(StartHandshake, AbortBeforeTheStartRunsNoStage) {
  for (bool setupFails : {true, false}) {
    SCOPED_TRACE(setupFails ? "a setup fails" : "the driver aborts");
    TestRun run;
    std::atomic<int> runs{0};
    auto counting = [&](CProcess&, CPipeSet&) {
      ++runs;
      return 0;
    };
    run.Add(0, "A", counting, [&](CProcess&, CStage&) { return !setupFails; });
    run.Add(1, "B", counting);
    RunResult result = run.Run([&](CPipeSet& set) {
      // Every ready event is set before this check: setups are all done.
      EXPECT_EQ(set.abortRun, setupFails ? 1 : 0);
      set.abortRun = 1;
    });
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(result.Code(0, 0), 3);
    EXPECT_EQ(result.Code(1, 0), 3);
    EXPECT_EQ(run.set.pipes[0].stages[0].started, 0);
    EXPECT_EQ(run.set.pipes[1].stages[0].started, 0);
  }
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

// An exception escaping a stage becomes message 2999 and return code 3; one
// from a setup still releases the start barrier, and no stage runs.
TEST(BeginStage, EscapingExceptionBecomesMessage2999) {
  for (bool inSetup : {false, true}) {
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

}  // namespace
}  // namespace ductrine::test

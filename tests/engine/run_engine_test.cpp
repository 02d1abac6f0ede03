#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iterator>
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

// A stall is reported with its dump, which is always a new file of a name
// of its own, for the owner alone; where none can be written the message
// says so instead of naming a file that is not there.
TEST(RunEngine, StallDumpIsANewFileOrTheMessageSaysThereIsNone) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("ductrine-dump-" + std::to_string(platform::ProcessId()));
  RemoveAll(folder.string());
  std::filesystem::create_directory(folder);
  for (bool folderExists : {true, true, false}) {
    SCOPED_TRACE(folderExists ? "folder" : "no folder");
    if (!folderExists) {
      // Two stalls, two dumps: the second never wrote over the first.
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);
      RemoveAll(folder.string());
    }
    ConsoleCapture console;
    TestRun run;
    run.dumpFolder = folder.string();
    auto waitForOther = [](CProcess& self, CPipeSet& set) {
      std::string record;
      return set.PeekRecord(self, 0, record) ? 1 : 0;
    };
    StageRef a = run.Add(0, "A", waitForOther), b = run.Add(0, "B", waitForOther);
    run.Connect(a, b);
    run.Connect(b, a);
    EXPECT_EQ(run.Run().highestReturnCode, 1005u);
    ASSERT_FALSE(console.Lines().empty());
    const std::string line = MaskStamp(console.Lines()[0]);
    const std::string head = "<stamp>PIPE: Error 1005: Stall detected, writing dump to: ";
    ASSERT_EQ(line.substr(0, head.size()), head);
    const std::string named = line.substr(head.size());
    if (!folderExists) {
      EXPECT_EQ(named, "(none), no dump could be written in: '" + folder.string() + "', Rc: " +
                           std::to_string(kErrors.pathNotFound) + ",");
      EXPECT_FALSE(std::filesystem::exists(folder));
      continue;
    }
    ASSERT_TRUE(std::filesystem::is_regular_file(named)) << named;
    EXPECT_EQ(std::filesystem::path(named).parent_path(), folder);
#if !defined(_WIN32)
    EXPECT_EQ(std::filesystem::status(named).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
  }
}

}  // namespace
}  // namespace ductrine::test

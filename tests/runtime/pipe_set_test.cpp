#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/set_builder.h"
#include "runtime/pipe_set.h"

namespace ductrine {
namespace {

TEST(PipeSet, PipeLabel) {
  CPipeSet set;
  set.pipes.resize(2);
  set.pipes[1].name = "main";
  struct Case {
    std::uint32_t index;
    const char* setName;
    const char* label;
  } cases[] = {{0, "", "0"}, {1, "", "1,main"}, {2, "sub", "2, sub"}, {2, "", "2"},
               {4294967295u, "", "4294967295"}};
  for (const Case& c : cases) {
    set.setName = c.setName;
    std::string label;
    set.PipeLabel(c.index, label);
    EXPECT_EQ(label, c.label) << c.index;
  }
  CPipeSet empty;
  empty.setName = "sub";
  std::string label;
  empty.PipeLabel(0, label);
  EXPECT_EQ(label, "0, sub");
}

TEST(PipeSet, FindStageAndStreamBoundaries) {
  CPipeSet set;
  EXPECT_EQ(set.FindStage(0, 0), nullptr);
  SetBuilder builder(set);
  builder.AddPipe();
  builder.AddPipe();  // a pipe without stages
  StageRef a = builder.AddStage(0, "A");
  StageRef b = builder.AddStage(0, "B");
  builder.Connect(a, b);
  EXPECT_EQ(set.FindStage(0, 1), &set.pipes[0].stages[1]);
  EXPECT_EQ(set.FindStage(0, 2), nullptr);
  EXPECT_EQ(set.FindStage(1, 0), nullptr);
  EXPECT_EQ(set.FindStage(2, 0), nullptr);
  CStage& first = set.pipes[0].stages[0];
  EXPECT_EQ(first.InputAt(0), nullptr);
  EXPECT_EQ(first.OutputAt(1), nullptr);
  EXPECT_NE(first.OutputAt(0), nullptr);
  EXPECT_EQ(first.OutputAt(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(set.pipes[0].stages[1].inputStreamCount, 1u);
}

TEST(PipeSet, InputStreamLimitIsCapped) {
  CStage stage;
  stage.SetMaxInputStreams(5000);
  EXPECT_EQ(stage.maxInputStreams, 4096u);
  stage.SetMaxInputStreams(2);
  EXPECT_EQ(stage.maxInputStreams, 2u);
}

TEST(PipeSet, ConcurrentRaisesEndAtTheMaximum) {
  for (int round = 0; round < 20; ++round) {
    CPipeSet set;
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 8; ++t)
      threads.emplace_back([&set, t] {
        for (std::uint32_t v = 0; v < 2000; ++v) set.RaiseReturnCode(v * 8 + t);
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(set.highestReturnCode, 1999u * 8 + 7);
  }
  CPipeSet set;
  set.RaiseReturnCode(2002);
  set.RaiseReturnCode(2002);
  set.RaiseReturnCode(3);
  EXPECT_EQ(set.highestReturnCode, 2002u);
}

TEST(PipeSet, TraceSwitchBuildsEventNamesFromTheConsole) {
  platform::SetConsoleIdentityForTesting(42);
  CPipeSet set;
  set.SetTraceOn(true);
  EXPECT_TRUE(set.IsTraceOn());
  EXPECT_EQ(set.traceEndEventName, "PIPETraceEndLock-00000042");
  EXPECT_EQ(set.traceOffEventName, "PIPETraceOffLock-00000042");
  platform::SetConsoleIdentityForTesting(7);
  set.SetTraceOn(false);
  EXPECT_FALSE(set.IsTraceOn());
  EXPECT_EQ(set.traceEndEventName, "PIPETraceEndLock-00000042");
  platform::SetConsoleIdentityForTesting(0);
  set.SetTraceOn(true);
  EXPECT_EQ(set.traceOffEventName, "PIPETraceOffLock-00000000");
  platform::SetConsoleIdentityForTesting(-1);
}

}  // namespace
}  // namespace ductrine

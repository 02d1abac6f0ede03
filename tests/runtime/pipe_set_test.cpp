#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/set_builder.h"
#include "runtime/pipe_set.h"

namespace ductrine {
namespace {

TEST(PipeSet, PipeLabelNamesThePipeOrElseTheSet) {
  CPipeSet set;
  set.pipes.resize(2);
  set.pipes[1].name = "main";
  struct Case {
    std::uint32_t index;
    const char* setName;
    const char* label;
  } cases[] = {{0, "sub", "0"}, {1, "", "1,main"}, {2, "sub", "2, sub"}, {2, "", "2"},
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

TEST(PipeSet, LookupsStopAtTheirBoundaries) {
  CPipeSet set;
  EXPECT_EQ(set.FindStage(0, 0), nullptr);
  SetBuilder builder(set);
  builder.AddPipe();
  builder.AddPipe();  // a pipe without stages
  builder.Connect(builder.AddStage(0, "A"), builder.AddStage(0, "B"));
  EXPECT_EQ(set.FindStage(0, 1), &set.pipes[0].stages[1]);
  EXPECT_EQ(set.FindStage(0, 2), nullptr);
  EXPECT_EQ(set.FindStage(1, 0), nullptr);
  EXPECT_EQ(set.FindStage(2, 0), nullptr);
  EXPECT_EQ(set.pipes[0].stages[0].OutputAt(1), nullptr);
  EXPECT_EQ(set.pipes[0].stages[1].InputAt(1), nullptr);
}

TEST(PipeSet, ReturnCodeOnlyRisesEvenWhenRaisedAtOnce) {
  CPipeSet set;
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 8; ++t)
    threads.emplace_back([&set, t] {
      for (std::uint32_t v = 0; v < 20000; ++v) set.RaiseReturnCode(v * 8 + t);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(set.highestReturnCode, 19999u * 8 + 7);
  set.RaiseReturnCode(3);
  EXPECT_EQ(set.highestReturnCode, 19999u * 8 + 7);
}

TEST(PipeSet, TraceEventNamesComeFromTheConsoleWhenTraceIsSwitchedOn) {
  CPipeSet set;
  platform::SetConsoleIdentityForTesting(42);
  set.SetTraceOn(true);
  platform::SetConsoleIdentityForTesting(7);
  set.SetTraceOn(false);  // keeps the names of the console it was switched on from
  platform::SetConsoleIdentityForTesting(-1);
  EXPECT_FALSE(set.IsTraceOn());
  EXPECT_EQ(set.traceEndEventName, "PIPETraceEndLock-00000042");
  EXPECT_EQ(set.traceOffEventName, "PIPETraceOffLock-00000042");
}

}  // namespace
}  // namespace ductrine

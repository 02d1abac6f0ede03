#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/pipe_set.h"

namespace ductrine {
namespace {

// A pipe of the set shows its own name; past the set's pipes the set's name.
TEST(PipeSet, PipeLabelNamesThePipeOrElseTheSet) {
  CPipeSet set;
  set.setName = "sub";
  std::string label;
  set.PipeLabel(0, label);  // a set without pipes
  EXPECT_EQ(label, "0, sub");
  set.pipes.resize(2);
  set.pipes[1].name = "main";
  const struct {
    std::uint32_t index;
    const char* setName;
    const char* label;
  } cases[] = {{0, "sub", "0"}, {1, "", "1,main"}, {2, "sub", "2, sub"}, {2, "", "2"},
               {4294967295u, "", "4294967295"}};
  for (const auto& c : cases) {
    set.setName = c.setName;
    set.PipeLabel(c.index, label);
    EXPECT_EQ(label, c.label) << c.index;
  }
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
  EXPECT_FALSE(set.IsTraceOn());
  EXPECT_EQ(set.traceEndEventName, "PIPETraceEndLock-00000042");
  EXPECT_EQ(set.traceOffEventName, "PIPETraceOffLock-00000042");
}

}  // namespace
}  // namespace ductrine

// The stop of a whole run: every stream severed, every waiter woken, every
// sub-pipeline waited for, every console stage ended; and the record length
// check that stops a run with message 2072.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

using platform::Handle;
using platform::NamedEvent;

// A stage blocked in a read of a pipe, the way a console stage waits for a
// typed line; only there can a stop end its thread.
struct BlockingRead {
  void Read() {
    entered = true;
    platform::CancellableRegion endable;
    returned = pipe.Read();
  }
  BlockingPipe pipe;
  std::atomic<bool> entered{false};
  std::atomic<bool> returned{false};
};

// Every stream of every pipe is severed and its events raised (and kept, for
// stages that open them later) before the sub-pipeline of a CALLPIPE stage
// is told to stop; then the stop waits for it. Of several stops at once only
// one does this work: the others return while it still waits.
TEST(Stop, SeversEverythingAndWaitsForTheSubPipelineOnce) {
  CPipeSet set;
  SetBuilder builder(set);
  StageRef a = builder.AddStage(0, "A"), call = builder.AddStage(0, "callPipe");
  StageRef c = builder.AddStage(1, "C");
  builder.Connect(a, call);
  builder.Connect(call, c);
  builder.Connect(c, a);
  std::vector<std::string> events;
  for (CPipe& pipe : set.pipes)
    for (CStage& stage : pipe.stages) {
      const std::string base =
          "stop." + std::to_string(stage.pipeIndex) + std::to_string(stage.stageIndex);
      events.push_back(stage.outputs[0].recordEventName = base + ".rec");
      events.push_back(stage.inputs[0].consumedEventName = base + ".con");
    }
  set.pipes[0].stages[1].callpipeId = 41;
  Handle done = NamedEvent::OpenOrCreate("stop.done", true, false);
  set.pipes[0].stages[1].callpipeHandle = done;
  Handle stopEvent = NamedEvent::OpenOrCreate("CALLPIPE-00041", true, false);
  set.traceOn = 1;
  set.markStop = 1;

  constexpr int kStops = 4;
  std::atomic<int> returned{0};
  std::atomic<bool> released{false};
  bool lastSawRelease = false, streamsDone = true, lockRaised = false, othersFirst = false;
  std::thread subPipeline([&] {
    NamedEvent::Wait(stopEvent);
    for (CPipe& pipe : set.pipes)
      for (CStage& stage : pipe.stages)
        streamsDone = streamsDone && stage.inputs[0].flags == 0u && stage.outputs[0].flags == 0u;
    for (const std::string& name : events) streamsDone = streamsDone && EventExists(name);
    lockRaised = WaitUntil([&] { return EventExists("PIPEStopLock00041"); });
    othersFirst = WaitUntil([&] { return returned.load() == kStops - 1; });
    released = true;
    NamedEvent::Set(done);
  });
  std::vector<std::thread> stops;
  for (int i = 0; i < kStops; ++i)
    stops.emplace_back([&] {
      set.Quiesce(2);
      if (returned.fetch_add(1) == kStops - 1) lastSawRelease = released.load();
    });
  for (std::thread& t : stops) t.join();
  NamedEvent::Set(stopEvent);  // frees the helper should the stop have passed it by
  subPipeline.join();
  EXPECT_TRUE(streamsDone);
  EXPECT_TRUE(lockRaised);
  EXPECT_TRUE(othersFirst);
  EXPECT_TRUE(lastSawRelease);
  EXPECT_EQ(set.traceOn, 0);
  EXPECT_EQ(set.stopMarked, 1);
  platform::CloseObject(stopEvent);
  platform::CloseObject(done);
}

TEST(Stop, OnlyAStopForAnErrorRaisesTheReturnCode) {
  using Case = std::tuple<std::uint32_t, std::int32_t, std::uint32_t>;  // code before, cause, after
  for (auto [before, cause, after] :
       {Case{2, 1, 3}, Case{2072, 1, 2072}, Case{7, 2, 7}, Case{0, 0, 0}, Case{0, 3, 0}}) {
    CPipeSet set;  // also: a stop that was not asked to mark leaves stopMarked alone
    set.highestReturnCode = before;
    set.Quiesce(cause);
    EXPECT_EQ(set.highestReturnCode, after) << before << " cause " << cause;
    EXPECT_EQ(set.stopMarked, 0);
  }
}

// ---- stops during a real run ----------------------------------------------

// A writer waits for its record to be taken, a reader in another pipe for a
// record, and a console stage in a third blocks in its read; a console stage
// stops the run. The waiters wake and fail, as does all they try after; the
// blocked console stage is ended and counts as returning 0; the stopping one
// is not ended by its own stop.
TEST(StopDuringRun, WakesEveryWaiterAndEndsBlockedConsoleStages) {
  TestRun run;
  BlockingRead blocked, own;
  std::atomic<int> retried{0};
  std::vector<int> results(4, -1);
  StageRef writer = run.Add(0, "W", [&](CProcess& self, CPipeSet& set) {
    results[0] = set.WriteRecord(self, 0, "never taken");
    results[1] = set.WriteRecord(self, 0, "after the stop");
    return ++retried;
  });
  StageRef stopper = run.Add(0, "CONSOLE", [&](CProcess&, CPipeSet& set) {
    EXPECT_TRUE(WaitUntil([&] {
      return set.pipes[0].stages[0].state == kStateWritePending &&
             set.pipes[1].stages[0].state == kStateReadPending && blocked.entered;
    }));
    set.Quiesce(2);
    EXPECT_TRUE(own.pipe.Write());
    own.Read();  // would end here if the stop had ended this stage
    // Stay until both have tried again, so that nothing but the stop can
    // have freed them.
    EXPECT_TRUE(WaitUntil([&] { return retried.load() == 2; }));
    return 5;
  });
  StageRef reader = run.Add(1, "R", [&](CProcess& self, CPipeSet& set) {
    std::string record;
    results[2] = set.PeekRecord(self, 0, record);
    results[3] = set.PeekRecord(self, 0, record);
    return ++retried;
  });
  run.Add(2, "console", [&](CProcess&, CPipeSet&) {
    blocked.Read();
    return 7;
  });
  run.Connect(writer, stopper);
  run.Connect(stopper, reader);
  // Should the stop not end the blocked stage, free it rather than hang.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    if (!WaitUntil([&] { return finished.load(); })) blocked.pipe.Write();
  });
  RunResult result = run.Run();
  finished = true;
  watchdog.join();
  EXPECT_EQ(results, std::vector<int>(4, 0));
  EXPECT_TRUE(own.returned);
  EXPECT_FALSE(blocked.returned);
  EXPECT_EQ(result.Code(0, 1), 5);
  EXPECT_EQ(result.Code(2, 0), 0);
  EXPECT_EQ(run.set.pipes[2].stages[0].state, kStateComplete);
  EXPECT_EQ(result.highestReturnCode, 0u);
}

// One byte over the limit is refused before anything is offered, reported
// with the first 50 bytes of the record, and stops the run. The bytes are
// data: conversions stay as they are, and what a terminal would act on (a
// title, a clipboard write, a screen clear, C1 controls) is shown as '?'.
TEST(RecordLimit, OneByteTooLongIsRefusedAndStopsTheRun) {
  UseUtc();
  platform::SetClockForTesting(1700000000);
  ConsoleCapture capture;
  const std::string head = "%s%n\x1b]0;title\x07\x1b[2J\x9b" "31m\x1b]52;c;SGk=\x07\x85" +
                           std::string(15, 'a');  // 50 bytes
  const std::string shown = "%s%n?]0;title??[2J?31m?]52;c;SGk=??" + std::string(15, 'a');
  TestRun run;
  run.set.recordLimit = 64;
  std::vector<std::string> received;
  StageRef writer = run.Add(0, "WRITER", [&](CProcess& self, CPipeSet& set) {
    EXPECT_TRUE(set.WriteRecord(self, 0, std::string(63, 'f')));
    EXPECT_FALSE(set.WriteRecord(self, 0, head + std::string(14, 'Z')));
    EXPECT_EQ(set.FindStage(self)->outputs[0].recordCount, 1u);
    return 3;
  });
  run.Connect(writer, run.Add(0, "READER", Collector(&received)));
  RunResult result = run.Run();
  platform::SetClockForTesting(-1);
  EXPECT_EQ(received, std::vector<std::string>{std::string(63, 'f')});
  EXPECT_EQ(run.set.stopping, 1);
  EXPECT_EQ(result.highestReturnCode, 2072u);
  EXPECT_EQ(capture.Text(), "14/11/2023 22:13:20 PIPE: Pipe(0),Stage(0),Type(WRITER): 2072RE: The "
                            "record of length: 64, exceeds the maximum allowed length of: 63.\n" +
                                std::string(20, ' ') + "The first 50 bytes of the record are: '" +
                                shown + "'\n");
}

}  // namespace
}  // namespace ductrine::test

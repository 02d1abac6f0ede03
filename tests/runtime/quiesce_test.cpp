// The stop of a whole run: every stream severed, every waiter woken, every
// sub-pipeline waited for, every console stage ended; and the record length
// check that stops a run with message 2072.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

using namespace std::chrono_literals;
using platform::Handle;
using platform::NamedEvent;

// True when the named event exists and is signalled (a manual-reset event
// stays so). An unsignalled event is released again after the probe.
bool IsSignalled(const std::string& name) {
  Handle event = NamedEvent::OpenExisting(name);
  if (!event) return false;
  auto waiter = std::async(std::launch::async, [event] { NamedEvent::Wait(event); });
  bool set = waiter.wait_for(2s) == std::future_status::ready;
  if (!set) {
    NamedEvent::Set(event);
    waiter.wait();
    NamedEvent::Reset(event);
  }
  platform::CloseObject(event);
  return set;
}

bool EventExists(const std::string& name) {
  Handle event = NamedEvent::OpenExisting(name);
  platform::CloseObject(event);
  return event != nullptr;
}

std::string Named(const char* pattern, long number) {
  char name[64];
  std::snprintf(name, sizeof name, pattern, number);
  return name;
}

// A stage blocked in a read of a pipe, the way a console stage waits for a
// typed line; only there can a stop end its thread.
struct BlockingRead {
  // Returns true when the read came back (the thread was not ended).
  bool Read() {
    entered = true;
    {
      platform::CancellableRegion endable;
      if (!pipe.Read()) return false;
    }
    returned = true;
    return true;
  }
  void Release() { EXPECT_TRUE(pipe.Write()); }
  BlockingPipe pipe;
  std::atomic<bool> entered{false};
  std::atomic<bool> returned{false};
};

// A set built by hand. No handle to its stream events is held: those the
// stop creates must stay for stages that open them later.
class StopTest : public ::testing::Test {
 protected:
  StopTest() : builder(set) {}
  ~StopTest() override { platform::SetConsoleIdentityForTesting(-1); }
  StageRef Add(std::uint32_t pipe, const std::string& type) { return builder.AddStage(pipe, type); }
  void NameEvents(const std::string& prefix) {
    for (CPipe& pipe : set.pipes)
      for (CStage& stage : pipe.stages) {
        std::string base =
            prefix + std::to_string(stage.pipeIndex) + "." + std::to_string(stage.stageIndex);
        for (std::size_t i = 0; i < stage.outputs.size(); ++i)
          stage.outputs[i].recordEventName = base + ".rec" + std::to_string(i);
        for (std::size_t i = 0; i < stage.inputs.size(); ++i)
          stage.inputs[i].consumedEventName = base + ".con" + std::to_string(i);
      }
  }
  CPipeSet set;
  SetBuilder builder;
};

TEST_F(StopTest, SeversEveryStreamAndSignalsEveryEventOfEveryPipe) {
  StageRef a = Add(0, "A");
  StageRef b = Add(0, "B");
  StageRef c = Add(1, "C");
  builder.Connect(a, b);
  builder.Connect(b, c);
  builder.Connect(c, a);
  NameEvents("stop.all.");
  // The trace end event stays raised for the life of the process: a console of its own.
  platform::SetConsoleIdentityForTesting(8100);
  const std::string traceEnd = Named("TraceEndLock-%.8ld", 8100);
  ASSERT_FALSE(EventExists(traceEnd));
  set.traceOn = 1;
  set.markStop = 1;
  set.Quiesce(2);
  EXPECT_EQ(set.stopping, 1);
  EXPECT_EQ(set.traceOn, 0);
  EXPECT_TRUE(EventExists(traceEnd));
  EXPECT_EQ(set.stopMarked, 1);
  for (CPipe& pipe : set.pipes)
    for (CStage& stage : pipe.stages) {
      for (CInputStream& in : stage.inputs) {
        EXPECT_EQ(in.flags, 0u);
        EXPECT_TRUE(IsSignalled(in.consumedEventName)) << in.consumedEventName;
      }
      for (COutputStream& out : stage.outputs) {
        EXPECT_EQ(out.flags, 0u);
        EXPECT_TRUE(IsSignalled(out.recordEventName)) << out.recordEventName;
      }
    }
  // A second call changes nothing, even where the run seemed to go on.
  set.pipes[0].stages[0].outputs[0].flags = kLinkConnected;
  set.traceOn = 1;
  set.Quiesce(1);
  EXPECT_EQ(set.pipes[0].stages[0].outputs[0].flags, kLinkConnected);
  EXPECT_EQ(set.traceOn, 1);
  EXPECT_EQ(set.highestReturnCode, 0u);
}

TEST_F(StopTest, CauseDecidesTheReturnCode) {
  struct Case {
    std::uint32_t before;
    std::int32_t cause;
    std::uint32_t after;
  };
  const Case cases[] = {{2, 1, 3}, {2072, 1, 2072}, {7, 2, 7}, {0, 0, 0}, {0, 3, 0}};
  for (const Case& c : cases) {
    CPipeSet fresh;  // also: a stop that was not asked to mark leaves stopMarked alone
    fresh.highestReturnCode = c.before;
    fresh.Quiesce(c.cause);
    EXPECT_EQ(fresh.highestReturnCode, c.after) << c.before << " cause " << c.cause;
    EXPECT_EQ(fresh.stopMarked, 0);
  }
}

// The sub-pipeline of a CALLPIPE stage is told to stop and waited for; its
// handle is waited on only after every stream has been woken.
TEST_F(StopTest, WaitsForTheSubPipelineOfEveryCallpipeStage) {
  const char* types[] = {"CALLPIPE", "callPipe"};
  long id = 40;
  for (const char* type : types) {
    ++id;
    CPipeSet fresh;
    SetBuilder b(fresh);
    StageRef source = b.AddStage(0, "A");
    StageRef call = b.AddStage(0, type);
    b.Connect(source, call);
    CStage& stage = fresh.pipes[0].stages[1];
    stage.callpipeId = static_cast<std::uint32_t>(id);
    fresh.pipes[0].stages[0].outputs[0].recordEventName = Named("cp.rec.%ld", id);
    stage.inputs[0].consumedEventName = Named("cp.con.%ld", id);
    Handle done = NamedEvent::OpenOrCreate(Named("cp.done.%ld", id), true, false);
    stage.callpipeHandle = done;
    const std::string stopName = Named("CALLPIPE-%.5ld", id);
    const std::string lockName = Named("PIPEStopLock%.5ld", id);
    Handle stopEvent = NamedEvent::OpenOrCreate(stopName, true, false);

    std::atomic<bool> released{false};
    std::atomic<bool> streamsWoken{false};
    std::atomic<bool> lockRaised{false};
    std::thread subPipeline([&] {
      NamedEvent::Wait(stopEvent);
      streamsWoken = fresh.pipes[0].stages[1].inputs[0].flags == 0u &&
                     IsSignalled(Named("cp.rec.%ld", id)) && IsSignalled(Named("cp.con.%ld", id));
      lockRaised = WaitUntil([&] { return EventExists(lockName); }, 2000ms);
      std::this_thread::sleep_for(200ms);
      released = true;
      NamedEvent::Set(done);
    });
    fresh.Quiesce(2);
    EXPECT_TRUE(released) << type;
    NamedEvent::Set(stopEvent);  // frees the helper should the stop have passed it by
    subPipeline.join();
    EXPECT_TRUE(streamsWoken) << type;
    EXPECT_TRUE(lockRaised) << type;
    platform::CloseObject(stopEvent);
    platform::CloseObject(done);
  }
}

// The console stage's thread is ended where it waits for input; a stage of
// another type that waits the same way is left alone.
TEST_F(StopTest, EndsTheThreadsOfConsoleStagesOnly) {
  struct Case {
    const char* type;
    bool ended;
  };
  const Case cases[] = {{"CONSOLE", true}, {"console", true}, {"CONSOLEX", false}};
  for (const Case& c : cases) {
    CPipeSet fresh;
    SetBuilder(fresh).AddStage(0, c.type);
    BlockingRead input;
    Handle thread = platform::StartThread([&] { input.Read(); });
    fresh.pipes[0].stages[0].threadHandle = thread;
    ASSERT_TRUE(WaitUntil([&] { return input.entered.load(); }));
    fresh.Quiesce(2);
    if (!c.ended) input.Release();
    // A thread that was not ended is freed by the read, so the join never hangs.
    std::thread watchdog([&] {
      if (!WaitUntil([&] { return input.returned.load(); }, 3000ms)) input.Release();
    });
    platform::JoinThread(thread);
    input.returned = true;
    watchdog.join();
    EXPECT_EQ(platform::ThreadWasTerminated(thread), c.ended) << c.type;
    platform::CloseObject(thread);
  }
}

// Of many stages stopping the run at once only one does the work; the others
// return at once even while the first still waits for a sub-pipeline.
TEST_F(StopTest, ConcurrentCallsDoTheWorkOnce) {
  Add(0, "CALLPIPE");
  CStage& call = set.pipes[0].stages[0];
  call.callpipeId = 71;
  Handle done = NamedEvent::OpenOrCreate("cp.done.71", false, false);  // one pass per set
  call.callpipeHandle = done;
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<int> returned{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      set.Quiesce(1);
      returned.fetch_add(1);
    });
  bool othersReturned = WaitUntil([&] { return returned.load() == kThreads - 1; }, 5000ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(othersReturned);
  EXPECT_EQ(returned.load(), kThreads - 1);
  // Free whoever waits, one set per waiter.
  while (returned.load() < kThreads) {
    NamedEvent::Set(done);
    std::this_thread::sleep_for(10ms);
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(set.highestReturnCode, 3u);
  platform::CloseObject(done);
}

// ---- stops during a real run ----------------------------------------------

// Writers wait for their records to be taken and readers wait for records,
// on several streams and pipes; one stage stops the run.
TEST(StopDuringRun, WakesEveryWaiterAndLaterOperationsReturnAtOnce) {
  constexpr int kPairs = 2;
  TestRun run;
  std::atomic<int> secondOpsDone{0};
  std::atomic<bool> checked{false};
  std::vector<int> firstResults(2 * kPairs, -1), secondResults(2 * kPairs, -1);
  std::vector<StageRef> writers, readers;
  for (int i = 0; i < kPairs; ++i)
    writers.push_back(run.Add(0, "W", [&, i](CProcess& self, CPipeSet& set) {
      firstResults[i] = set.WriteRecord(self, 0, "never taken");
      secondResults[i] = set.WriteRecord(self, 0, "after the stop");
      secondOpsDone.fetch_add(1);
      return 0;
    }));
  for (int i = 0; i < kPairs; ++i)
    readers.push_back(run.Add(1, "R", [&, i](CProcess& self, CPipeSet& set) {
      std::string record;
      firstResults[kPairs + i] = set.PeekRecord(self, 0, record);
      secondResults[kPairs + i] = set.PeekRecord(self, 0, record);
      secondOpsDone.fetch_add(1);
      return 0;
    }));
  StageRef hub = run.Add(0, "HUB", [&](CProcess&, CPipeSet& set) {
    bool allWaiting = WaitUntil([&] {
      for (int i = 0; i < kPairs; ++i) {
        if (set.pipes[0].stages[i].state != kStateWritePending) return false;
        if (set.pipes[1].stages[i].state != kStateReadPending) return false;
      }
      return true;
    });
    EXPECT_TRUE(allWaiting);
    set.Quiesce(2);
    checked = true;
    // Stay until every woken stage has also tried again, so that nothing but
    // the stop can have freed them.
    EXPECT_TRUE(WaitUntil([&] { return secondOpsDone.load() == 2 * kPairs; }));
    return 0;
  });
  for (int i = 0; i < kPairs; ++i) {
    run.Connect(writers[i], hub);
    run.Connect(hub, readers[i]);
  }
  RunResult result = run.Run();
  EXPECT_TRUE(checked);
  for (int i = 0; i < 2 * kPairs; ++i) {
    EXPECT_EQ(firstResults[i], 0) << i;
    EXPECT_EQ(secondResults[i], 0) << i;
  }
  EXPECT_EQ(result.highestReturnCode, 0u);
  EXPECT_EQ(run.set.stopping, 1);
}

TEST(StopDuringRun, ConsoleStageBlockedInItsReadIsEndedAndCountsAsZero) {
  TestRun run;
  BlockingRead input;
  StageRef console = run.Add(0, "CONSOLE", [&](CProcess&, CPipeSet&) {
    input.Read();
    return 7;
  });
  StageRef stopper = run.Add(0, "STOPPER", [&](CProcess&, CPipeSet& set) {
    EXPECT_TRUE(WaitUntil([&] { return input.entered.load(); }));
    set.Quiesce(2);
    return 5;
  });
  run.Connect(console, stopper);
  // Should the stop fail to end the console stage, free it rather than hang.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    if (!WaitUntil([&] { return finished.load(); }, 10000ms)) input.Release();
  });
  RunResult result = run.Run();
  finished = true;
  watchdog.join();
  EXPECT_FALSE(input.returned);
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_EQ(result.Code(0, 1), 5);
}

TEST(StopDuringRun, ConsoleStageThatStopsTheRunIsNotEndedByIt) {
  TestRun run;
  std::atomic<bool> carriedOn{false};
  StageRef console = run.Add(0, "Console", [&](CProcess&, CPipeSet& set) {
    set.Quiesce(2);
    BlockingRead input;
    input.Release();
    input.Read();  // would end here if the stop had ended this thread
    carriedOn = true;
    return 6;
  });
  StageRef other = run.Add(0, "OTHER", PassThrough());
  run.Connect(console, other);
  RunResult result = run.Run();
  EXPECT_TRUE(carriedOn);
  EXPECT_EQ(result.Code(0, 0), 6);
}

// ---- the record length check ----------------------------------------------

class RecordLimit : public ::testing::Test {
 protected:
  RecordLimit() {
    UseUtc();
    platform::SetClockForTesting(1700000000);
  }
  ~RecordLimit() override { platform::SetClockForTesting(-1); }
  ConsoleCapture capture;
};

TEST_F(RecordLimit, OneByteTooLongIsRefusedAndStopsTheRun) {
  const std::string fits(63, 'f');
  const std::string hostile = "%s%n%d%%";
  const std::string tooLong = hostile + std::string(42, 'a') + std::string(14, 'Z');
  ASSERT_EQ(tooLong.size(), 64u);

  TestRun run;
  run.set.recordLimit = 64;
  std::vector<std::string> received;
  bool firstResult = false;
  bool secondResult = true;
  std::uint32_t writeCount = 99, outCount = 99;
  const std::string* offered = nullptr;
  StageRef writer = run.Add(0, "WRITER", [&](CProcess& self, CPipeSet& set) {
    firstResult = set.WriteRecord(self, 0, fits);
    CStage& me = *set.FindStage(self);
    offered = me.outputs[0].record.load();
    secondResult = set.WriteRecord(self, 0, tooLong);
    writeCount = me.writeCount;
    outCount = me.outputs[0].recordCount;
    EXPECT_EQ(me.outputs[0].record.load(), offered);
    return 3;
  });
  StageRef reader = run.Add(0, "READER", Collector(&received));
  run.Connect(writer, reader);
  RunResult result = run.Run();

  EXPECT_TRUE(firstResult);
  EXPECT_FALSE(secondResult);
  EXPECT_EQ(received, std::vector<std::string>{fits});
  EXPECT_EQ(writeCount, 1u);
  EXPECT_EQ(outCount, 1u);
  EXPECT_EQ(run.set.pipes[0].stages[1].inputs[0].recordCount, 1u);
  EXPECT_EQ(run.set.stopping, 1);
  EXPECT_EQ(result.highestReturnCode, 2072u);
  EXPECT_EQ(capture.Text(), "14/11/2023 22:13:20 PIPE: Pipe(0),Stage(0),Type(WRITER): 2072RE: The "
                            "record of length: 64, exceeds the maximum allowed length of: 63.\n" +
                                std::string(20, ' ') + "The first 50 bytes of the record are: '" +
                                hostile + std::string(42, 'a') + "'\n");
}

// The length is checked before the stream number; an empty record always fits.
TEST_F(RecordLimit, CheckComesBeforeTheStreamIsLookedAt) {
  TestRun run;
  run.set.recordLimit = 1;
  bool emptyPassed = false, refused = false;
  std::vector<std::string> received;
  StageRef writer = run.Add(0, "W", [&](CProcess& self, CPipeSet& set) {
    emptyPassed = set.WriteRecord(self, 0, "");
    refused = !set.WriteRecord(self, 9, "x");
    return 0;
  });
  run.Connect(writer, run.Add(0, "R", Collector(&received)));
  EXPECT_EQ(run.Run().highestReturnCode, 2072u);
  EXPECT_TRUE(emptyPassed && refused);
  EXPECT_EQ(received, std::vector<std::string>{""});
  EXPECT_EQ(MaskStamp(capture.Lines().at(0)),
            "<stamp>PIPE: Pipe(0),Stage(0),Type(W): 2072RE: The record of length: 1, exceeds the "
            "maximum allowed length of: 0.");
}

}  // namespace
}  // namespace ductrine::test

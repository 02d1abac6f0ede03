// The dispatcher and the named objects that park fibers and threads: lost or
// stale wakes, a mutex two fibers of one thread both hold, per-thread state
// leaking between fibers, a stop that cannot reach a waiting fiber, a stall.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/harness.h"

namespace ductrine::platform {
namespace {

using test::WaitUntil;

struct Event {
  explicit Event(const char* name, bool manual = true) : handle(NamedEvent::OpenOrCreate(name, manual, false)) {}
  ~Event() { CloseObject(handle); }
  Handle handle;
};

// A manual-reset event once set releases every waiter: those parked before
// the set (from a later fiber, or from a thread outside the run) and those
// that come after it, which pass without parking; fibers (of one thread, or
// each with its own) and plain threads alike: no wait takes the set away.
TEST(Dispatcher, ManualResetEventReleasesEveryWaiter) {
  enum { kFiberSets, kSetBefore, kOutsideSets, kPlainThreads };
  for (int how : {kFiberSets, kSetBefore, kOutsideSets, kPlainThreads}) {
    for (bool threadEach : {false, true}) {
      if (how == kPlainThreads && threadEach) continue;
      SCOPED_TRACE(testing::Message() << "how " << how << ", thread each " << threadEach);
      Event event("disp-manual");
      std::atomic<int> woken{0};
      if (how == kPlainThreads) {
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
          waiters.emplace_back([&] {
            NamedEvent::Wait(event.handle);
            ++woken;
          });
        NamedEvent::Set(event.handle);
        EXPECT_TRUE(WaitUntil([&] { return woken.load() == 2; }));
        for (int i = 0; i < 2; ++i) NamedEvent::Set(event.handle);  // lets a stuck one go
        for (std::thread& waiter : waiters) waiter.join();
        continue;
      }
      Dispatcher dispatcher;
      if (how == kSetBefore) NamedEvent::Set(event.handle);
      std::vector<Handle> waiters;
      for (int i = 0; i < 2; ++i)
        waiters.push_back(dispatcher.Spawn(
            [&] {
              NamedEvent::Wait(event.handle);
              ++woken;
            },
            {}, threadEach));
      auto setOnceParked = [&] {
        EXPECT_TRUE(WaitUntil([&] { return Dispatcher::IsParked(waiters[0]) && Dispatcher::IsParked(waiters[1]); }));
        NamedEvent::Set(event.handle);
      };
      dispatcher.Spawn([&] {
        if (how == kSetBefore && !threadEach) { EXPECT_EQ(woken.load(), 2) << "passed without parking"; }
        if (how == kFiberSets) setOnceParked();
      });
      std::unique_ptr<OutsideWaker> outside(how == kOutsideSets ? new OutsideWaker : nullptr);
      std::thread setter([&] {
        if (how == kOutsideSets) setOnceParked();
      });
      if (!dispatcher.Run()) {
        ADD_FAILURE() << "a waiter was left waiting";
        dispatcher.EndParked();
        dispatcher.Run();
      }
      setter.join();
      EXPECT_EQ(woken.load(), 2);
    }
  }
}

// An auto-reset event releases one fiber per set, even for two sets in a row.
TEST(Dispatcher, AutoResetReleasesOneFiberPerSet) {
  Event event("disp-auto", false);
  Dispatcher dispatcher;
  int passed = 0;
  for (int i = 0; i < 3; ++i)
    dispatcher.Spawn([&] {
      NamedEvent::Wait(event.handle);
      ++passed;
    });
  dispatcher.Spawn([&] {
    NamedEvent::Set(event.handle);
    YieldFiber();
    YieldFiber();
    EXPECT_EQ(passed, 1);
    NamedEvent::Set(event.handle);
    YieldFiber();  // two sets in a row would count as one
    NamedEvent::Set(event.handle);
  });
  ASSERT_TRUE(dispatcher.Run());
  EXPECT_EQ(passed, 3);
}

// Two fibers of one thread exclude each other on a named mutex (the console
// lock), each may take it again while it holds it, and what the system keeps
// per thread (last error, module state) is kept per fiber.
TEST(Dispatcher, FibersOfOneThreadKeepTheirOwnLockAndState) {
  Handle mutex = NamedMutex::OpenOrCreate("disp-console");
  Dispatcher dispatcher;
  static const char modules[2] = {};
  std::string log;
  std::vector<bool> kept;
  for (int who : {0, 1})
    dispatcher.Spawn([&, who] {
      ModuleStateGuard guard(&modules[who]);
      SetLastErrorCode(5 + who);
      NamedMutex::Acquire(mutex);
      NamedMutex::Acquire(mutex);
      log += char('a' + who);
      YieldFiber();  // the other fiber runs, and must wait
      log += char('a' + who);
      NamedMutex::Release(mutex);
      YieldFiber();  // still held once
      log += char('a' + who);
      NamedMutex::Release(mutex);
      kept.push_back(LastErrorCode() == 5 + who && ModuleStateGuard::Current() == &modules[who]);
    });
  ASSERT_TRUE(dispatcher.Run());
  EXPECT_EQ(log, "aaabbb");
  EXPECT_EQ(kept, (std::vector<bool>{true, true}));
  CloseObject(mutex);
}

// A fiber that waits for input inside a region is ended by a stop from
// another fiber: its destructors run, the reader thread is ended, and the
// fiber's end work runs.
TEST(Dispatcher, FiberWaitingForInputIsEndedWithItsDestructorsRun) {
  Dispatcher dispatcher;
  bool destroyed = false, atEnd = false, returned = false;
  Handle reader = dispatcher.Spawn(
      [&] {
        std::shared_ptr<void> witness(nullptr, [&](void*) { destroyed = true; });
        BlockingReader input([](char*, std::size_t) -> long {
          for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        CancellableRegion endable;
        char c = 0;
        input.Read(&c, 1);
        returned = true;
      },
      [&] { atEnd = true; });
  dispatcher.Spawn([&] {
    EXPECT_TRUE(WaitUntil([&] { return Dispatcher::IsParked(reader); }));
    EXPECT_TRUE(TerminateThreadAt(reader));
  });
  ASSERT_TRUE(dispatcher.Run());
  EXPECT_TRUE(destroyed && atEnd && !returned && ThreadWasTerminated(reader));
}

// A typed line is waited for off the dispatcher: while the user has not
// answered, the other fibers run (the answer comes only once one has; were
// the read made on the dispatcher, it would come late and say so).
TEST(Dispatcher, ConsoleReadLetsTheOtherFibersRun) {
  std::promise<void> ran;
  SetConsoleInputForTesting([otherRan = ran.get_future().share()](std::string* line) {
    *line = otherRan.wait_for(std::chrono::seconds(60)) == std::future_status::ready ? "after" : "late";
    return true;
  });
  std::string typed;
  {
    Dispatcher dispatcher;
    dispatcher.Spawn([&] { ConsoleReadLine(&typed); });
    dispatcher.Spawn([&] { ran.set_value(); });
    ASSERT_TRUE(dispatcher.Run());
  }
  SetConsoleInputForTesting({});
  EXPECT_EQ(typed, "after");
}

// Every fiber waits and nothing can wake one: Run says so instead of hanging,
// and the parked fibers can still be ended.
TEST(Dispatcher, StallIsReportedAndParkedFibersCanBeEnded) {
  for (bool threadEach : {false, true}) {
    Event first("disp-stall-1"), second("disp-stall-2");
    Dispatcher dispatcher;
    std::atomic<int> unwound{0};
    std::vector<Handle> waiters;
    for (Handle event : {first.handle, second.handle})
      waiters.push_back(dispatcher.Spawn(
          [&, event] {
            std::shared_ptr<void> count(nullptr, [&](void*) { ++unwound; });
            NamedEvent::Wait(event);
          },
          {}, threadEach));
    // The last fiber to stop making progress is one that ends, after the
    // others wait: its end must still have the stall found.
    dispatcher.Spawn([&] {
      EXPECT_TRUE(WaitUntil([&] { return Dispatcher::IsParked(waiters[0]) && Dispatcher::IsParked(waiters[1]); }));
      // Time for the waiters' own threads to fall asleep (the fault shows
      // then; the run is right whatever the timing).
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    EXPECT_FALSE(dispatcher.Run()) << threadEach;
    dispatcher.EndParked();
    EXPECT_TRUE(dispatcher.Run()) << threadEach;
    EXPECT_EQ(unwound, 2) << threadEach;
  }
}

// The direct handoff reads as a Set then a Wait: the partner parked on the
// set event runs first unless the wait event is set already; a plain thread
// asleep on the set event wakes too; a caller left waiting for good is a
// stall, and can be ended where it waits.
TEST(NamedEvent, SetAndWaitReadsAsSetThenWait) {
  struct Case {
    const char* name;
    bool waitSetBefore, partnerSets;
    const char* steps;
  };
  for (const Case& c : {Case{"handoff", false, true, "A;B;"},
                        Case{"wait event set", true, true, "B;A;"},
                        Case{"never set", false, false, "A;"}}) {
    SCOPED_TRACE(c.name);
    Event set("disp-handoff-set"), wait("disp-handoff-wait");
    if (c.waitSetBefore) NamedEvent::Set(wait.handle);
    Dispatcher dispatcher;
    std::string steps;
    bool unwound = false;
    std::atomic<bool> threadWoken{false};
    std::unique_ptr<OutsideWaker> outside(new OutsideWaker);
    std::thread sleeper([&] {
      NamedEvent::Wait(set.handle);
      threadWoken = true;
      outside.reset();
    });
    Handle partner = dispatcher.Spawn([&] {
      NamedEvent::Wait(set.handle);
      steps += "A;";
      if (c.partnerSets) NamedEvent::Set(wait.handle);
    });
    dispatcher.Spawn([&] {
      std::shared_ptr<void> witness(nullptr, [&](void*) { unwound = true; });
      EXPECT_TRUE(Dispatcher::IsParked(partner));
      NamedEvent::SetAndWait(set.handle, wait.handle);
      steps += "B;";
    });
    EXPECT_EQ(dispatcher.Run(), c.partnerSets);
    sleeper.join();
    EXPECT_TRUE(threadWoken);
    if (!c.partnerSets) {
      dispatcher.EndParked();
      EXPECT_TRUE(dispatcher.Run());
      EXPECT_TRUE(unwound);
    }
    EXPECT_EQ(steps, c.steps);
  }
}

// Between plain threads: ping-pong through two auto-reset events, opened by
// name on every step as the record streams do. No set is lost, nothing leaks.
TEST(NamedEvent, SetBeforeWaitIsNeverLostBetweenThreads) {
  constexpr int kRounds = 20000;
  std::size_t before = LiveNamedObjects();
  {
    Event ping("ev-ping", false), pong("ev-pong", false);  // open throughout on this side
    std::thread partner([] {
      for (int i = 0; i < kRounds; ++i) {
        NamedEvent::Wait(Event("ev-ping", false).handle);
        NamedEvent::Set(Event("ev-pong", false).handle);
      }
    });
    for (int i = 0; i < kRounds; ++i) {
      NamedEvent::Set(ping.handle);
      NamedEvent::Wait(pong.handle);
    }
    partner.join();
  }
  EXPECT_EQ(LiveNamedObjects(), before);
}

}  // namespace
}  // namespace ductrine::platform

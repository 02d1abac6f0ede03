// The dispatcher and the objects that park fibers: the faults this design
// invites are lost or stale wakes, a mutex two fibers of one thread both
// hold, per-thread state leaking between fibers, a stop that cannot reach a
// fiber waiting for input, a stall that hangs, and a blocked run that spins.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/flavour.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace ductrine::platform {
namespace {

struct Event {
  explicit Event(const char* name, bool manual = true) : handle(NamedEvent::OpenOrCreate(name, manual, false)) {}
  ~Event() { CloseObject(handle); }
  Handle handle;
};

// Both orders of wait and set, on one dispatcher and across threads.
TEST(Dispatcher, WaitBeforeSetAndSetBeforeWaitBothWake) {
  for (bool setFirst : {false, true}) {
    Event event("disp-order");
    Dispatcher dispatcher;
    std::vector<std::string> steps;
    dispatcher.Spawn([&] {
      NamedEvent::Wait(event.handle);
      steps.push_back("woken");
    });
    dispatcher.Spawn([&] {
      steps.push_back("setting");
      NamedEvent::Set(event.handle);
    });
    if (setFirst) NamedEvent::Set(event.handle);
    ASSERT_TRUE(dispatcher.Run());
    // Parked first, it is woken only by the second fiber's set.
    EXPECT_EQ(steps, setFirst ? (std::vector<std::string>{"woken", "setting"})
                              : (std::vector<std::string>{"setting", "woken"}));
    NamedEvent::Reset(event.handle);
  }
}

TEST(Dispatcher, SetFromAnotherThreadWakesAParkedFiber) {
  Event event("disp-cross");
  Dispatcher dispatcher;
  std::atomic<bool> woken{false};
  Handle waiter = dispatcher.Spawn([&] {
    NamedEvent::Wait(event.handle);
    woken = true;
  });
  OutsideWaker outside;  // the set comes from a thread outside the run
  std::thread setter([&] {
    while (!Dispatcher::IsParked(waiter)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    NamedEvent::Set(event.handle);
  });
  EXPECT_TRUE(dispatcher.Run());
  setter.join();
  EXPECT_TRUE(woken);
}

// An auto-reset event releases one fiber per set; a manual one all of them.
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

// The console lock: two fibers of one thread exclude each other, and each
// may take it again while it holds it.
TEST(Dispatcher, FibersOfOneThreadExcludeEachOtherOnANamedMutex) {
  Handle mutex = NamedMutex::OpenOrCreate("disp-console");
  Dispatcher dispatcher;
  std::string log;
  for (char who : {'a', 'b'})
    dispatcher.Spawn([&, who] {
      NamedMutex::Acquire(mutex);
      NamedMutex::Acquire(mutex);
      log += who;
      YieldFiber();  // the other fiber runs, and must wait
      log += who;
      NamedMutex::Release(mutex);
      NamedMutex::Release(mutex);
    });
  ASSERT_TRUE(dispatcher.Run());
  EXPECT_EQ(log, "aabb");
  CloseObject(mutex);
}

// What the system keeps per thread is kept per fiber.
TEST(Dispatcher, LastErrorAndModuleStateSurviveSwitches) {
  Dispatcher dispatcher;
  static const char moduleA = 0, moduleB = 0;
  std::vector<bool> kept;
  for (const char* module : {&moduleA, &moduleB})
    dispatcher.Spawn([&, module] {
      ModuleStateGuard guard(module);
      const int code = module == &moduleA ? 5 : 6;
      SetLastErrorCode(code);
      for (int i = 0; i < 3; ++i) YieldFiber();
      kept.push_back(LastErrorCode() == code && ModuleStateGuard::Current() == module);
    });
  ASSERT_TRUE(dispatcher.Run());
  EXPECT_EQ(kept, (std::vector<bool>{true, true}));
}

// A fiber that waits for input inside a region is ended by a stop from
// another fiber: its destructors run, the reader thread is ended, and the
// fiber's end work runs.
TEST(Dispatcher, FiberWaitingForInputIsEndedWithItsDestructorsRun) {
  Dispatcher dispatcher;
  BlockingReader::ReadFunction silent = [](char*, std::size_t) -> long {
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  bool destroyed = false, atEnd = false, returned = false;
  Handle reader = dispatcher.Spawn(
      [&] {
        struct Witness {
          bool* flag;
          ~Witness() { *flag = true; }
        } witness{&destroyed};
        BlockingReader input(silent);
        CancellableRegion endable;
        char c = 0;
        input.Read(&c, 1);
        returned = true;
      },
      [&] { atEnd = true; });
  dispatcher.Spawn([&] {
    while (!Dispatcher::IsParked(reader)) YieldFiber();
    EXPECT_TRUE(TerminateThreadAt(reader));
  });
  ASSERT_TRUE(dispatcher.Run());
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(atEnd);
  EXPECT_FALSE(returned);
  EXPECT_TRUE(ThreadWasTerminated(reader));
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
            struct Count {
              std::atomic<int>* n;
              ~Count() { ++*n; }
            } count{&unwound};
            NamedEvent::Wait(event);
          },
          {}, threadEach));
    // The last fiber to stop making progress is one that ends, after the
    // others wait: its end must still have the stall found.
    dispatcher.Spawn([&] {
      while (!Dispatcher::IsParked(waiters[0]) || !Dispatcher::IsParked(waiters[1])) YieldFiber();
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

#if !defined(_WIN32)
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A run whose only stage waits for input sleeps in the kernel.
TEST(Dispatcher, BlockedRunUsesNoCpu) {
  test::BlockingPipe input;
  Dispatcher dispatcher;
  double spent = -1;
  dispatcher.Spawn([&] { input.Read(); });
  std::thread watcher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    spent = ProcessCpuSeconds() - before;
    input.Write();
  });
  EXPECT_TRUE(dispatcher.Run());
  watcher.join();
  EXPECT_LT(spent, 0.05);  // a spinning dispatcher would spend the whole 0.5 s
}
#endif

}  // namespace
}  // namespace ductrine::platform

// The console lock and the trace flags reach every process on one console:
// real processes (this test binary, running a DISABLED_ test on purpose)
// meet at them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::platform {
namespace {

using test::ChildProcess;

constexpr char kConsoleVariable[] = "DUCTRINE_TEST_CONSOLE";
constexpr char kLinesVariable[] = "DUCTRINE_TEST_LINES";
constexpr int kLines = 400;

std::string Name(const char* prefix, long console) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%.8ld", prefix, console);
  return name;
}

// This process on the console the parent chose (one of its own, so that
// tests running at once never meet), its objects shared with other processes
// through a folder of the parent's own, which the children inherit.
long JoinConsole() {
  const char* chosen = std::getenv(kConsoleVariable);
  long console = chosen ? std::atol(chosen) : 70000000 + static_cast<long>(ProcessId() % 9999999);
  if (!chosen) {
    namespace fs = std::filesystem;
    const std::string runtime = testing::TempDir() + "console_" + std::to_string(console);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    test::PutEnvironment("XDG_RUNTIME_DIR", runtime);
  }
  SetConsoleIdentityForTesting(console);
  ShareConsoleObjectsForTesting(true);
  return console;
}

// Waits for another process to raise a flag; false after a generous limit.
bool AwaitRaised(const std::string& name) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!test::EventExists(name)) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::yield();
  }
  return true;
}

void Raise(const std::string& name) { NamedEvent::OpenOrCreate(name, false, false); }

TEST(ConsoleChild, DISABLED_HoldsTheLockAndRaisesTheTraceEnd) {
  const long console = JoinConsole();
  Handle lock = NamedMutex::OpenOrCreate(Name("CApplMessage-", console));
  ASSERT_TRUE(NamedMutex::Acquire(lock));
  Raise(Name("PIPETraceEndLock-", console));
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));  // until killed
}

// A console line written in three pieces under the lock, once both writers
// are ready (each raises its own flag; the parent gives the start).
void WriteLinesInPieces(const char* readyFlag) {
  const long console = JoinConsole();
  std::FILE* out = std::fopen(std::getenv(kLinesVariable), "ab");
  ASSERT_NE(out, nullptr);
  std::setvbuf(out, nullptr, _IONBF, 0);
  Raise(Name(readyFlag, console));
  ASSERT_TRUE(AwaitRaised(Name("PIPETraceOffLock-", console)));
  Handle lock = NamedMutex::OpenOrCreate(Name("CApplMessage-", console));
  const std::string tag = std::to_string(ProcessId());
  for (int line = 0; line < kLines; ++line) {
    ASSERT_TRUE(NamedMutex::Acquire(lock));
    for (const char* piece : {"[", "|", "]\n"}) {
      std::fputs((tag + piece).c_str(), out);
      std::this_thread::yield();
    }
    NamedMutex::Release(lock);
  }
  CloseObject(lock);
  std::fclose(out);
}

TEST(ConsoleChild, DISABLED_WritesLinesFirst) { WriteLinesInPieces("TraceEndLock-"); }
TEST(ConsoleChild, DISABLED_WritesLinesSecond) { WriteLinesInPieces("PIPETraceEndLock-"); }

// Another process's hold of the console lock keeps this one waiting, off the
// dispatcher (the fiber beside runs meanwhile), until it is killed; its
// trace End reaches this process while it lives, and reads as absent (what
// is left of it is stale) once it is gone.
TEST(ConsoleObjects, LockAndTraceEndOfAnotherProcessReachThisOneAndEndWithIt) {
  const long console = JoinConsole();
  const std::string end = Name("PIPETraceEndLock-", console);
  test::PutEnvironment(kConsoleVariable, std::to_string(console));
  ChildProcess holder("ConsoleChild.DISABLED_HoldsTheLockAndRaisesTheTraceEnd");
  ASSERT_TRUE(holder.Started());
  ASSERT_TRUE(AwaitRaised(end));

  Handle lock = NamedMutex::OpenOrCreate(Name("CApplMessage-", console));
  std::atomic<bool> killed{false};
  bool tookAfterKill = false;
  // Should the wait stop the dispatcher, the killer fiber never runs: the
  // watchdog ends the holder instead, and the test fails without hanging.
  std::promise<void> done;
  std::thread watchdog([&, finished = done.get_future()] {
    if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready) holder.Kill();
  });
  {
    Dispatcher dispatcher;
    dispatcher.Spawn([&] {
      NamedMutex::Acquire(lock);
      tookAfterKill = killed;
      NamedMutex::Release(lock);
    });
    dispatcher.Spawn([&] {
      killed = true;
      holder.Kill();
    });
    EXPECT_TRUE(dispatcher.Run());
  }
  done.set_value();
  watchdog.join();
  CloseObject(lock);
  EXPECT_TRUE(tookAfterKill);
  EXPECT_FALSE(test::EventExists(end));
  test::RemoveAll(testing::TempDir() + "console_" + std::to_string(console));
}

// Two processes write console lines in pieces at the same time: every line
// arrives whole.
TEST(ConsoleObjects, LinesOfTwoProcessesAreNeverTorn) {
  const long console = JoinConsole();
  const std::string file = testing::TempDir() + "console_lines_" + std::to_string(ProcessId());
  std::remove(file.c_str());
  test::PutEnvironment(kLinesVariable, file);
  test::PutEnvironment(kConsoleVariable, std::to_string(console));
  ChildProcess first("ConsoleChild.DISABLED_WritesLinesFirst");
  ChildProcess second("ConsoleChild.DISABLED_WritesLinesSecond");
  ASSERT_TRUE(AwaitRaised(Name("TraceEndLock-", console)));
  ASSERT_TRUE(AwaitRaised(Name("PIPETraceEndLock-", console)));
  Raise(Name("PIPETraceOffLock-", console));
  EXPECT_TRUE(first.Passed());
  EXPECT_TRUE(second.Passed());

  std::ifstream in(file, std::ios::binary);
  std::string line;
  int whole = 0, torn = 0;
  while (std::getline(in, line)) {
    const std::string tag = line.substr(0, line.find('['));
    if (!tag.empty() && line == tag + "[" + tag + "|" + tag + "]") ++whole; else ++torn;
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(whole, 2 * kLines);
  in.close();
  std::remove(file.c_str());
  test::RemoveAll(testing::TempDir() + "console_" + std::to_string(console));
}

// A folder for the objects that others may enter (or another user made) is
// refused and reported; the console lock still works inside the process.
TEST(ConsoleObjects, AFolderOthersMayEnterIsRefusedAndTheObjectsStayInTheProcess) {
#if defined(_WIN32)
  GTEST_SKIP() << "the kernel keeps the objects";
#else
  namespace fs = std::filesystem;
  const std::string runtime = testing::TempDir() + "console_runtime_" + std::to_string(ProcessId());
  fs::create_directories(runtime + "/ductrine");
  fs::permissions(runtime + "/ductrine", fs::perms::owner_all | fs::perms::group_all);
  EXPECT_EXIT(
      {
        const long console = JoinConsole();
        test::PutEnvironment("XDG_RUNTIME_DIR", runtime);
        Handle lock = NamedMutex::OpenOrCreate(Name("CApplMessage-", console));
        const bool held = NamedMutex::Acquire(lock);
        NamedMutex::Release(lock);
        const bool fileMade = fs::exists(runtime + "/ductrine/" + Name("CApplMessage-", console));
        std::_Exit(held && !fileMade ? 0 : 1);
      },
      testing::ExitedWithCode(0), "ductrine is not a folder of this user's own");
  test::RemoveAll(runtime);
#endif
}

}  // namespace
}  // namespace ductrine::platform

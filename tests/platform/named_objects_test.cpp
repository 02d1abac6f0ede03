#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#endif

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace ductrine::platform {
namespace {

TEST(NamedEvent, ExistsWhileAnyHandleIsOpen) {
  EXPECT_EQ(NamedEvent::OpenExisting("ev-life"), nullptr);
  Handle first = NamedEvent::OpenOrCreate("ev-life", true, false);
  Handle second = NamedEvent::OpenOrCreate("ev-life", false, true);  // kind and state ignored
  NamedEvent::Set(second);
  CloseObject(first);
  Handle probe = NamedEvent::OpenExisting("ev-life");
  ASSERT_NE(probe, nullptr);
  NamedEvent::Wait(probe);  // manual reset from the first creator: still set
  NamedEvent::Wait(probe);
  CloseObject(probe);
  CloseObject(second);
  EXPECT_EQ(NamedEvent::OpenExisting("ev-life"), nullptr);
}

TEST(NamedEvent, ResetKindsAndInitialState) {
  Handle manual = NamedEvent::OpenOrCreate("ev-manual", true, true);
  NamedEvent::Wait(manual);
  NamedEvent::Wait(manual);  // stays set
  NamedEvent::Reset(manual);
  Handle autoReset = NamedEvent::OpenOrCreate("ev-auto", false, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      NamedEvent::Wait(autoReset);
      woken.fetch_add(1);
    });
  for (int i = 1; i <= 3; ++i) {
    NamedEvent::Set(autoReset);
    while (woken.load() < i) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(woken.load(), i) << "one set released more than one waiter";
  }
  for (auto& t : waiters) t.join();
  CloseObject(manual);
  CloseObject(autoReset);
}

TEST(NamedEvent, SetBeforeWaitIsNeverLostUnderLoad) {
  // Ping-pong through two auto-reset events, opened by name on every step
  // as the record streams do.
  constexpr int kRounds = 20000;
  Handle ping = NamedEvent::OpenOrCreate("ev-ping", false, false);
  Handle pong = NamedEvent::OpenOrCreate("ev-pong", false, false);
  std::thread partner([] {
    for (int i = 0; i < kRounds; ++i) {
      Handle a = NamedEvent::OpenOrCreate("ev-ping", false, false);
      NamedEvent::Wait(a);
      CloseObject(a);
      Handle b = NamedEvent::OpenOrCreate("ev-pong", false, false);
      NamedEvent::Set(b);
      CloseObject(b);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    NamedEvent::Set(ping);
    NamedEvent::Wait(pong);
  }
  partner.join();
  CloseObject(ping);
  CloseObject(pong);
}

TEST(NamedEvent, RegistryIsSafeUnderConcurrentOpenAndClose) {
  std::size_t before = LiveNamedObjects();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 5000; ++i) {
        std::string name = "ev-churn-" + std::to_string((i + t) % 7);
        Handle h = NamedEvent::OpenOrCreate(name, true, false);
        NamedEvent::Set(h);
        NamedEvent::Reset(h);
        CloseObject(h);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(LiveNamedObjects(), before);
}

TEST(NamedMutex, RecursiveForOwnerExclusiveForOthers) {
  Handle m = NamedMutex::OpenOrCreate("mx-console");
  ASSERT_TRUE(NamedMutex::Acquire(m));
  ASSERT_TRUE(NamedMutex::Acquire(m));  // the owner may take it again
  std::atomic<bool> got{false};
  std::thread other([&] {
    Handle mine = NamedMutex::OpenOrCreate("mx-console");
    NamedMutex::Acquire(mine);
    got = true;
    NamedMutex::Release(mine);
    CloseObject(mine);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  NamedMutex::Release(m);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(got.load()) << "released once of twice, still owned";
  NamedMutex::Release(m);
  other.join();
  EXPECT_TRUE(got.load());
  CloseObject(m);
}

TEST(NamedObjects, EventAndMutexShareOneNamespace) {
  Handle m = NamedMutex::OpenOrCreate("shared-name");
  EXPECT_EQ(NamedEvent::OpenOrCreate("shared-name", true, false), nullptr);
  CloseObject(m);
}

TEST(Console, IdentityOverrideAndSink) {
  SetConsoleIdentityForTesting(42);
  EXPECT_EQ(ConsoleIdentity(), 42);
  SetConsoleIdentityForTesting(-1);
  std::string seen;
  SetConsoleSink([&](std::string_view bytes) { seen.append(bytes); });
  EXPECT_TRUE(ConsoleWrite("line\n"));
  SetConsoleSink({});
  EXPECT_EQ(seen, "line\n");
}

TEST(Errors, ReasonTextIsNeverEmpty) {
  EXPECT_FALSE(ReasonText(2).empty());
  EXPECT_NE(ReasonText(987654).find("987654"), std::string::npos);
}

// The system's own text, without the carriage return and line feed that
// every system message text ends with.
TEST(Errors, ReasonTextIsTheSystemsText) {
#if defined(_WIN32)
  for (int code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL}) {
    char* raw = nullptr;
    DWORD size = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&raw), 0, nullptr);
    ASSERT_NE(raw, nullptr) << code;
    std::string text(raw, size);
    LocalFree(raw);
    ASSERT_GT(text.size(), 2u);
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(ReasonText(code), text.substr(0, text.size() - 2)) << code;
  }
#else
  EXPECT_EQ(ReasonText(ENOENT), "No such file or directory");
  EXPECT_EQ(ReasonText(EWOULDBLOCK), "Resource temporarily unavailable");
#endif
}

}  // namespace
}  // namespace ductrine::platform

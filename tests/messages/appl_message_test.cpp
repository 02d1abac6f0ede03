// The console line writer: line layout, options, counters, the console mutex,
// and local time formatting.

#include "messages/appl_message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

using namespace std::chrono_literals;

// 14 Nov 2023 22:13:20 UTC.
constexpr std::int64_t kFixedClock = 1700000000;

class ApplMessageTest : public ::testing::Test {
 protected:
  ApplMessageTest() {
    UseUtc();
    platform::SetClockForTesting(kFixedClock);
  }
  ~ApplMessageTest() override {
    platform::SetClockForTesting(-1);
    platform::SetConsoleIdentityForTesting(-1);
  }
  ConsoleCapture capture;
};

TEST_F(ApplMessageTest, PlainObjectWritesTheBodyAndALineFeed) {
  CApplMessage message;
  message.Write("file '%s' rc %d", {"a%dname", 5});
  EXPECT_EQ(capture.Text(), "file 'a%dname' rc 5\n");
  EXPECT_EQ(message.line, "file 'a%dname' rc 5\n");
  message.WriteText("taken as it is: %s %%");
  EXPECT_EQ(capture.Lines().back(), "taken as it is: %s %%");
  EXPECT_EQ(message.linesFormatted, 2u);
  EXPECT_EQ(message.consoleWrites, 2u);
  EXPECT_EQ(message.fileWrites, 0u);

  // Console off: nothing is written, the line is still built.
  CApplMessage quiet;
  quiet.SetConsole(false);
  quiet.Write("quiet");
  EXPECT_EQ(quiet.line, "quiet\n");
  EXPECT_EQ(quiet.consoleWrites, 0u);
  EXPECT_EQ(capture.Lines().size(), 2u);
}

TEST_F(ApplMessageTest, StampsAndHeaderLayout) {
  struct Case {
    bool date;
    bool time;
    const char* header;
    bool showHeader;
    std::string expected;
  };
  const Case cases[] = {
      {true, true, "PIPE: Pipe(0),Stage(1),Type(X)", true,
       "14/11/2023 22:13:20 PIPE: Pipe(0),Stage(1),Type(X): body\n"},
      {true, true, nullptr, true, "14/11/2023 22:13:20 body\n"},
      {true, false, "H", true, "14/11/2023 H: body\n"},
      {false, true, "H", true, "22:13:20 H: body\n"},
      {false, false, "H", false, "body\n"},
      {false, false, "H", true, "H: body\n"},
  };
  for (const Case& c : cases) {
    CApplMessage message(c.date, c.time, c.header);
    message.SetShowHeader(c.showHeader);
    message.Write("body");
    EXPECT_EQ(message.line, c.expected);
  }
  EXPECT_EQ(capture.Lines().size(), std::size(cases));
}

TEST_F(ApplMessageTest, NumberingComesFirstAndCountsUp) {
  CApplMessage message(true, false, "H");
  message.SetNumbering(true);
  message.Write("one");
  message.Write("two");
  EXPECT_EQ(capture.Text(), "0000000001 14/11/2023 H: one\n0000000002 14/11/2023 H: two\n");
  message.SetNumbering(false);
  message.Write("three");
  EXPECT_EQ(message.line, "14/11/2023 H: three\n");

  message.SetNumbering(true);
  message.Write("four");
  EXPECT_EQ(message.line, "0000000001 14/11/2023 H: four\n");
}

TEST_F(ApplMessageTest, CaseModeTouchesOnlyAsciiLettersOfTheBody) {
  struct Case {
    std::uint32_t mode;
    std::string expected;
  };
  const std::string body = "mixed Case 1a \xe9\xc9 z%";
  const Case cases[] = {
      {CaseUpper, "Hdr x: MIXED CASE 1A \xe9\xc9 Z%\n"},
      {CaseLower, "Hdr x: mixed case 1a \xe9\xc9 z%\n"},
      {7, "Hdr x: mixed Case 1a \xe9\xc9 z%\n"},
  };
  for (const Case& c : cases) {
    CApplMessage message("Hdr x");
    message.SetCase(c.mode);
    message.SetNumbering(true);
    message.WriteText(body);
    EXPECT_EQ(message.line, "0000000001 " + c.expected) << c.mode;
  }
}

TEST_F(ApplMessageTest, StandardOutputGetsNoLineFeedOfItsOwn) {
  CApplMessage message("H");
  message.SetStandardOutput(true);
  testing::internal::CaptureStdout();
  message.Write("to stdout");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "H: to stdout\n");
  EXPECT_EQ(message.line, "H: to stdout");
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(message.consoleWrites, 1u);
}

TEST_F(ApplMessageTest, UnconvertibleClockGivesEmptyStampsAndTheLineStillGoesOut) {
  platform::SetClockForTesting(INT64_MAX);
  CApplMessage message(true, true, "H");
  message.Write("still here");
  EXPECT_EQ(capture.Text(), "H: still here\n");
}

// Runs one Write on another thread and tells whether its line arrived
// within the given time.
bool WriteArrivesWithin(ConsoleCapture& capture, std::chrono::milliseconds limit,
                        std::thread& writer) {
  std::size_t before = capture.Text().size();
  writer = std::thread([] {
    CApplMessage message;
    message.Write("from another stage");
  });
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (capture.Text().size() > before) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

TEST_F(ApplMessageTest, LinesWaitForTheConsoleMutexOfTheirConsole) {
  struct Case {
    long identity;
    const char* name;
  };
  const Case cases[] = {{4321, "CApplMessage-00004321"}, {123456789, "CApplMessage-123456789"}};
  for (const Case& c : cases) {
    platform::SetConsoleIdentityForTesting(c.identity);
    EXPECT_EQ(ConsoleMutexName(), c.name);
    platform::Handle mutex = platform::NamedMutex::OpenOrCreate(c.name);
    ASSERT_TRUE(platform::NamedMutex::Acquire(mutex));
    std::thread writer;
    EXPECT_FALSE(WriteArrivesWithin(capture, 200ms, writer)) << c.name;
    platform::NamedMutex::Release(mutex);
    writer.join();
    EXPECT_EQ(capture.Lines().back(), "from another stage");
    platform::CloseObject(mutex);
  }
}

// The trace console holds the console mutex around its dialogue and writes
// its own lines meanwhile.
TEST_F(ApplMessageTest, TheOwnerOfTheConsoleMutexCanStillWrite) {
  platform::SetConsoleIdentityForTesting(77);
  platform::Handle mutex = platform::NamedMutex::OpenOrCreate("CApplMessage-00000077");
  ASSERT_TRUE(platform::NamedMutex::Acquire(mutex));
  CApplMessage message;
  message.Write("inside the dialogue");
  platform::NamedMutex::Release(mutex);
  platform::CloseObject(mutex);
  EXPECT_EQ(capture.Text(), "inside the dialogue\n");
}

TEST_F(ApplMessageTest, ConcurrentLinesArriveWholeOneWriteEach) {
  std::mutex lock;
  std::vector<std::string> chunks;
  platform::SetConsoleSink([&](std::string_view bytes) {
    std::lock_guard<std::mutex> hold(lock);
    chunks.emplace_back(bytes);
  });
  constexpr int kThreads = 8;
  constexpr int kLines = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        CApplMessage message(true, true, "H");
        message.Write("%s\n                    %s", {std::string(200, static_cast<char>('a' + t)),
                                                      std::string(100, static_cast<char>('A' + t))});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  platform::SetConsoleSink({});
  ASSERT_EQ(chunks.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const std::string& chunk : chunks) {
    ASSERT_EQ(chunk.size(), 20u + 3u + 200u + 1u + 20u + 100u + 1u);
    char lower = chunk[23];
    EXPECT_EQ(chunk.substr(23, 200), std::string(200, lower));
    EXPECT_EQ(chunk.substr(244, 100), std::string(100, static_cast<char>(lower - 'a' + 'A')));
    EXPECT_EQ(chunk.back(), '\n');
  }
}

TEST(FormatLocalTime, PatternsAndLimits) {
  UseUtc();
  EXPECT_EQ(FormatLocalTime(kFixedClock, "%d/%m/%Y "), "14/11/2023 ");
  EXPECT_EQ(FormatLocalTime(0, "%d/%m/%Y %H:%M:%S"), "01/01/1970 00:00:00");
  EXPECT_EQ(FormatLocalTime(INT64_MAX, "%d/%m/%Y "), "");
  // At most 127 characters.
  EXPECT_EQ(FormatLocalTime(kFixedClock, std::string(127, 'x').c_str()), std::string(127, 'x'));
  EXPECT_EQ(FormatLocalTime(kFixedClock, std::string(128, 'x').c_str()), "");
}

}  // namespace
}  // namespace ductrine::test

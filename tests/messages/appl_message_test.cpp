// Building console lines: formatting a text from typed values, the line
// layout and options, and the console mutex.

#include "messages/appl_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "messages/format.h"
#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

TEST(FormatText, ConversionsAndValuesThatAreNeverFormats) {
  struct Case {
    std::string format;
    MessageArgs values;
    std::string expected;
  };
  const std::string hostile = "%s%n%d%%";
  const Case cases[] = {
      {"Rc: %d, %ld", {-2, 5000000000LL}, "Rc: -2, 5000000000"},
      {"'%c'", {'|'}, "'|'"},
      {"no: %.3d %.3d", {7, 2016u}, "no: 007 2016"},
      {"%.50s|", {std::string(60, 'r')}, std::string(50, 'r') + "|"},
      {"%I64d ms", {123456789012LL}, "123456789012 ms"},
      {"100%% sure", {}, "100% sure"},
      {"%.0lf", {12}, "12"},
      {"%s", {17}, "17"},                            // a number given for text shows as its digits
      {"'%s'", {std::string("ab\0cd", 5)}, "'ab'"},  // text ends at its first NUL
      {"%s|%s", {hostile, "%d"}, hostile + "|%d"},
      {"a %s b %d c", {}, "a  b 0 c"},  // nothing is read beyond the values given
      // A conversion the system never uses is shown as written and takes no value.
      {"%n %q %s", {"x"}, "%n %q x"},
      {"ends in %", {}, "ends in %"},
      // Doubled, a text formats back to itself.
      {DoublePercents(hostile + " 100%"), {}, hostile + " 100%"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatText(c.format, c.values), c.expected) << c.format;
}

// Each line, continuation lines and all, reaches the console in one write, so
// lines of concurrent stages cannot interleave.
TEST(ApplMessage, LayoutOfOneWriteEach) {
  UseUtc();
  platform::SetClockForTesting(1700000000);  // 14 Nov 2023 22:13:20 UTC
  std::vector<std::string> writes;
  platform::SetConsoleSink([&writes](std::string_view bytes) { writes.emplace_back(bytes); });
  const std::string body = "Body %s\n                    more";
  CApplMessage(true, true, "Pipe(0),Stage(1)").WriteText(body);
  CApplMessage plain;
  EXPECT_FALSE(plain.SetFile(true));  // no log file: refused, the line goes to the console alone
  plain.WriteText(body);
  EXPECT_EQ(plain.toFile, 0);
  EXPECT_EQ(plain.fileWrites, 0u);
  EXPECT_EQ(plain.consoleWrites, 1u);
  platform::SetConsoleSink({});
  platform::SetClockForTesting(-1);
  EXPECT_EQ(writes, (std::vector<std::string>{
                        "14/11/2023 22:13:20 Pipe(0),Stage(1): " + body + "\n", body + "\n"}));
  // A time that cannot be shown leaves the stamp out.
  EXPECT_EQ(FormatLocalTime(INT64_MAX, "%d/%m/%Y "), "");
}

// Numbering comes first and starts at one each time it is turned on.
TEST(ApplMessage, NumberedLines) {
  ConsoleCapture capture;
  CApplMessage message("H");
  message.SetNumbering(true);
  message.Write("'%s' rc %d", {"a%dname", 5});
  message.Write("two");
  message.SetNumbering(false);
  message.Write("three");
  message.SetNumbering(true);
  message.Write("four");
  EXPECT_EQ(capture.Text(),
            "0000000001 H: 'a%dname' rc 5\n0000000002 H: two\nH: three\n0000000001 H: four\n");
}

// The trace console holds the console mutex around its dialogue and writes
// its own lines meanwhile; every other writer waits for it.
TEST(ApplMessage, LinesWaitForTheConsoleMutexOfTheirConsole) {
  ConsoleCapture capture;
  platform::SetConsoleIdentityForTesting(4321);
  EXPECT_EQ(ConsoleMutexName(), "CApplMessage-00004321");
  platform::Handle mutex = platform::NamedMutex::OpenOrCreate("CApplMessage-00004321");
  ASSERT_TRUE(platform::NamedMutex::Acquire(mutex));
  CApplMessage().Write("inside");
  EXPECT_EQ(capture.Text(), "inside\n");
  std::thread writer([] { CApplMessage().Write("from another stage"); });
  const auto written = [&] { return capture.Text() != "inside\n"; };
  EXPECT_FALSE(WaitUntil(written, std::chrono::milliseconds(200)));
  platform::NamedMutex::Release(mutex);
  writer.join();
  EXPECT_EQ(capture.Text(), "inside\nfrom another stage\n");
  platform::CloseObject(mutex);
  platform::SetConsoleIdentityForTesting(-1);
}

}  // namespace
}  // namespace ductrine::test

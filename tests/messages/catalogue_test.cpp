// The two message tables, their loading into a pipeline set and the lookup
// by number, including the once-only fill when stages issue at the same time.

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "messages/catalogue.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

std::vector<std::string> Texts(const char* const* table) {
  std::vector<std::string> texts;
  for (; **table != '\0'; ++table) texts.emplace_back(*table);
  return texts;
}

int NumberOf(const std::string& text) { return std::stoi(text.substr(0, 4)); }

// 1000 to 1036 without a hole, then 1999; 2001 to 2072 without 2016, then 2999.
TEST(MessageTables, HoldTheSeriesInOrderWithoutAGapFiller) {
  std::vector<std::string> system = Texts(kSystemMessageTable);
  ASSERT_EQ(system.size(), 38u);
  for (int n = 0; n <= 36; ++n) EXPECT_EQ(NumberOf(system[n]), 1000 + n);
  EXPECT_EQ(NumberOf(system[37]), 1999);
  std::vector<std::string> stage = Texts(kStageMessageTable);
  ASSERT_EQ(stage.size(), 72u);
  std::size_t i = 0;
  for (int n = 2001; n <= 2072; ++n) {
    if (n == 2016) continue;
    EXPECT_EQ(NumberOf(stage[i++]), n);
  }
  EXPECT_EQ(NumberOf(stage[71]), 2999);
  for (const std::string& text : system) EXPECT_EQ(text[4], ' ') << text;
  for (const std::string& text : stage) EXPECT_EQ(text[4], ' ') << text;
}

TEST(MessageTables, ContinuationLinesStartInTheColumnBehindTheStamp) {
  const std::string indent(20, ' ');
  std::size_t multiLine = 0;
  for (const char* const* table : {kSystemMessageTable, kStageMessageTable}) {
    for (const std::string& text : Texts(table)) {
      int number = NumberOf(text);
      EXPECT_EQ(text.back() == '\n', number == 1033) << text;
      if (number == 1028 || number == 1033) continue;  // usage texts with a layout of their own
      for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ++multiLine;
        EXPECT_EQ(text.compare(at + 1, 20, indent), 0) << text;
        ASSERT_GT(text.size(), at + 21) << text;
        EXPECT_NE(text[at + 21], ' ') << text;
      }
    }
  }
  EXPECT_EQ(multiLine, 20u);  // continuation lines in all the texts together
}

TEST(MessageTables, BackslashesQuotesAndBlankLinesAreKept) {
  std::vector<std::string> system = Texts(kSystemMessageTable);
  EXPECT_EQ(system[0], "1000 Rc: %d, Missing, invalid or empty registry entry, for: '%s\\%s\\%s'.");
  EXPECT_EQ(system[28],
            "1028 Valid filename or pipeline expected!\n\n PIPE filename[.rex] [arguments]\n PIPE "
            "\"file name[.rex]\" [arguments]\n PIPE \"stage|stage|stage|..\"\n\n      [arguments]\n"
            "          [[arg1] [\"arg 2\"] ..]");
}

TEST(MessageLookup, MatchesTheZeroPaddedFourDigitPrefixOnly) {
  const std::list<const char*> list = {"0999 padded", "2033 first", "2033 second"};
  EXPECT_STREQ(FindMessage(list, 999), "0999 padded");
  EXPECT_STREQ(FindMessage(list, 2033), "2033 first");
  for (std::uint32_t missing : {20331u, 203u, 0xFFFFFFFFu, 2034u})
    EXPECT_EQ(FindMessage(list, missing), nullptr) << missing;
}

class FirstIssue : public ::testing::Test {
 protected:
  FirstIssue() { SetBuilder(set).AddStage(0, "T"); }
  ConsoleCapture capture;
  CPipeSet set;
};

TEST_F(FirstIssue, EachSeriesFillsOnlyItsOwnListOnce) {
  Caller caller(set, 0, 0);
  EXPECT_TRUE(set.IssueMessage(caller, 2033, kSeverityNone, {"x"}));
  set.IssueMessage(caller, 2001, kSeverityNone);
  EXPECT_EQ(set.stageMessages.size(), 72u);
  EXPECT_EQ(set.stageMessagesLoaded, 1);
  EXPECT_TRUE(set.systemMessages.empty());
  // A number the series lacks brings in the system list for message 1999.
  EXPECT_FALSE(set.IssueMessage(caller, 2016, kSeverityNone));
  set.IssueSystemMessage(1029, kSeverityNone, {"x"});
  EXPECT_EQ(set.systemMessages.size(), 38u);
  EXPECT_EQ(set.systemMessagesLoaded, 1);
  EXPECT_EQ(set.stageMessages.size(), 72u);

  CPipeSet other;
  other.IssueSystemMessage(1029, kSeverityNone, {"x"});
  EXPECT_EQ(other.systemMessages.size(), 38u);
  EXPECT_TRUE(other.stageMessages.empty());
}

// Many stages issuing their first message at the same moment fill each list
// exactly once, and every one of them finds its text.
TEST_F(FirstIssue, ConcurrentFirstIssuesFillEachListOnce) {
  constexpr int kThreads = 16;
  std::atomic<int> ready{0};
  std::atomic<int> found{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Caller caller(set, 0, 0);
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      if (i % 2 == 0) {
        if (set.IssueMessage(caller, 2033, kSeverityNone, {"x"})) found.fetch_add(1);
      } else if (!set.IssueMessage(caller, 2016, kSeverityNone)) {  // 1999 reads both lists
        found.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(found.load(), kThreads);
  EXPECT_EQ(set.stageMessages.size(), 72u);
  EXPECT_EQ(set.systemMessages.size(), 38u);
  EXPECT_EQ(capture.Lines().size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace ductrine::test

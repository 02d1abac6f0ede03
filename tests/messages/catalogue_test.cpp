// The two message tables, their loading into a pipeline set and the lookup
// by number, including the once-only fill when stages issue at the same time.

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
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

class Caller : public CProcess {
 public:
  Caller(CPipeSet& set, std::uint32_t pipe, std::uint32_t stage)
      : CProcess(CStageCall{0, &set, pipe, stage}) {}
  bool Setup() override { return true; }
  std::int32_t Run() override { return 0; }
};

TEST(MessageTables, HoldTheSeriesInAscendingOrderWithoutAGapFiller) {
  struct Series {
    const char* const* table;
    std::size_t count;
    int first;
    int last;
  };
  const Series series[] = {{kSystemMessageTable, 37, 1000, 1999},
                           {kStageMessageTable, 72, 2001, 2999}};
  for (const Series& s : series) {
    std::vector<std::string> texts = Texts(s.table);
    ASSERT_EQ(texts.size(), s.count);
    EXPECT_EQ(NumberOf(texts.front()), s.first);
    EXPECT_EQ(NumberOf(texts.back()), s.last);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::string& text = texts[i];
      ASSERT_GE(text.size(), 5u) << text;
      for (int d = 0; d < 4; ++d) {
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[d]))) << text;
      }
      EXPECT_EQ(text[4], ' ') << text;
      if (i > 0) {
        EXPECT_LT(NumberOf(texts[i - 1]), NumberOf(text)) << text;
      }
      EXPECT_NE(NumberOf(text), 2016);
    }
  }
  // 1000 to 1035 without a hole, then 1999; 2001 to 2072 without 2016, then 2999.
  std::vector<std::string> system = Texts(kSystemMessageTable);
  for (int n = 0; n <= 35; ++n) EXPECT_EQ(NumberOf(system[n]), 1000 + n);
  std::vector<std::string> stage = Texts(kStageMessageTable);
  for (int i = 0, n = 2001; n <= 2072; ++n) {
    if (n == 2016) continue;
    EXPECT_EQ(NumberOf(stage[i++]), n);
  }
}

TEST(MessageTables, ContinuationLinesStartInTheColumnBehindTheStamp) {
  const std::string indent(20, ' ');
  std::size_t multiLine = 0;
  for (const char* const* table : {kSystemMessageTable, kStageMessageTable}) {
    for (const std::string& text : Texts(table)) {
      int number = NumberOf(text);
      if (number == 1033) {
        EXPECT_EQ(text.back(), '\n');
      } else {
        EXPECT_NE(text.back(), '\n') << text;
      }
      if (number == 1028 || number == 1033) continue;  // usage texts with a layout of their own
      for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ++multiLine;
        EXPECT_EQ(text.compare(at + 1, 20, indent), 0) << text;
        ASSERT_GT(text.size(), at + 21) << text;
        EXPECT_NE(text[at + 21], ' ') << text;
      }
    }
  }
  EXPECT_EQ(multiLine, 19u);  // continuation lines in all the texts together
}

TEST(MessageTables, TextsWithUnusualCharactersAreExact) {
  std::vector<std::string> system = Texts(kSystemMessageTable);
  std::vector<std::string> stage = Texts(kStageMessageTable);
  EXPECT_EQ(system[0], "1000 Rc: %d, Missing, invalid or empty registry entry, for: '%s\\%s\\%s'.");
  EXPECT_EQ(system[28],
            "1028 Valid filename or pipeline expected!\n\n PIPE filename[.rex] [arguments]\n PIPE "
            "\"file name[.rex]\" [arguments]\n PIPE \"stage|stage|stage|..\"\n\n      [arguments]\n"
            "          [[arg1] [\"arg 2\"] ..]");
  EXPECT_EQ(system[33],
            "1033 Invalid TRACE command: '%s'. %s\n\n  Usage: <enter>|End|HeLP|Off|SouRCe|Run "
            "<count|*>\n");
  EXPECT_EQ(system[36],
            "1999 Request made by: Pipe(%s),Stage(%d),Type(%s) to issue %s message no: %.3d failed, "
            "message not found!");
  EXPECT_EQ(stage[70],
            "2072 The record of length: %d, exceeds the maximum allowed length of: %d.\n      "
            "              The first 50 bytes of the record are: '%.50s'");
  EXPECT_EQ(stage[71], "2999 %s");
}

TEST(MessageLoading, EachLoadTakesOnlyItsOwnSeries) {
  CPipeSet set;
  set.LoadSystemMessages();
  ASSERT_EQ(set.systemMessages.size(), 37u);
  EXPECT_TRUE(set.stageMessages.empty());
  EXPECT_EQ(std::string(set.systemMessages.back()).substr(0, 4), "1999");
  for (const char* text : set.systemMessages) EXPECT_EQ(text[0], '1') << text;

  set.LoadStageMessages();
  ASSERT_EQ(set.stageMessages.size(), 72u);
  EXPECT_EQ(set.systemMessages.size(), 37u);
  EXPECT_EQ(std::string(set.stageMessages.front()).substr(0, 4), "2001");
  EXPECT_EQ(std::string(set.stageMessages.back()).substr(0, 4), "2999");
}

TEST(MessageLookup, MatchesTheZeroPaddedFourDigitPrefixOnly) {
  const std::list<const char*> list = {"0999 padded", "1200 short", "2033 first", "2033 second",
                                       "abcd letters"};
  struct Case {
    std::uint32_t number;
    const char* expected;  // null: not found
  };
  const Case cases[] = {
      {999, "0999 padded"},   {2033, "2033 first"}, {1200, "1200 short"},
      {12001, nullptr},       // five digits never equal a four-character prefix
      {120, nullptr},         // "0120"
      {0xFFFFFFFFu, nullptr}, // negative as a signed number
      {2034, nullptr},
  };
  for (const Case& c : cases) {
    const char* found = FindMessage(list, c.number);
    if (c.expected == nullptr) {
      EXPECT_EQ(found, nullptr) << c.number;
    } else {
      ASSERT_NE(found, nullptr) << c.number;
      EXPECT_STREQ(found, c.expected);
    }
  }
}

TEST(MessageLookup, FindsEveryTableNumberButNot2016) {
  CPipeSet set;
  set.LoadStageMessages();
  set.LoadSystemMessages();
  EXPECT_EQ(FindMessage(set.stageMessages, 2016), nullptr);
  EXPECT_EQ(FindMessage(set.systemMessages, 2001), nullptr);
  EXPECT_EQ(FindMessage(set.stageMessages, 1999), nullptr);
  for (const char* text : set.stageMessages) {
    EXPECT_EQ(FindMessage(set.stageMessages, NumberOf(text)), text);
  }
  for (const char* text : set.systemMessages) {
    EXPECT_EQ(FindMessage(set.systemMessages, NumberOf(text)), text);
  }
}

class FirstIssue : public ::testing::Test {
 protected:
  FirstIssue() {
    SetBuilder builder(set);
    builder.AddStage(0, "T");
  }
  ConsoleCapture capture;
  CPipeSet set;
};

TEST_F(FirstIssue, StageMessageFillsOnlyTheStageList) {
  Caller caller(set, 0, 0);
  EXPECT_TRUE(set.IssueMessage(caller, 2033, kSeverityNone, {"x"}));
  EXPECT_EQ(set.stageMessages.size(), 72u);
  EXPECT_EQ(set.stageMessagesLoaded, 1);
  EXPECT_TRUE(set.systemMessages.empty());
  EXPECT_EQ(set.systemMessagesLoaded, 0);

  // Later issues neither reload nor grow the list.
  set.IssueMessage(caller, 2001, kSeverityNone);
  EXPECT_EQ(set.stageMessages.size(), 72u);

  // A number the series lacks brings in the system list for message 1999.
  EXPECT_FALSE(set.IssueMessage(caller, 2016, kSeverityNone));
  EXPECT_EQ(set.systemMessages.size(), 37u);
  EXPECT_EQ(set.systemMessagesLoaded, 1);
  EXPECT_EQ(set.stageMessages.size(), 72u);
}

TEST_F(FirstIssue, SystemMessageFillsOnlyTheSystemList) {
  set.IssueSystemMessage(1029, kSeverityNone, {"x"});
  EXPECT_EQ(set.systemMessages.size(), 37u);
  EXPECT_TRUE(set.stageMessages.empty());
  EXPECT_EQ(set.stageMessagesLoaded, 0);
}

TEST_F(FirstIssue, ListsThatCameFilledAreNotFilledAgain) {
  set.LoadStageMessages();
  set.stageMessagesLoaded = 1;
  set.LoadSystemMessages();
  set.systemMessagesLoaded = 1;
  Caller caller(set, 0, 0);
  EXPECT_TRUE(set.IssueMessage(caller, 2033, kSeverityNone, {"x"}));
  set.IssueSystemMessage(1029, kSeverityNone, {"y"});
  EXPECT_EQ(set.stageMessages.size(), 72u);
  EXPECT_EQ(set.systemMessages.size(), 37u);
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
      } else {
        // 1999 reads both lists.
        if (!set.IssueMessage(caller, 2016, kSeverityNone)) found.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(found.load(), kThreads);
  EXPECT_EQ(set.stageMessages.size(), 72u);
  EXPECT_EQ(set.systemMessages.size(), 37u);
  EXPECT_EQ(capture.Lines().size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace ductrine::test

#include "driver/line_splitter.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace ductrine {
namespace {

using namespace std::string_literals;

// Feeds the chunks in order, then finishes; returns the records.
std::vector<std::string> Split(const std::vector<std::string>& chunks) {
  LineSplitter lines;
  std::vector<std::string> records;
  auto emit = [&records](const std::string& record) {
    records.push_back(record);
    return true;
  };
  for (const std::string& chunk : chunks) EXPECT_TRUE(lines.Feed(chunk, emit));
  EXPECT_TRUE(lines.Finish(emit));
  return records;
}

struct SplitCase {
  const char* what;
  std::vector<std::string> chunks;
  std::vector<std::string> records;
};

class LineSplitterTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitterTest, CutsRecordsByTheLineRule) {
  EXPECT_EQ(Split(GetParam().chunks), GetParam().records) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineSplitterTest,
    ::testing::Values(
        SplitCase{"nothing at all", {""}, {}},
        SplitCase{"one empty line", {"\n"}, {""}},
        SplitCase{"line feeds only", {"a\nb\n"}, {"a", "b"}},
        SplitCase{"last line without a line feed", {"a\nb"}, {"a", "b"}},
        SplitCase{"carriage return before the line feed", {"a\r\nb\r\n"}, {"a", "b"}},
        SplitCase{"only one carriage return is removed", {"a\r\r\n"}, {"a\r"}},
        SplitCase{"a carriage return inside a line stays", {"a\rb\n"}, {"a\rb"}},
        SplitCase{"a carriage return at the very end stays", {"a\r"}, {"a\r"}},
        SplitCase{"NUL bytes are data", {"a\0b\n\0\n"s}, {"a\0b"s, "\0"s}},
        SplitCase{"empty lines between", {"a\n\n\nb\n"}, {"a", "", "", "b"}},
        SplitCase{"a line across three chunks", {"ab", "cd", "ef\n"}, {"abcdef"}},
        SplitCase{"CR and LF in different chunks", {"abc\r", "\ndef"}, {"abc", "def"}},
        SplitCase{"a chunk that ends a line and starts the next", {"a", "b\nc", "d\n"},
                  {"ab", "cd"}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(LineSplitter, StopsWhenTheReceiverRefuses) {
  LineSplitter lines;
  std::vector<std::string> records;
  auto takeTwo = [&records](const std::string& record) {
    records.push_back(record);
    return records.size() < 2;
  };
  EXPECT_FALSE(lines.Feed("a\nb\nc\nd\n", takeTwo));
  EXPECT_EQ(records, (std::vector<std::string>{"a", "b"}));
}

TEST(LineSplitter, FinishReportsTheReceiversAnswerForTheLastLine) {
  LineSplitter lines;
  auto refuse = [](const std::string&) { return false; };
  EXPECT_TRUE(lines.Feed("pending", refuse));  // no line completed yet
  EXPECT_FALSE(lines.Finish(refuse));
}

TEST(LineSplitter, ALongLineAfterShortOnesIsWhole) {
  std::string longLine(200000, 'x');
  std::vector<std::string> records =
      Split({"a\n", longLine.substr(0, 70000), longLine.substr(70000), "\nb\n"});
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1], longLine);
  EXPECT_EQ(records[2], "b");
}

}  // namespace
}  // namespace ductrine

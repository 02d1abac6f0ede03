#include "driver/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ductrine {
namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

TEST(LineSplitter, CutsRecordsByTheLineRule) {
  struct Case { Strings chunks, records; };
  const Case cases[] = {
      {{""}, {}},
      {{"\n"}, {""}},
      {{"a\n\n\nb"}, {"a", "", "", "b"}},  // the last line needs no line feed
      {{"a\r\r\n"}, {"a\r"}},              // only one carriage return is removed
      {{"a\rb\n"}, {"a\rb"}},
      {{"a\r"}, {"a\r"}},                  // nor at the very end
      {{"a\0b\n\0\n"s}, {"a\0b"s, "\0"s}},
      {{"abc\r", "\ndef"}, {"abc", "def"}},
      {{"a", "b\nc", "d\n"}, {"ab", "cd"}},
  };
  for (const Case& c : cases) {
    LineSplitter lines;
    Strings records;
    auto emit = [&records](const std::string& record) {
      records.push_back(record);
      return true;
    };
    for (const std::string& chunk : c.chunks) EXPECT_TRUE(lines.Feed(chunk, emit));
    EXPECT_TRUE(lines.Finish(emit));
    EXPECT_EQ(records, c.records) << ::testing::PrintToString(c.chunks);
  }
}

TEST(LineSplitter, StopsWhenTheReceiverRefuses) {
  LineSplitter lines;
  Strings records;
  auto takeTwo = [&records](const std::string& record) {
    records.push_back(record);
    return records.size() < 2;
  };
  EXPECT_FALSE(lines.Feed("a\nb\nc\nd\n", takeTwo));
  EXPECT_EQ(records, (Strings{"a", "b"}));
}

}  // namespace
}  // namespace ductrine

#include "driver/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ductrine {
namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

// Feeds the chunks in order and finishes; every call must succeed.
Strings Split(LineSplitter& lines, const Strings& chunks) {
  Strings records;
  auto emit = [&records](const std::string& record) {
    records.push_back(record);
    return true;
  };
  for (const std::string& chunk : chunks) EXPECT_TRUE(lines.Feed(chunk, emit));
  EXPECT_TRUE(lines.Finish(emit));
  return records;
}

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
    EXPECT_EQ(Split(lines, c.chunks), c.records) << ::testing::PrintToString(c.chunks);
  }
}

TEST(LineSplitter, ALineLongerThanTheLimitGoesOutCutAtOneByteOver) {
  struct Case { Strings chunks, records; };
  // The longest record is 4 bytes.
  const Case cases[] = {
      {{"abcd\n"}, {"abcd"}},
      {{"ab", "cd\r", "\nx"}, {"abcd", "x"}},  // "\r\n" may still follow 4 bytes
      {{"abcdefg\n"}, {"abcdefg"}},            // whole in one block: the writer sees it all
      {{"abc", "def", "ghi\nxy\n"}, {"abcde", "xy"}},  // the rest of the line is dropped
      {{"ab", "cdef"}, {"abcde"}},              // also without any line feed
      {{"abcde", "f", "", "g", "\n", "z"}, {"abcde", "z"}},
  };
  for (const Case& c : cases) {
    LineSplitter lines(4);
    EXPECT_EQ(Split(lines, c.chunks), c.records) << ::testing::PrintToString(c.chunks);
  }

  // A stream without line feeds is refused as soon as it passes the limit,
  // not buffered to its end.
  LineSplitter lines(4);
  int calls = 0;
  auto refuse = [&calls](const std::string& record) {
    EXPECT_EQ(record, "xxxxx");
    ++calls;
    return false;
  };
  const std::string block(1000, 'x');
  EXPECT_TRUE(lines.Feed("xxx", refuse));
  EXPECT_FALSE(lines.Feed(block, refuse));
  EXPECT_EQ(calls, 1);
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

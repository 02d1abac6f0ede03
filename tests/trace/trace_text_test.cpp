// The text pieces of tracing: record dumps, the TRACE segment, trace commands.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "trace/record_dump.h"
#include "trace/segment_text.h"
#include "trace/trace_command.h"

namespace ductrine {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

TEST(RecordDump, OnTheConsole) {
  EXPECT_EQ(RecordDumpScreenText(
                BuildRecordDump(3, "0", 1, "TAILWRITER", kTracePeek, 1, 0, "hello, world")),
            "0000000003 Pipe:(0),Stage:(1),Type:(TAILWRITER): Peek Record: 1, Stream: 0, Length: 12 bytes.\n"
            "Data: >hello, world<\n"
            "      >| - - - + - - - - | - - \n"
            "       h e l l o ,   w o r l d \n"
            "       68656C6C6F2C20776F726C64\n"
            "\n");
  // An empty record has no ruler.
  EXPECT_EQ(RecordDumpScreenText(
                BuildRecordDump(12, "2 (sub)", 0, "CONSOLE", kTracePeek, 4, -1, "")),
            "0000000012 Pipe:(2 (sub)),Stage:(0),Type:(CONSOLE): Peek Record: 4, Stream: STDIN, "
            "Length: 0 bytes.\nData: >(null)<\n\n");
  EXPECT_EQ(RecordDumpHeader(1234567890, "1", 3, "X"), "1234567890 Pipe:(1),Stage:(3),Type:(X)");
}

TEST(RecordDump, BodyLayoutByteForByte) {
  const struct {
    std::string record, body;
  } cases[] = {
      {"abcdefghi",  // nine characters stop before the second bar
       "Write Record: 2, Stream: STDOUT, Length: 9 bytes.\nData: >abcdefghi<\n"
       "      >| - - - + - - - - \n       a b c d e f g h i \n       616263646566676869\n"},
      {"abcdefghij",  // ten get the whole first ruler and a blank
       "Write Record: 2, Stream: STDOUT, Length: 10 bytes.\nData: >abcdefghij<\n"
       "      >| - - - + - - - - | \n       a b c d e f g h i j \n       6162636465666768696A\n"},
      {"a\tb",  // a tab shows as a blank, but not in hex
       "Write Record: 2, Stream: STDOUT, Length: 3 bytes.\nData: >a b<\n"
       "      >| - - \n       a   b \n       610962\n"},
      {"\n\xff",  // so does a line feed; a high byte is unsigned
       "Write Record: 2, Stream: STDOUT, Length: 2 bytes.\nData: > \xff<\n"
       "      >| - \n         \xff \n       0AFF\n"},
      {"\x1b[2J\a\r\x7f",  // other control bytes never reach the terminal raw
       "Write Record: 2, Stream: STDOUT, Length: 7 bytes.\nData: >.[2J...<\n"
       "      >| - - - + - - \n       . [ 2 J . . . \n       1B5B324A070D7F\n"},
      {std::string("ab\0cd", 5),  // a NUL ends the text but counts in the length and ruler
       "Write Record: 2, Stream: STDOUT, Length: 5 bytes.\nData: >ab<\n"
       "      >| - - - + \n       a b \n       6162\n"},
      {std::string("\0xy", 3),
       "Write Record: 2, Stream: STDOUT, Length: 0 bytes.\nData: >(null)<\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RecordDumpBody(kTraceWrite, 2, -2, c.record), c.body) << c.record.size() << " bytes";
}

TEST(RecordDump, RulerMarksEveryTenthAndFifthCharacter) {
  std::string ruler;  // under 37 characters
  for (int k = 1; k <= 37; ++k)
    ruler += {k == 1 || k % 10 == 0 ? '|' : k % 10 == 5 ? '+' : '-', ' '};
  std::string body = RecordDumpBody(kTracePeek, 1, 0, std::string(37, 'x'));
  EXPECT_NE(body.find("\n      >" + ruler + "\n"), std::string::npos) << body;
}

TEST(RecordDump, ReadOnOtherStreams) {
  for (auto [stream, text] : {std::pair{-3, "STDERR"}, std::pair{17, "17"}})
    EXPECT_EQ(RecordDumpBody(kTraceRead, 9, stream, ""),
              "Read Record: 9, Stream: " + std::string(text) +
                  ", Length: 0 bytes.\nData: >(null)<\n");
}

// A zeroed view the size of the mapped segment, starting with `text`.
std::array<char, kTraceSegmentSize> View(const std::string& text) {
  std::array<char, kTraceSegmentSize> view{};
  std::memcpy(view.data(), text.data(), text.size());
  return view;
}

using Counts = std::pair<std::int32_t, std::int32_t>;
Counts Read(const char* view, std::size_t size) {
  TraceSegmentCounts read = ParseTraceSegment(view, size);
  return {read.runCount, read.requestNumber};
}

TEST(TraceSegmentText, ReadsBothFields) {
  const std::pair<std::string, Counts> cases[] = {
      {"", {0, 0}}, {"-1;7;;", {-1, 7}}, {" +5;  -3;", {5, -3}}, {";8;", {0, 8}},
      {"4x;9y;", {4, 9}},
      {std::string("5\0" "6;", 3), {5, 6}},  // a NUL ends the first field like a semicolon
      {"0000000000000000000007;\t\v\f\r\n 12;", {7, 12}}, {"- 5;-2147483648;", {0, kMin}},
      {"99999999999;-99999999999;", {kMax, kMin}}};
  for (const auto& [text, counts] : cases) {
    auto view = View(text);
    EXPECT_EQ(Read(view.data(), view.size()), counts) << '"' << text << '"';
  }
  // A field running to the end of the view ends there.
  EXPECT_EQ(Read("-1;7779;", 5), Counts(-1, 77));
  EXPECT_EQ(Read("1234;5;", 2), Counts(12, 0));
  // An exactly sized block, so the sanitizer sees any read past its end.
  auto exact = std::make_unique<char[]>(kTraceSegmentSize);
  std::memset(exact.get(), '3', kTraceSegmentSize);
  EXPECT_EQ(Read(exact.get(), kTraceSegmentSize), Counts(kMax, 0));
  std::memcpy(exact.get(), "1;", 2);
  EXPECT_EQ(Read(exact.get(), kTraceSegmentSize), Counts(1, kMax));
}

TEST(TraceSegmentText, StoreWritesTheTextOnlyAndReadsBack) {
  auto view = View("12;345;9;");
  ASSERT_TRUE(StoreTraceSegment(view.data(), view.size(), 0, 346));
  EXPECT_EQ(std::string(view.data(), 9), "0;346;;9;");  // no terminator was written
  EXPECT_EQ(Read(view.data(), view.size()), Counts(0, 346));
  EXPECT_EQ(FormatTraceSegment(kMin, kMin), "-2147483648;-2147483648;");
  EXPECT_EQ(FormatTraceSegment(kMin, kMin).size(), kTraceSegmentTextMax);
  ASSERT_TRUE(StoreTraceSegment(view.data(), view.size(), kMin, kMax));
  EXPECT_EQ(Read(view.data(), view.size()), Counts(kMin, kMax));

  std::array<char, 4> small{'a', 'b', 'c', 'd'};
  EXPECT_FALSE(StoreTraceSegment(small.data(), small.size(), 10, 20));
  EXPECT_EQ(std::string(small.data(), 4), "abcd");
}

TEST(TraceCommand, Table) {
  using K = TraceCommandKind;
  const std::string sentence = "A count in the range: 1 to 2147483647, expected.";
  EXPECT_EQ(CountRangeSentence(), sentence);
  auto expect = [](const std::string& line, K kind, std::int32_t runCount, std::string why = "") {
    TraceCommand command = ParseTraceCommand(line);
    EXPECT_EQ(command.kind, kind) << '"' << line << '"';
    EXPECT_EQ(command.runCount, runCount) << '"' << line << '"';
    EXPECT_EQ(command.explanation, why) << '"' << line << '"';
  };
  const std::pair<std::string, std::int32_t> runs[] = {
      {"Run 3", 2}, {"Run *", -1}, {"Run 1", 0}, {"Run 7x", 6}, {"R 5", 4}, {"rUn +4", 3},
      {"  RUN\t12 \t", 11}, {"Run 2147483647", 2147483646}, {std::string("Run 5\0 more", 11), 4}};
  for (const auto& [line, count] : runs) expect(line, K::kRun, count);
  for (const char* line : {"Run 0", "Run -2", "Run abc", "Run *5", "Run 99999999999",
                           "Run 2147483648", "Run 4294967299"})
    expect(line, K::kRefused, 0, sentence);
  const std::pair<K, std::vector<const char*>> others[] = {
      {K::kEnter, {"", " \t\n\v\f\r", "  run  \t"}}, {K::kHelp, {"H", "hlp", "HeLP", "  help  "}},
      {K::kSource, {"s", "Src", "SouRCe"}}, {K::kOff, {"o", "oFF"}}, {K::kEnd, {"E", "eNd"}},
      {K::kRefused, {"Run 3 4", "Run * all", "help me", "E 1", "HE", "HEL", "SOU", "EN", "RU",
                     "RUNS", "SOURCES", "xyz", "R3"}}};
  for (const auto& [kind, lines] : others)
    for (const char* line : lines) expect(line, kind, 0);
}

}  // namespace
}  // namespace ductrine

// The text pieces of tracing: record dumps, the TRACE segment, trace commands.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "trace/record_dump.h"
#include "trace/segment_create.h"
#include "trace/segment_text.h"
#include "trace/trace_command.h"

namespace ductrine {
namespace {

constexpr std::int32_t kMax = INT32_MAX, kMin = INT32_MIN;

TEST(RecordDump, Layout) {
  EXPECT_EQ(RecordDumpScreenText(
                BuildRecordDump(3, "2 (sub)", 1, "TAILWRITER", kTracePeek, 1, -1, "hello, world")),
            "0000000003 Pipe:(2 (sub)),Stage:(1),Type:(TAILWRITER): Peek Record: 1, Stream: STDIN, "
            "Length: 12 bytes.\nData: >hello, world<\n"
            "      >| - - - + - - - - | - - \n"
            "       h e l l o ,   w o r l d \n"
            "       68656C6C6F2C20776F726C64\n\n");
  const struct {
    std::int32_t operation, stream;
    std::string record, body;
  } cases[] = {
      {kTraceWrite, -2, "abcdefghij",  // the whole first ruler and a blank
       "Write Record: 2, Stream: STDOUT, Length: 10 bytes.\nData: >abcdefghij<\n"
       "      >| - - - + - - - - | \n       a b c d e f g h i j \n       6162636465666768696A\n"},
      {kTraceRead, -3, "abcdefghijklmnopqrstu",
       "Read Record: 2, Stream: STDERR, Length: 21 bytes.\nData: >abcdefghijklmnopqrstu<\n"
       "      >| - - - + - - - - | - - - - + - - - - | - \n"
       "       a b c d e f g h i j k l m n o p q r s t u \n"
       "       6162636465666768696A6B6C6D6E6F707172737475\n"},
      // A tab or line feed shows as a blank, other control bytes (DEL and
      // C1 too) as a dot, never raw on the terminal; the hex shows the truth.
      {kTracePeek, 17, "a\tb\n\xff\x1b\a\x7f\x9b\x80",
       "Peek Record: 2, Stream: 17, Length: 10 bytes.\nData: >a b \xff.....<\n"
       "      >| - - - + - - - - | \n       a   b   \xff . . . . . \n       6109620AFF1B077F9B80\n"},
      {kTraceWrite, 0, std::string("ab\0cd", 5),  // a NUL ends the text, not the length
       "Write Record: 2, Stream: 0, Length: 5 bytes.\nData: >ab<\n"
       "      >| - - - + \n       a b \n       6162\n"},
      {kTraceWrite, 0, std::string("\0xy", 3),
       "Write Record: 2, Stream: 0, Length: 0 bytes.\nData: >(null)<\n"},
      {kTraceWrite, 0, "", "Write Record: 2, Stream: 0, Length: 0 bytes.\nData: >(null)<\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RecordDumpBody(c.operation, 2, c.stream, c.record), c.body) << c.record.size();
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
      {"- 5;-2147483648;", {0, kMin}}, {"99999999999;-99999999999;", {kMax, kMin}},
      {FormatTraceSegment(kMin, kMax), {kMin, kMax}}};
  for (const auto& [text, counts] : cases) {
    auto view = View(text);
    EXPECT_EQ(Read(view.data(), view.size()), counts) << '"' << text << '"';
  }
  // A field running to the end of the view ends there; an exactly sized
  // block lets the sanitizer see any read past its end.
  EXPECT_EQ(Read("-1;7779;", 5), Counts(-1, 77));
  auto exact = std::make_unique<char[]>(kTraceSegmentSize);
  std::memset(exact.get(), '3', kTraceSegmentSize);
  std::memcpy(exact.get(), "1;", 2);
  EXPECT_EQ(Read(exact.get(), kTraceSegmentSize), Counts(1, kMax));
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
      {"Run 3", 2}, {"Run *", -1}, {"Run 7x", 6}, {"rUn +4", 3}, {"  R\t12 \t", 11},
      {"Run 2147483647", 2147483646}, {std::string("Run 5\0 more", 11), 4}};
  for (const auto& [line, count] : runs) expect(line, K::kRun, count);
  for (const char* line : {"Run 0", "Run -2", "Run abc", "Run *5", "Run 2147483648", "Run 4294967299"})
    expect(line, K::kRefused, 0, sentence);
  const std::pair<K, std::vector<const char*>> others[] = {
      {K::kEnter, {"", " \t\n\v\f\r", "  run  \t"}}, {K::kHelp, {"H", "hlp", "  HeLP  "}},
      {K::kSource, {"s", "Src", "SouRCe"}}, {K::kOff, {"o", "oFF"}}, {K::kEnd, {"E", "eNd"}},
      {K::kRefused, {"Run 3 4", "help me", "E 1", "HEL", "SOU", "EN", "RUNS", "xyz", "R3"}}};
  for (const auto& [kind, lines] : others)
    for (const char* line : lines) expect(line, kind, 0);
  // A piece that fills the command line exactly fits whole, up to its NUL.
  std::string line(990, 'x');
  EXPECT_TRUE(AppendCommandPiece(line, std::string("123456789\0tail", 14)));
  EXPECT_FALSE(AppendCommandPiece(line, "y"));
  EXPECT_EQ(line, std::string(990, 'x') + "123456789");
}

// The segment's name cannot be guessed by another user, and a name that
// exists (made first to fail the run or to read its trace) is neither used
// nor removed: the run takes another one.
TEST(TraceSegmentCreate, NeverTakesOverANameThatExists) {
  using platform::SharedSegment;
  const std::string taken = NewTraceSegmentName(), free = NewTraceSegmentName();
  EXPECT_NE(taken, free);
  EXPECT_TRUE(std::regex_match(
      taken, std::regex("DuctrineTrace-" + std::to_string(platform::ProcessId()) + "-[0-9a-f]{16}")))
      << taken;
  platform::Handle squatter = SharedSegment::CreateExclusive(taken, kTraceSegmentSize, "9;9;");
  ASSERT_NE(squatter, nullptr);
  auto content = [](const std::string& name) {
    platform::Handle segment = SharedSegment::OpenExisting(name);
    void* view = segment ? SharedSegment::Map(segment, kTraceSegmentSize) : nullptr;
    std::string text = view ? std::string(static_cast<const char*>(view), 4) : "(none)";
    SharedSegment::Unmap(view, kTraceSegmentSize);
    platform::CloseObject(segment);
    return text;
  };

  std::vector<std::string> names = {taken, free};
  std::size_t next = 0;
  std::string name;
  platform::Handle ours = CreateTraceSegment(&name, [&] { return names[next++]; });
  EXPECT_NE(ours, nullptr);
  EXPECT_EQ(name, free);
  EXPECT_EQ(content(free), "0;0;");
  EXPECT_EQ(content(taken), "9;9;");

  // Only names that exist: no segment, the reason is that, and still nothing removed.
  platform::Handle none = CreateTraceSegment(&name, [&] { return taken; }, 3);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(platform::LastErrorCode(), SharedSegment::ExistsCode());
  EXPECT_EQ(content(taken), "9;9;");

  platform::CloseObject(ours);
  SharedSegment::Remove(free);
  platform::CloseObject(squatter);
  SharedSegment::Remove(taken);
}

}  // namespace
}  // namespace ductrine

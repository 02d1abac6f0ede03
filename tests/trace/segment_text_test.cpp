#include "trace/segment_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "trace/decimal_prefix.h"

namespace ductrine {
namespace {

// A zeroed view the size of the mapped segment, starting with `text`.
std::array<char, kTraceSegmentSize> View(const std::string& text) {
  std::array<char, kTraceSegmentSize> view{};
  std::memcpy(view.data(), text.data(), text.size());
  return view;
}

TEST(TraceSegmentText, WritingOverLongerTextLeavesItsTailAndReadsBack) {
  auto view = View("12;345;9;");
  TraceSegmentCounts read = ParseTraceSegment(view.data(), view.size());
  EXPECT_EQ(read.runCount, 12);
  EXPECT_EQ(read.requestNumber, 345);

  ASSERT_TRUE(StoreTraceSegment(view.data(), view.size(), 0, 346));
  EXPECT_EQ(std::string(view.data(), 7), "0;346;;");
  EXPECT_EQ(view[7], '9');  // no terminator was written
  read = ParseTraceSegment(view.data(), view.size());
  EXPECT_EQ(read.runCount, 0);
  EXPECT_EQ(read.requestNumber, 346);
}

struct ReadCase {
  std::string text;
  std::int32_t runCount;
  std::int32_t requestNumber;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class TraceSegmentRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(TraceSegmentRead, ReadsBothFields) {
  auto view = View(GetParam().text);
  TraceSegmentCounts read = ParseTraceSegment(view.data(), view.size());
  EXPECT_EQ(read.runCount, GetParam().runCount);
  EXPECT_EQ(read.requestNumber, GetParam().requestNumber);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TraceSegmentRead,
    ::testing::Values(ReadCase{"", 0, 0},  // all zero bytes
                      ReadCase{"-1;7;", -1, 7},
                      ReadCase{"-1;7;;", -1, 7},
                      ReadCase{" +5;  -3;", 5, -3},
                      ReadCase{";8;", 0, 8},
                      ReadCase{"4x;9y;", 4, 9},
                      // A NUL ends the first field and is skipped like a semicolon.
                      ReadCase{std::string("5\0" "6;", 3), 5, 6},
                      ReadCase{"99999999999;-99999999999;", std::numeric_limits<std::int32_t>::max(),
                               std::numeric_limits<std::int32_t>::min()}));

TEST(TraceSegmentText, FieldRunningToTheEndOfTheViewEndsThere) {
  // The view is the first few bytes of a longer text: the digits after it
  // must not be taken.
  const std::string longer = "-1;7779;";
  TraceSegmentCounts read = ParseTraceSegment(longer.data(), 5);
  EXPECT_EQ(read.runCount, -1);
  EXPECT_EQ(read.requestNumber, 77);
  read = ParseTraceSegment("1234;5;", 2);
  EXPECT_EQ(read.runCount, 12);
  EXPECT_EQ(read.requestNumber, 0);

  // An exactly sized block, so the sanitizer sees any read past its end.
  auto exact = std::make_unique<char[]>(kTraceSegmentSize);
  std::memset(exact.get(), '3', kTraceSegmentSize);
  read = ParseTraceSegment(exact.get(), kTraceSegmentSize);
  EXPECT_EQ(read.runCount, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(read.requestNumber, 0);
  std::memcpy(exact.get(), "1;", 2);
  read = ParseTraceSegment(exact.get(), kTraceSegmentSize);
  EXPECT_EQ(read.runCount, 1);
  EXPECT_EQ(read.requestNumber, std::numeric_limits<std::int32_t>::max());
}

TEST(TraceSegmentText, ExtremesFormatWithinLimitAndReadBack) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  std::string text = FormatTraceSegment(kMin, kMin);
  EXPECT_EQ(text, "-2147483648;-2147483648;");
  EXPECT_EQ(text.size(), kTraceSegmentTextMax);
  EXPECT_EQ(FormatTraceSegment(-1, 0), "-1;0;");

  auto view = View("");
  ASSERT_TRUE(StoreTraceSegment(view.data(), view.size(), kMin, 2147483647));
  TraceSegmentCounts read = ParseTraceSegment(view.data(), view.size());
  EXPECT_EQ(read.runCount, kMin);
  EXPECT_EQ(read.requestNumber, 2147483647);
}

TEST(TraceSegmentText, StoreRefusesAViewTooSmall) {
  std::array<char, 4> view{'a', 'b', 'c', 'd'};
  EXPECT_FALSE(StoreTraceSegment(view.data(), view.size(), 10, 20));
  EXPECT_EQ(std::string(view.data(), 4), "abcd");
}

TEST(DecimalPrefix, OverflowIsReportedAtTheExactLimits) {
  EXPECT_FALSE(ParseDecimalPrefix("2147483647").overflow);
  EXPECT_TRUE(ParseDecimalPrefix("2147483648").overflow);
  DecimalPrefix low = ParseDecimalPrefix("-2147483648");
  EXPECT_FALSE(low.overflow);
  EXPECT_EQ(low.value, std::numeric_limits<std::int32_t>::min());
  EXPECT_TRUE(ParseDecimalPrefix("-2147483649").overflow);
  DecimalPrefix padded = ParseDecimalPrefix("0000000000000000000007");
  EXPECT_FALSE(padded.overflow);
  EXPECT_EQ(padded.value, 7);
  EXPECT_EQ(ParseDecimalPrefix("- 5").value, 0);
  EXPECT_EQ(ParseDecimalPrefix("\t\v\f\r\n 12").value, 12);
}

}  // namespace
}  // namespace ductrine

// The pipeline set's own access to the TRACE shared segment and the help
// banner: a real shared-memory segment, opened by name to read and through
// the driver's handle to write.

#include <gtest/gtest.h>

#include <string>

#include "tests/trace/trace_fixture.h"

namespace ductrine::test {
namespace {

class TraceSegmentAccess : public ::testing::Test {
 protected:
  void SetUp() override { UseFreshConsole(); }
  void TearDown() override { platform::SetConsoleIdentityForTesting(-1); }

  void Attach(const TraceSegment& segment) {
    set.traceSegmentName = segment.name();
    set.traceSegment = segment.handle();
  }

  CPipeSet set;
};

TEST_F(TraceSegmentAccess, ReadsWritesOverLongerTextAndReadsBack) {
  TraceSegment segment("12;345;9;");
  Attach(segment);
  std::int32_t runCount = -99, requestNumber = -99;
  ASSERT_TRUE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_EQ(runCount, 12);
  EXPECT_EQ(requestNumber, 345);
  EXPECT_EQ(set.traceSegmentReader, nullptr) << "the reader stays open between requests";

  ASSERT_TRUE(set.WriteTraceSegment(0, 346));
  EXPECT_EQ(segment.Bytes().substr(0, 10), std::string("0;346;;9;\0", 10));  // no terminator written
  ASSERT_TRUE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_EQ(runCount, 0);
  EXPECT_EQ(requestNumber, 346);
}

TEST_F(TraceSegmentAccess, AllZeroAndNegativeContent) {
  TraceSegment zero("");
  Attach(zero);
  std::int32_t runCount = -99, requestNumber = -99;
  ASSERT_TRUE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_EQ(runCount, 0);
  EXPECT_EQ(requestNumber, 0);

  TraceSegment negative("-1;7;");
  Attach(negative);
  ASSERT_TRUE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_EQ(runCount, -1);
  EXPECT_EQ(requestNumber, 7);
}

TEST_F(TraceSegmentAccess, ASegmentFullOfDigitsIsReadWithinItsView) {
  TraceSegment segment(std::string(256, '7'));
  Attach(segment);
  std::int32_t runCount = 0, requestNumber = 5;
  ASSERT_TRUE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_EQ(runCount, 2147483647);
  EXPECT_EQ(requestNumber, 0);
}

TEST_F(TraceSegmentAccess, AMissingSegmentIsReportedAndEndsTracing) {
  ConsoleCapture capture;
  set.SetTraceOn(true);
  set.traceSegmentName = UniqueTraceName("ductrine-absent");
  std::int32_t runCount = 0, requestNumber = 0;
  EXPECT_FALSE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_EQ(MaskStamps(capture.Text()),
            "<stamp>PIPE: Error 1031: Cannot read from TRACE shared segment: " +
                set.traceSegmentName + ".\n");
  EXPECT_FALSE(set.IsTraceOn());
  EXPECT_EQ(set.highestReturnCode, 1031u);
  EXPECT_EQ(set.traceSegmentReader, nullptr);
}

TEST_F(TraceSegmentAccess, ASegmentShorterThanTheViewIsNotRead) {
  ConsoleCapture capture;
  TraceSegment segment("3;4;", 16);
  Attach(segment);
  std::int32_t runCount = 0, requestNumber = 0;
  EXPECT_FALSE(set.ReadTraceSegment(runCount, requestNumber));
  EXPECT_NE(capture.Text().find("Error 1031: Cannot read from TRACE shared segment: " +
                                segment.name() + "."),
            std::string::npos);
  EXPECT_EQ(set.traceSegmentReader, nullptr);
}

TEST_F(TraceSegmentAccess, WritingUsesTheDriversHandleNotTheName) {
  ConsoleCapture capture;
  TraceSegment named("5;5;");
  set.traceSegmentName = named.name();
  set.traceSegment = nullptr;
  EXPECT_FALSE(set.WriteTraceSegment(1, 2));
  EXPECT_EQ(MaskStamps(capture.Text()),
            "<stamp>PIPE: Error 1031: Cannot write to TRACE shared segment: " + named.name() +
                ".\n");
  EXPECT_EQ(named.Counts(), "5;5;");
}

TEST_F(TraceSegmentAccess, HelpShowsAPercentOfTheSourceOnce) {
  ConsoleCapture capture;
  set.traceSource = "PIPE < 100%d.txt";
  set.ShowTraceHelp();
  std::string text = capture.Text();
  EXPECT_EQ(text.rfind("Ductrine v2.0, tracing source: PIPE < 100%d.txt\n\nUsage:\n\n", 0), 0u)
      << text;
  EXPECT_EQ(text.size() - text.rfind("record requests.\n\n"), std::string("record requests.\n\n").size());
}

}  // namespace
}  // namespace ductrine::test

#include "trace/record_dump.h"

#include <gtest/gtest.h>

#include <string>

namespace ductrine {
namespace {

TEST(RecordDump, HelloWorldPeekOnTheConsole) {
  RecordDump dump = BuildRecordDump(3, "0", 1, "TAILWRITER", kTracePeek, 1, 0, "hello, world");
  EXPECT_EQ(dump.header, "0000000003 Pipe:(0),Stage:(1),Type:(TAILWRITER)");
  EXPECT_EQ(RecordDumpScreenText(dump),
            "0000000003 Pipe:(0),Stage:(1),Type:(TAILWRITER): Peek Record: 1, Stream: 0, Length: 12 bytes.\n"
            "Data: >hello, world<\n"
            "      >| - - - + - - - - | - - \n"
            "       h e l l o ,   w o r l d \n"
            "       68656C6C6F2C20776F726C64\n"
            "\n");
}

struct BodyCase {
  const char* name;
  std::string record;
  std::string body;
};

void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }

class RecordDumpBodyLayout : public ::testing::TestWithParam<BodyCase> {};

TEST_P(RecordDumpBodyLayout, MatchesByteForByte) {
  EXPECT_EQ(RecordDumpBody(kTraceWrite, 2, -2, GetParam().record), GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordDumpBodyLayout,
    ::testing::Values(
        BodyCase{"NineStopsBeforeSecondBar", "abcdefghi",
                 "Write Record: 2, Stream: STDOUT, Length: 9 bytes.\n"
                 "Data: >abcdefghi<\n"
                 "      >| - - - + - - - - \n"
                 "       a b c d e f g h i \n"
                 "       616263646566676869\n"},
        BodyCase{"TenGetsFullFirstRulerAndABlank", "abcdefghij",
                 "Write Record: 2, Stream: STDOUT, Length: 10 bytes.\n"
                 "Data: >abcdefghij<\n"
                 "      >| - - - + - - - - | \n"
                 "       a b c d e f g h i j \n"
                 "       6162636465666768696A\n"},
        BodyCase{"TabShownAsBlankButNotInHex", "a\tb",
                 "Write Record: 2, Stream: STDOUT, Length: 3 bytes.\n"
                 "Data: >a b<\n"
                 "      >| - - \n"
                 "       a   b \n"
                 "       610962\n"},
        BodyCase{"LineFeedShownAsBlankHighByteUnsigned", "\n\xff",
                 "Write Record: 2, Stream: STDOUT, Length: 2 bytes.\n"
                 "Data: > \xff<\n"
                 "      >| - \n"
                 "         \xff \n"
                 "       0AFF\n"},
        BodyCase{"EmbeddedNulCountsInLengthOnly", std::string("ab\0cd", 5),
                 "Write Record: 2, Stream: STDOUT, Length: 5 bytes.\n"
                 "Data: >ab<\n"
                 "      >| - - - + \n"
                 "       a b \n"
                 "       6162\n"},
        BodyCase{"PercentIsKeptAsData", "5%",
                 "Write Record: 2, Stream: STDOUT, Length: 2 bytes.\n"
                 "Data: >5%<\n"
                 "      >| - \n"
                 "       5 % \n"
                 "       3525\n"},
        BodyCase{"EmptyHasNoRuler", "",
                 "Write Record: 2, Stream: STDOUT, Length: 0 bytes.\n"
                 "Data: >(null)<\n"},
        BodyCase{"LeadingNulIsEmpty", std::string("\0xy", 3),
                 "Write Record: 2, Stream: STDOUT, Length: 0 bytes.\n"
                 "Data: >(null)<\n"}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

TEST(RecordDump, EmptyRecordOnTheConsole) {
  RecordDump dump = BuildRecordDump(12, "2 (sub)", 0, "CONSOLE", kTracePeek, 4, -1, "");
  EXPECT_EQ(RecordDumpScreenText(dump),
            "0000000012 Pipe:(2 (sub)),Stage:(0),Type:(CONSOLE): Peek Record: 4, Stream: STDIN, "
            "Length: 0 bytes.\nData: >(null)<\n\n");
}

TEST(RecordDump, RulerMarksEveryTenthAndFifthCharacter) {
  const std::size_t length = 37;
  std::string body = RecordDumpBody(kTracePeek, 1, 0, std::string(length, 'x'));
  std::size_t start = body.find("      >| ");
  ASSERT_NE(start, std::string::npos);
  start += 7;
  std::string ruler = body.substr(start, body.find('\n', start) - start);
  ASSERT_EQ(ruler.size(), 2 * length);
  for (std::size_t k = 1; k <= length; ++k) {
    char expected = (k == 1 || k % 10 == 0) ? '|' : (k % 10 == 5 ? '+' : '-');
    EXPECT_EQ(ruler[2 * (k - 1)], expected) << "under character " << k;
    EXPECT_EQ(ruler[2 * (k - 1) + 1], ' ') << "after character " << k;
  }
}

TEST(RecordDump, OperationAndStreamTexts) {
  EXPECT_EQ(TraceOperationText(0), "Peek");
  EXPECT_EQ(TraceOperationText(1), "Read");
  EXPECT_EQ(TraceOperationText(3), "Write");
  EXPECT_EQ(TraceOperationText(2), "");
  EXPECT_EQ(TraceOperationText(-1), "");
  EXPECT_EQ(TraceStreamText(0), "0");
  EXPECT_EQ(TraceStreamText(17), "17");
  EXPECT_EQ(TraceStreamText(-1), "STDIN");
  EXPECT_EQ(TraceStreamText(-2), "STDOUT");
  EXPECT_EQ(TraceStreamText(-3), "STDERR");
  EXPECT_EQ(TraceStreamText(-4), "");
  EXPECT_EQ(RecordDumpBody(7, 9, -9, "a").substr(0, 30), " Record: 9, Stream: , Length: ");
}

TEST(RecordDump, HeaderPadsTheRequestNumberToTenDigits) {
  EXPECT_EQ(RecordDumpHeader(1234567890, "1", 3, "X"), "1234567890 Pipe:(1),Stage:(3),Type:(X)");
  EXPECT_EQ(RecordDumpHeader(42, "", 0, ""), "0000000042 Pipe:(),Stage:(0),Type:()");
}

}  // namespace
}  // namespace ductrine

// Formatting message texts from typed values: the conversions the tables use,
// and values that are only ever data.

#include "messages/format.h"

#include <gtest/gtest.h>

#include <string>

namespace ductrine {
namespace {

struct Case {
  const char* format;
  MessageArgs values;
  std::string expected;
};

TEST(FormatText, ConversionsAndValuesThatAreNeverFormats) {
  const std::string hostile = "%s%n%d%%";
  const Case cases[] = {
      {"%s and %s", {"one", std::string("two")}, "one and two"},
      {"Rc: %d,", {-2}, "Rc: -2,"},
      {"%ld", {5000000000LL}, "5000000000"},
      {"'%c'", {'|'}, "'|'"},
      {"no: %.3d", {7}, "no: 007"},
      {"no: %.3d", {2016u}, "no: 2016"},
      {"no: %.3d", {-5}, "no: -005"},
      {"%.50s|", {std::string(60, 'r')}, std::string(50, 'r') + "|"},
      {"%.0lf", {12}, "12"},
      {"%I64d ms", {123456789012LL}, "123456789012 ms"},
      {"100%% sure", {}, "100% sure"},
      {"[%-5s][%5d]", {"ab", 42}, "[ab   ][   42]"},
      {"%s", {17}, "17"},  // a number given for text shows as its digits
      {"'%s'", {std::string("ab\0cd", 5)}, "'ab'"},  // text ends at its first NUL
      {"%s|%s", {hostile, "%d"}, "%s%n%d%%|%d"},
      {"'%.50s'", {hostile + std::string(60, 'x')}, "'" + hostile + std::string(42, 'x') + "'"},
      {"%s %d", {"%p%p%p%p", 4}, "%p%p%p%p 4"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatText(c.format, c.values), c.expected) << c.format;
}

TEST(FormatText, MissingValuesAndOddConversionsStaySafe) {
  // Too few values: the literal parts survive and nothing is read beyond the list.
  std::string out = FormatText("a %s b %d c %.50s d", {});
  EXPECT_EQ(out.substr(0, 2), "a ");
  EXPECT_NE(out.find(" b "), std::string::npos);
  EXPECT_NE(out.find(" c "), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 2), " d");
  // A conversion the system never uses is shown as written and takes no value.
  EXPECT_EQ(FormatText("%n %q %s", {"x"}), "%n %q x");
  EXPECT_EQ(FormatText("ends in %", {}), "ends in %");
}

TEST(DoublePercents, FormattingTheDoubledTextGivesItBack) {
  EXPECT_EQ(DoublePercents("a%b%%c"), "a%%b%%%%c");
  const std::string text = "%s%n%d%% 100%";
  EXPECT_EQ(FormatText(DoublePercents(text), {}), text);
}

}  // namespace
}  // namespace ductrine

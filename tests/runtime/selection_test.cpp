#include "runtime/selection.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace ductrine {
namespace {

using namespace std::string_literals;

TEST(Selection, Table) {
  // Each kind of unit cuts a record of its own.
  const auto select = [](char kind, int32_t from, int32_t to) {
    if (kind == 'c') return SelectColumns("uvwxyz", from, to);
    if (kind == 'w') return SelectWords("  one  two three  ", " ", from, to);
    return SelectFields("ab,,kl,mn", ",", from, to);
  };
  const struct {
    char kind;  // columns, words or fields
    int32_t from, to;
    const char* expected;
  } cases[] = {
      {'c', 2, 4, "vwx"}, {'c', -3, -1, "xyz"}, {'c', 5, 10, "yz"}, {'c', 2, -2, "vwxy"},
      // An end one before the start still takes the start column.
      {'c', 3, 2, "w"}, {'c', 3, 1, ""}, {'c', 0, 3, ""}, {'c', -10, 2, "uv"}, {'c', 7, 9, ""},
      {'c', -7, -7, "u"}, {'c', -8, -8, ""}, {'c', INT32_MIN, INT32_MAX, "uvwxyz"},
      {'c', INT32_MAX, INT32_MAX, ""}, {'c', 1, INT32_MIN, ""},
      {'w', 1, 1, "one"}, {'w', 2, 3, "two three"}, {'w', -2, -1, "two three"},
      {'w', 2, 9, "two three  "}, {'w', 4, 5, ""}, {'w', 1, -4, ""},
      // A reversed range of words is the first byte of the first word.
      {'w', 3, 2, "t"},
      // Starts that count nothing begin at the start of the record.
      {'w', 0, 1, "  one"}, {'w', -4, 1, "  one"}, {'w', INT32_MIN, -1, "  one  two three"},
      {'w', 1, INT32_MAX, "one  two three  "},
      {'f', 1, 1, "ab"}, {'f', 2, 2, ""}, {'f', 2, 3, ",kl"}, {'f', -1, -1, "mn"},
      {'f', -3, -1, ",kl,mn"}, {'f', 4, 9, "mn"}, {'f', 3, 1, "kl"}, {'f', -9, 2, "ab,"},
      {'f', 5, 5, ""}, {'f', 0, 3, "ab,,kl"}, {'f', 1, -9, ""}, {'f', INT32_MAX, 1, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(select(c.kind, c.from, c.to), c.expected) << c.kind << c.from << " to " << c.to;
  for (int32_t f : {INT32_MIN, -1, 0, 1, INT32_MAX})
    for (int32_t t : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
      SCOPED_TRACE(testing::Message() << f << " to " << t);
      EXPECT_EQ(SelectColumns("", f, t), "");
      EXPECT_EQ(SelectWords("", " ", f, t), "");
      EXPECT_EQ(SelectFields("", ",", f, t), "");
    }
  // No separators: the record is one unit.
  EXPECT_EQ(SelectWords(" a b ", "", -1, -1), " a b ");
  EXPECT_EQ(SelectWords(" a b ", "", 2, 2), "");
  EXPECT_EQ(SelectFields("a,b", "", 1, 1), "a,b");
  // NUL is an ordinary byte.
  const std::string record = "a\0b c\0"s;
  EXPECT_EQ(SelectColumns(record, 2, 3), "\0b"s);
  EXPECT_EQ(SelectWords(record, " ", 1, 1), "a\0b"s);
  EXPECT_EQ(SelectFields(record, "\0"s, 2, 2), "b c");
}

TEST(Selection, UpperCaseTouchesOnlyAsciiLettersAndReverseKeepsEveryByte) {
  std::string text = "mixed Case 1a\xe4\xfc{`@[z";
  UpperCaseAscii(text);
  EXPECT_EQ(text, "MIXED CASE 1A\xe4\xfc{`@[Z");
  std::string odd = "x\0yz"s;
  ReverseText(odd);
  EXPECT_EQ(odd, "zy\0x"s);
}

}  // namespace
}  // namespace ductrine

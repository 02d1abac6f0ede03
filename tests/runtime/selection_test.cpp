#include "runtime/selection.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace ductrine {
namespace {

using namespace std::string_literals;

std::string Select(char kind, const std::string& record, const std::string& seps, int32_t from,
                   int32_t to) {
  if (kind == 'c') return SelectColumns(record, from, to);
  if (kind == 'w') return SelectWords(record, seps, from, to);
  return SelectFields(record, seps, from, to);
}

TEST(Selection, Table) {
  const std::string words = "  one  two three  ";
  const std::string fields = "ab,,kl,mn";
  struct Case {
    char kind;  // columns, words or fields
    std::string record, seps;
    int32_t from, to;
    std::string expected;
  } const cases[] = {
      {'c', "uvwxyz", "", 2, 4, "vwx"}, {'c', "uvwxyz", "", -3, -1, "xyz"},
      {'c', "uvwxyz", "", 5, 10, "yz"}, {'c', "uvwxyz", "", 2, -2, "vwxy"},
      // An end one before the start still takes the start column.
      {'c', "uvwxyz", "", 3, 2, "w"}, {'c', "uvwxyz", "", 3, 1, ""},
      {'c', "uvwxyz", "", 0, 3, ""}, {'c', "uvwxyz", "", -10, 2, "uv"},
      {'c', "uvwxyz", "", 7, 9, ""}, {'c', "uvwxyz", "", -7, -7, "u"},
      {'c', "uvwxyz", "", -8, -8, ""}, {'c', "uvwxyz", "", INT32_MIN, INT32_MAX, "uvwxyz"},
      {'c', "uvwxyz", "", INT32_MAX, INT32_MAX, ""}, {'c', "uvwxyz", "", 1, INT32_MIN, ""},
      {'w', words, " ", 1, 1, "one"}, {'w', words, " ", 2, 3, "two three"},
      {'w', words, " ", -2, -1, "two three"}, {'w', words, " ", 2, 9, "two three  "},
      // A reversed range of words is the first byte of the first word.
      {'w', words, " ", 3, 2, "t"}, {'w', words, " ", 4, 5, ""}, {'w', words, " ", 1, -4, ""},
      // Starts that count nothing begin at the start of the record.
      {'w', words, " ", 0, 1, "  one"}, {'w', words, " ", -4, 1, "  one"},
      {'w', words, " ", INT32_MIN, -1, "  one  two three"},
      {'w', words, " ", 1, INT32_MAX, "one  two three  "},
      {'f', fields, ",", 1, 1, "ab"}, {'f', fields, ",", 2, 2, ""},
      {'f', fields, ",", 2, 3, ",kl"}, {'f', fields, ",", -1, -1, "mn"},
      {'f', fields, ",", -3, -1, ",kl,mn"}, {'f', fields, ",", 4, 9, "mn"},
      {'f', fields, ",", 3, 1, "kl"}, {'f', fields, ",", -9, 2, "ab,"},
      {'f', fields, ",", 5, 5, ""}, {'f', fields, ",", 0, 3, "ab,,kl"},
      {'f', fields, ",", 1, -9, ""}, {'f', fields, ",", INT32_MAX, 1, ""},
      // No separators: the record is one unit.
      {'w', " a b ", "", 1, 1, " a b "}, {'w', " a b ", "", -1, -1, " a b "},
      {'w', " a b ", "", 2, 2, ""}, {'f', "a,b", "", 1, 1, "a,b"},
      // NUL is an ordinary byte.
      {'c', "a\0b c\0"s, "", 2, 3, "\0b"s}, {'w', "a\0b c\0"s, " ", 1, 1, "a\0b"s},
      {'f', "a\0b c\0"s, "\0"s, 2, 2, "b c"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Select(c.kind, c.record, c.seps, c.from, c.to), c.expected)
        << c.kind << " '" << c.record << "' " << c.from << " to " << c.to;
  for (char kind : {'c', 'w', 'f'})
    for (int32_t f : {INT32_MIN, -1, 0, 1, INT32_MAX})
      for (int32_t t : {INT32_MIN, -1, 0, 1, INT32_MAX})
        EXPECT_EQ(Select(kind, "", ",", f, t), "") << kind << ' ' << f << " to " << t;
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

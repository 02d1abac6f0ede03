#include "runtime/selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace ductrine {
namespace {

struct Case {
  int32_t from;
  int32_t to;
  std::string expected;
};

TEST(SelectColumnsTest, Table) {
  const Case cases[] = {
      {2, 4, "vwx"},  {-3, -1, "xyz"}, {5, 10, "yz"}, {2, -2, "vwxy"},
      {3, 2, "w"},    {1, 0, "u"},     {3, 1, ""},    {0, 3, ""},
      {-10, 2, "uv"}, {7, 9, ""},      {6, 6, "z"},   {-6, -6, "u"},
      // The start is raised to 0 and the end lies one before it: one column.
      {-7, -7, "u"},  {-8, -8, ""},    {INT32_MIN, INT32_MAX, "uvwxyz"},
      {INT32_MAX, INT32_MAX, ""},      {1, INT32_MIN, ""},
      {INT32_MIN, INT32_MIN, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelectColumns("uvwxyz", c.from, c.to), c.expected) << c.from << " to " << c.to;
  }
}

TEST(SelectWordsTest, Table) {
  const std::string record = "  one  two three  ";
  const Case cases[] = {
      {1, 1, "one"},
      {2, 3, "two three"},
      {-2, -1, "two three"},
      {1, -1, "one  two three"},
      {2, 9, "two three  "},
      {-2, 2, "two"},
      {3, 2, "t"},
      {4, 5, ""},
      {1, 0, ""},
      {1, -4, ""},
      // Starts that count nothing begin at the start of the record.
      {0, 1, "  one"},
      {0, 0, ""},
      {0, -4, ""},
      {-4, 1, "  one"},
      {-5, 9, record},
      {INT32_MIN, -1, "  one  two three"},
      {INT32_MAX, INT32_MAX, ""},
      {1, INT32_MAX, "one  two three  "},
      {1, INT32_MIN, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelectWords(record, " ", c.from, c.to), c.expected) << c.from << " to " << c.to;
  }
}

TEST(SelectFieldsTest, Table) {
  const std::string record = "ab,,kl,mn";
  const Case cases[] = {
      {1, 1, "ab"},
      {2, 2, ""},
      {2, 3, ",kl"},
      {-1, -1, "mn"},
      {-2, -1, "kl,mn"},
      {-3, -3, ""},
      {-3, -1, ",kl,mn"},
      {4, 9, "mn"},
      {3, 1, "kl"},
      {-9, 2, "ab,"},
      {5, 5, ""},
      {1, 0, ""},
      {1, -9, ""},
      {3, 2, "kl"},
      {0, 1, "ab"},
      {0, 3, "ab,,kl"},
      {0, 0, ""},
      {INT32_MIN, INT32_MAX, record},
      {INT32_MAX, 1, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelectFields(record, ",", c.from, c.to), c.expected) << c.from << " to " << c.to;
  }
}

TEST(SelectionTest, EmptySeparatorSetMakesOneUnit) {
  EXPECT_EQ(SelectWords(" a b ", "", 1, 1), " a b ");
  EXPECT_EQ(SelectWords(" a b ", "", 2, 2), "");
  EXPECT_EQ(SelectWords(" a b ", "", -1, -1), " a b ");
  EXPECT_EQ(SelectFields("a,b", "", 1, 1), "a,b");
  EXPECT_EQ(SelectFields("a,b", "", 2, 2), "");
}

TEST(SelectionTest, EmptyRecordSelectsNothing) {
  for (int32_t f : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    for (int32_t t : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
      EXPECT_EQ(SelectColumns("", f, t), "");
      EXPECT_EQ(SelectWords("", " ", f, t), "");
      EXPECT_EQ(SelectFields("", ",", f, t), "");
    }
  }
}

TEST(SelectionTest, NulBytesAreOrdinaryBytes) {
  const std::string record("a\0b c\0", 6);
  EXPECT_EQ(SelectColumns(record, 2, 3), std::string("\0b", 2));
  EXPECT_EQ(SelectWords(record, " ", 1, 1), std::string("a\0b", 3));
  EXPECT_EQ(SelectFields(record, std::string_view("\0", 1), 2, 2), "b c");
}

TEST(SelectionTest, UpperCaseTouchesOnlyAsciiLetters) {
  std::string text = "mixed Case 1a\xe4\xfc{`@[z";
  UpperCaseAscii(text);
  EXPECT_EQ(text, "MIXED CASE 1A\xe4\xfc{`@[Z");
}

TEST(SelectionTest, ReverseAfterUpperCase) {
  std::string text = "abc";
  UpperCaseAscii(text);
  ReverseText(text);
  EXPECT_EQ(text, "CBA");
  std::string odd("x\0yz", 4);
  ReverseText(odd);
  EXPECT_EQ(odd, std::string("zy\0x", 4));
}

// --- Reference: the record as a list of tokens, ranges as token ranges. ---

// Columns, one position at a time.
std::string RefColumns(const std::string& r, int f, int t) {
  const int n = static_cast<int>(r.size());
  if (f == 0) return "";
  const int first = f > 0 ? f - 1 : std::max(n + f, 0);
  const int last = t >= 0 ? t - 1 : n + t;
  std::string out;
  if (last == first - 1) {
    if (first < n) out += r[first];
    return out;
  }
  for (int p = first; p <= last && p < n; ++p) out += r[p];
  return out;
}

bool In(char c, const std::string& seps) { return seps.find(c) != std::string::npos; }

// Maps a unit number to a 0-based unit index; -1 when it names none.
int UnitIndex(int x, int m) {
  if (x >= 1 && x <= m) return x - 1;
  if (x <= -1 && x >= -m) return m + x;
  return -1;
}

// Words: alternating runs of separators and of word bytes.
std::string RefWords(const std::string& r, const std::string& seps, int f, int t) {
  std::vector<std::string> tokens;
  std::vector<int> word_token;  // token index of each word
  for (size_t i = 0; i < r.size(); ++i) {
    if (i == 0 || In(r[i], seps) != In(r[i - 1], seps)) {
      tokens.emplace_back();
      if (!In(r[i], seps)) word_token.push_back(static_cast<int>(tokens.size()) - 1);
    }
    tokens.back() += r[i];
  }
  const int m = static_cast<int>(word_token.size());
  if (f > m) return "";
  if (f > 0 && t > 0 && t < f) return tokens[word_token[f - 1]].substr(0, 1);
  const int fi = UnitIndex(f, m);
  const int first = fi < 0 ? 0 : word_token[fi];
  int last;
  if (t > m) {
    last = static_cast<int>(tokens.size()) - 1;
  } else if (int ti = UnitIndex(t, m); ti >= 0) {
    last = word_token[ti];
  } else {
    return "";
  }
  std::string out;
  for (int i = first; i <= last; ++i) out += tokens[i];
  return out;
}

// Fields: the field texts and the separator behind each but the last.
std::string RefFields(const std::string& r, const std::string& seps, int f, int t) {
  std::vector<std::string> fields(1);
  std::vector<char> between;
  for (char c : r) {
    if (In(c, seps)) {
      between.push_back(c);
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  const int m = static_cast<int>(fields.size());
  if (f > m) return "";
  if (f > 0 && t > 0 && t < f) return fields[f - 1];
  const int fi = UnitIndex(f, m);
  const int first = fi < 0 ? 0 : fi;
  int last;
  if (t > m) {
    last = m - 1;
  } else if (int ti = UnitIndex(t, m); ti >= 0) {
    last = ti;
  } else {
    return "";
  }
  std::string out;
  for (int i = first; i <= last; ++i) {
    out += fields[i];
    if (i < last) out += between[i];
  }
  return out;
}

TEST(SelectionTest, MatchesReferenceOnRandomRecords) {
  std::mt19937 rng(20240517);
  const std::string alphabet = "ab ,;";
  const std::string separator_sets[] = {" ", ",;", " ,", ""};
  std::uniform_int_distribution<int> length(0, 12), number(-12, 12);
  std::uniform_int_distribution<size_t> letter(0, alphabet.size() - 1), set(0, 3);
  for (int i = 0; i < 20000; ++i) {
    std::string r;
    for (int k = length(rng); k > 0; --k) r += alphabet[letter(rng)];
    const std::string& seps = separator_sets[set(rng)];
    const int f = number(rng), t = number(rng);
    // Exact-size heap copy so AddressSanitizer sees any read past the end.
    const std::unique_ptr<char[]> exact(new char[r.size() + 1]);
    std::copy(r.begin(), r.end(), exact.get());
    const std::string_view record(exact.get(), r.size());
    ASSERT_EQ(SelectColumns(record, f, t), RefColumns(r, f, t)) << '"' << r << "\" " << f << ' ' << t;
    ASSERT_EQ(SelectWords(record, seps, f, t), RefWords(r, seps, f, t))
        << '"' << r << "\" [" << seps << "] " << f << ' ' << t;
    ASSERT_EQ(SelectFields(record, seps, f, t), RefFields(r, seps, f, t))
        << '"' << r << "\" [" << seps << "] " << f << ' ' << t;
  }
}

}  // namespace
}  // namespace ductrine

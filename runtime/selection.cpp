#include "runtime/selection.h"

#include <algorithm>

namespace ductrine {
namespace {

// All arithmetic on positions and unit numbers is 64-bit: n + f and m + f + 1
// must not overflow for any int32_t from the driver.

// A unit's bytes, [begin, end).
struct Span {
  int64_t begin;
  int64_t end;
};

// Finds words or fields by scanning the record, without allocating: this
// runs once for every record a selecting stage reads.
class Units {
 public:
  Units(std::string_view record, std::string_view separators, bool fields)
      : record_(record), separators_(separators), fields_(fields) {
    count_ = fields_ ? 1 : 0;
    for (size_t i = 0; i < record_.size(); ++i) {
      if (fields_ ? IsSeparator(i) : StartsWord(i)) ++count_;
    }
  }

  int64_t count() const { return count_; }

  // Unit k, 1 <= k <= count().
  Span Get(int64_t k) const {
    const int64_t n = static_cast<int64_t>(record_.size());
    int64_t begin = 0;
    if (fields_) {
      // Field k begins behind the (k-1)th separator.
      for (int64_t seen = 1; seen < k; ++begin) {
        if (IsSeparator(begin)) ++seen;
      }
    } else {
      for (int64_t seen = 0;; ++begin) {
        if (StartsWord(begin) && ++seen == k) break;
      }
    }
    int64_t end = begin;
    while (end < n && !IsSeparator(end)) ++end;
    return {begin, end};
  }

  // The unit that number x names (1..m from the start, -1..-m from the end);
  // 0 when x names none.
  int64_t Index(int64_t x) const {
    if (x >= 1 && x <= count_) return x;
    if (x <= -1 && x >= -count_) return count_ + x + 1;
    return 0;
  }

 private:
  bool IsSeparator(int64_t i) const {
    return separators_.find(record_[static_cast<size_t>(i)]) != std::string_view::npos;
  }
  bool StartsWord(int64_t i) const {
    return !IsSeparator(i) && (i == 0 || IsSeparator(i - 1));
  }

  std::string_view record_;
  std::string_view separators_;
  bool fields_;
  int64_t count_;
};

std::string Cut(std::string_view record, int64_t begin, int64_t end) {
  if (end <= begin) return {};
  return std::string(record.substr(static_cast<size_t>(begin),
                                   static_cast<size_t>(end - begin)));
}

// The words and fields modes differ only in how units are found and in what
// a reversed positive range gives (first byte of the word, the whole field).
std::string SelectUnits(std::string_view record, const Units& units, int64_t f,
                        int64_t t, bool whole_unit_when_reversed) {
  const int64_t n = static_cast<int64_t>(record.size());
  const int64_t m = units.count();
  if (f > m) return {};
  if (f > 0 && t > 0 && t < f) {
    const Span s = units.Get(f);
    return Cut(record, s.begin, whole_unit_when_reversed ? s.end : std::min(s.begin + 1, s.end));
  }
  const int64_t fi = units.Index(f);
  const int64_t start = fi != 0 ? units.Get(fi).begin : 0;  // see the header
  int64_t end;  // exclusive
  if (t > m) {
    end = n;
  } else if (const int64_t ti = units.Index(t); ti != 0) {
    end = units.Get(ti).end;
  } else {
    return {};
  }
  return Cut(record, start, end);
}

}  // namespace

std::string SelectColumns(std::string_view record, int32_t from, int32_t to) {
  const int64_t n = static_cast<int64_t>(record.size());
  const int64_t f = from, t = to;
  const int64_t start = f >= 0 ? f - 1 : std::max<int64_t>(n + f, 0);
  const int64_t last = t >= 0 ? t - 1 : n + t;
  int64_t count = last - start + 1;
  if (count == 0) count = 1;  // an end one before the start still takes the start
  if (start < 0 || count < 0 || start >= n) return {};
  return Cut(record, start, start + std::min(count, n - start));
}

std::string SelectWords(std::string_view record, std::string_view separators,
                        int32_t from, int32_t to) {
  return SelectUnits(record, Units(record, separators, false), from, to, false);
}

std::string SelectFields(std::string_view record, std::string_view separators,
                         int32_t from, int32_t to) {
  return SelectUnits(record, Units(record, separators, true), from, to, true);
}

void UpperCaseAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

void ReverseText(std::string& text) { std::reverse(text.begin(), text.end()); }

}  // namespace ductrine

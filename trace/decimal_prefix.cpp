#include "trace/decimal_prefix.h"

#include <limits>

namespace ductrine {

bool IsTraceWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

DecimalPrefix ParseDecimalPrefix(std::string_view text) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::size_t i = 0;
  while (i < text.size() && IsTraceWhiteSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // The magnitude may reach kMax + 1 for INT32_MIN; past that it stops
  // growing, so the accumulator never overflows however many digits follow.
  std::int64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (overflow) continue;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kMax + 1) overflow = true;
  }
  if (!negative && magnitude > kMax) overflow = true;
  DecimalPrefix result;
  result.overflow = overflow;
  if (overflow) {
    result.value = negative ? std::numeric_limits<std::int32_t>::min()
                            : std::numeric_limits<std::int32_t>::max();
  } else {
    result.value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  }
  return result;
}

}  // namespace ductrine

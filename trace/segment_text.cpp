#include "trace/segment_text.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "trace/decimal_prefix.h"

namespace ductrine {

namespace {

// Length of the field starting at `from`: up to ';', NUL or the end of the view.
std::size_t FieldLength(const char* view, std::size_t from, std::size_t size) {
  std::size_t end = from;
  while (end < size && view[end] != ';' && view[end] != '\0') ++end;
  return end - from;
}

}  // namespace

TraceSegmentCounts ParseTraceSegment(const char* view, std::size_t size) {
  TraceSegmentCounts counts;
  if (view == nullptr) return counts;
  std::size_t first = FieldLength(view, 0, size);
  counts.runCount = ParseDecimalPrefix(std::string_view(view, first)).value;
  // Skip the character that ended the first field, whatever it was.
  std::size_t second = first + 1;
  if (second < size) {
    std::size_t length = FieldLength(view, second, size);
    counts.requestNumber = ParseDecimalPrefix(std::string_view(view + second, length)).value;
  }
  return counts;
}

std::string FormatTraceSegment(std::int32_t runCount, std::int32_t requestNumber) {
  char text[kTraceSegmentTextMax + 1];
  int n = std::snprintf(text, sizeof text, "%d;%d;", static_cast<int>(runCount),
                        static_cast<int>(requestNumber));
  return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

bool StoreTraceSegment(char* view, std::size_t size, std::int32_t runCount,
                       std::int32_t requestNumber) {
  std::string text = FormatTraceSegment(runCount, requestNumber);
  if (view == nullptr || text.size() > size) return false;
  std::memcpy(view, text.data(), text.size());
  return true;
}

}  // namespace ductrine

// The text held by the TRACE shared segment: "%d;%d;" made from the run count
// and the request number, no terminator. These functions only convert between
// that text and the two numbers; mapping the segment and holding the console
// lock around a read-update-write are the caller's business.
// Pure; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ductrine {

// Size of the mapped view of the segment.
inline constexpr std::size_t kTraceSegmentSize = 256;

// Longest text FormatTraceSegment makes: "-2147483648;-2147483648;".
inline constexpr std::size_t kTraceSegmentTextMax = 24;

struct TraceSegmentCounts {
  // 0: the next traced request prompts; n > 0: n more run unasked; -1: none prompts again.
  std::int32_t runCount = 0;
  // Number of the latest traced request, shared by every stage on the segment.
  std::int32_t requestNumber = 0;
};

// Reads the two numbers from the first `size` bytes at `view`. The first
// field runs up to the first ';' or NUL, exactly one character is skipped,
// the second field runs up to the next ';' or NUL; a field that reaches
// `size` ends there. Each field is a decimal prefix (see decimal_prefix.h);
// an empty field is 0, and a number too large for 32 bits is clamped to the
// nearest limit. Never reads at or past view + size.
TraceSegmentCounts ParseTraceSegment(const char* view, std::size_t size);

// The segment text "%d;%d;" for the two numbers.
std::string FormatTraceSegment(std::int32_t runCount, std::int32_t requestNumber);

// Copies FormatTraceSegment's text to the start of the `size` bytes at `view`,
// without a terminator; the bytes after it keep what they held. Returns false
// and changes nothing when the text does not fit.
bool StoreTraceSegment(char* view, std::size_t size, std::int32_t runCount,
                       std::int32_t requestNumber);

}  // namespace ductrine

#include "trace/segment_create.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <random>

#include "trace/segment_text.h"

namespace ductrine {

std::string NewTraceSegmentName() {
  unsigned long long bits = 0;
  try {
    std::random_device random;
    bits = (static_cast<unsigned long long>(random()) << 32) ^ random();
  } catch (const std::exception&) {
    // No source of entropy: the clock is a poor guess to make, and a name
    // that exists is still never taken over.
    bits = static_cast<unsigned long long>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
  }
  char text[64];
  std::snprintf(text, sizeof text, "DuctrineTrace-%u-%016llx", platform::ProcessId(), bits);
  return text;
}

platform::Handle CreateTraceSegment(std::string* name, const std::function<std::string()>& nextName,
                                    int attempts) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    *name = nextName ? nextName() : NewTraceSegmentName();
    platform::Handle segment =
        platform::SharedSegment::CreateExclusive(*name, kTraceSegmentSize, "0;0;");
    if (segment != nullptr) return segment;
    if (platform::LastErrorCode() != platform::SharedSegment::ExistsCode()) return nullptr;
  }
  return nullptr;
}

}  // namespace ductrine

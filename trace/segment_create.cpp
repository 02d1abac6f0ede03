#include "trace/segment_create.h"

#include <cstdio>
#include <random>

#include "trace/segment_text.h"

namespace ductrine {

std::string NewTraceSegmentName() {
  std::random_device random;
  const unsigned long long bits =
      (static_cast<unsigned long long>(random()) << 32) ^ static_cast<unsigned long long>(random());
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

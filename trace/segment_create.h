// The TRACE segment of a traced run, as the driver makes it. Its name holds
// the process id and a random part, so that no other user can make it first
// (a segment under our name would fail the run or be read by them), and a
// name that exists is never taken over or removed: another one is tried.
//
// Called by the driver's thread before the stages start.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

namespace ductrine {

// "DuctrineTrace-<pid>-<16 hex digits at random>".
std::string NewTraceSegmentName();

// A new segment of kTraceSegmentSize bytes holding "0;0;", under the first
// name from `nextName` (NewTraceSegmentName when empty) that does not exist
// yet; `name` receives it. Null, with the error code set and `name` the last
// name tried, after `attempts` names that all existed, or at once on any
// other failure. The caller removes the segment (SharedSegment::Remove).
platform::Handle CreateTraceSegment(std::string* name,
                                    const std::function<std::string()>& nextName = {},
                                    int attempts = 16);

}  // namespace ductrine

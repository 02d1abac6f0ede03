// The TRACE shared segment as the trace point uses it, and the help banner.
// Called only by a trace point that holds the console lock, which makes the
// read, the update and the write back one step; traceSegmentReader is used
// only under that lock.

#include "messages/appl_message.h"
#include "runtime/pipe_set.h"
#include "trace/help_text.h"
#include "trace/segment_text.h"

namespace ductrine {

using platform::SharedSegment;

bool CPipeSet::ReadTraceSegment(std::int32_t& runCount, std::int32_t& requestNumber) {
  // Opened by name for this one read and closed again: nothing of the
  // segment stays mapped or open between record requests.
  traceSegmentReader = SharedSegment::OpenExisting(traceSegmentName);
  if (traceSegmentReader == nullptr) {
    IssueSystemMessage(1031, kSeverityError, {"read from", traceSegmentName});
    return false;
  }
  void* view = SharedSegment::Map(traceSegmentReader, kTraceSegmentSize);
  if (view == nullptr) {
    IssueSystemMessage(1031, kSeverityError, {"read from", traceSegmentName});
    platform::CloseObject(traceSegmentReader);
    traceSegmentReader = nullptr;
    return false;
  }
  TraceSegmentCounts counts = ParseTraceSegment(static_cast<const char*>(view), kTraceSegmentSize);
  SharedSegment::Unmap(view, kTraceSegmentSize);
  platform::CloseObject(traceSegmentReader);
  traceSegmentReader = nullptr;
  runCount = counts.runCount;
  requestNumber = counts.requestNumber;
  return true;
}

bool CPipeSet::WriteTraceSegment(std::int32_t runCount, std::int32_t requestNumber) {
  // The driver's own handle: the writer never opens the segment by name.
  void* view = SharedSegment::Map(traceSegment, kTraceSegmentSize);
  if (view == nullptr) {
    IssueSystemMessage(1031, kSeverityError, {"write to", traceSegmentName});
    return false;
  }
  bool stored =
      StoreTraceSegment(static_cast<char*>(view), kTraceSegmentSize, runCount, requestNumber);
  SharedSegment::Unmap(view, kTraceSegmentSize);
  return stored;
}

void CPipeSet::ShowTraceHelp() {
  CApplMessage message(nullptr);
  message.Write(TraceHelpFormat(traceSource));
}

}  // namespace ductrine

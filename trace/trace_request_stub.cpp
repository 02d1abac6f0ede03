// Temporary: replaced by the trace console.
#include "runtime/pipe_set.h"
namespace ductrine {
bool CPipeSet::ReadTraceSegment(std::int32_t&, std::int32_t&) { return false; }
bool CPipeSet::WriteTraceSegment(std::int32_t, std::int32_t) { return false; }
void CPipeSet::ShowTraceHelp() {}
void CPipeSet::TraceRequest(CProcess&, std::int32_t, std::int32_t, std::uint32_t, const std::string&) {}
}  // namespace ductrine

// The record dump a trace point shows for one record request: a header that
// names the request and the stage, and a body with the record, a ruler, the
// record spaced out under it and its bytes in hexadecimal under that.
//
// On the console the dump is one line group: the header, ": ", the body and
// a line feed, as a CApplMessage with this header writes it. The body is raw
// text and may hold "%" (it carries record data): the caller passes it to the
// message writer as data, never as a format.
// Pure; any thread may call these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ductrine {

// Operations a trace point reports.
inline constexpr std::int32_t kTracePeek = 0;
inline constexpr std::int32_t kTraceRead = 1;
inline constexpr std::int32_t kTraceWrite = 3;

// "Peek", "Read", "Write" for 0, 1, 3; empty for any other value.
std::string TraceOperationText(std::int32_t operation);

// The decimal stream number for 0 and above; "STDIN", "STDOUT", "STDERR"
// for -1, -2, -3; empty for any other negative number.
std::string TraceStreamText(std::int32_t streamNo);

// "%.10d Pipe:(%s),Stage:(%d),Type:(%s)" from the request number, the pipe
// label, the stage index and the stage's type name.
std::string RecordDumpHeader(std::int32_t requestNumber, std::string_view pipeLabel,
                             std::int32_t stageIndex, std::string_view typeName);

// The body for `record`, whose size is its full length (characters after an
// embedded NUL count). A record whose first character is NUL, or that has no
// characters, is shown as empty: length 0, data "(null)", no ruler. Otherwise
// the shown data, spaced text and hex text stop at the first NUL, tab and
// line feed are shown as blanks (but not in hex), and the ruler is cut to
// twice the length.
std::string RecordDumpBody(std::int32_t operation, long recordNumber,
                           std::int32_t streamNo, std::string_view record);

struct RecordDump {
  std::string header;
  std::string body;
};

// Header and body together.
RecordDump BuildRecordDump(std::int32_t requestNumber, std::string_view pipeLabel,
                           std::int32_t stageIndex, std::string_view typeName,
                           std::int32_t operation, long recordNumber,
                           std::int32_t streamNo, std::string_view record);

// The dump as it appears on the console: header, ": ", body, line feed.
std::string RecordDumpScreenText(const RecordDump& dump);

}  // namespace ductrine

#include "trace/record_dump.h"

#include <algorithm>
#include <cstdio>

namespace ductrine {

namespace {

constexpr std::string_view kRulerFirst = "| - - - + - - - - |";
constexpr std::string_view kRulerNext = " - - - - + - - - - |";
// Lines up the ruler, spaced text and hex text with the text after "Data: >".
constexpr std::string_view kIndent = "       ";
constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Decimal(long value) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "%ld", value);
  return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Line(std::string_view operationText, long recordNumber,
                 std::string_view streamText, long length) {
  std::string line;
  line.append(operationText).append(" Record: ").append(Decimal(recordNumber));
  line.append(", Stream: ").append(streamText);
  line.append(", Length: ").append(Decimal(length)).append(" bytes.\n");
  return line;
}

}  // namespace

std::string TraceOperationText(std::int32_t operation) {
  switch (operation) {
    case kTracePeek: return "Peek";
    case kTraceRead: return "Read";
    case kTraceWrite: return "Write";
    default: return "";
  }
}

std::string TraceStreamText(std::int32_t streamNo) {
  if (streamNo >= 0) return Decimal(streamNo);
  switch (streamNo) {
    case -1: return "STDIN";
    case -2: return "STDOUT";
    case -3: return "STDERR";
    default: return "";
  }
}

std::string RecordDumpHeader(std::int32_t requestNumber, std::string_view pipeLabel,
                             std::int32_t stageIndex, std::string_view typeName) {
  char number[32];
  int n = std::snprintf(number, sizeof number, "%.10d", static_cast<int>(requestNumber));
  std::string header(number, n > 0 ? static_cast<std::size_t>(n) : 0);
  header.append(" Pipe:(").append(pipeLabel);
  header.append("),Stage:(").append(Decimal(stageIndex));
  header.append("),Type:(").append(typeName).append(")");
  return header;
}

std::string RecordDumpBody(std::int32_t operation, long recordNumber,
                           std::int32_t streamNo, std::string_view record) {
  std::string operationText = TraceOperationText(operation);
  std::string streamText = TraceStreamText(streamNo);
  if (record.empty() || record.front() == '\0') {
    return Line(operationText, recordNumber, streamText, 0) + "Data: >(null)<\n";
  }

  std::string_view visible = record.substr(0, record.find('\0'));
  std::string shown;
  std::string spaced;
  std::string hex;
  for (char c : visible) {
    // Every other control byte would act on the terminal (ESC starts a
    // control sequence, BEL rings, 0x9B is a CSI of its own): the text
    // shows a dot, the hex the truth.
    unsigned char u = static_cast<unsigned char>(c);
    char s = (c == '\t' || c == '\n') ? ' ' : (u < 0x20 || (u >= 0x7F && u <= 0x9F)) ? '.' : c;
    shown.push_back(s);
    spaced.push_back(s);
    spaced.push_back(' ');
    // Two upper-case digits per byte, as "%0.2X" of the unsigned byte.
    unsigned char byte = static_cast<unsigned char>(c);
    hex.push_back(kHexDigits[byte >> 4]);
    hex.push_back(kHexDigits[byte & 0x0F]);
  }

  std::string ruler(kRulerFirst);
  for (std::size_t i = 0; i < record.size() / 10; ++i) ruler.append(kRulerNext);
  ruler.resize(std::min(ruler.size(), 2 * record.size()));

  std::string body = Line(operationText, recordNumber, streamText,
                          static_cast<long>(record.size()));
  body.append("Data: >").append(shown).append("<\n");
  body.append("      >").append(ruler).append("\n");
  body.append(kIndent).append(spaced).append("\n");
  body.append(kIndent).append(hex).append("\n");
  return body;
}

RecordDump BuildRecordDump(std::int32_t requestNumber, std::string_view pipeLabel,
                           std::int32_t stageIndex, std::string_view typeName,
                           std::int32_t operation, long recordNumber,
                           std::int32_t streamNo, std::string_view record) {
  return RecordDump{RecordDumpHeader(requestNumber, pipeLabel, stageIndex, typeName),
                    RecordDumpBody(operation, recordNumber, streamNo, record)};
}

std::string RecordDumpScreenText(const RecordDump& dump) {
  return dump.header + ": " + dump.body + "\n";
}

}  // namespace ductrine

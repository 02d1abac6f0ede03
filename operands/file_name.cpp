// File names taken off the front of operand or record text, with the checks
// every stage applies to them, and the look-up of an input program file.
//
// Both operations only read the pipeline set; any stage thread may call them.
// File names are used as given: a backslash is an ordinary character here, so
// the checks below refuse what the system refuses and nothing more.

#include "operands/file_name.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "messages/format.h"
#include "messages/reason_text.h"
#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {
namespace {

constexpr std::string_view kRefusedAtEnds = "./:<>|\\";
constexpr std::string_view kRefusedAnywhere = "/<>|";
constexpr std::string_view kRefusedAfterLetter = "/:<>|\\";
constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kDriveRoot = ":\\";
constexpr const char* kValidFilename = "valid filename";

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// The byte classes of the checks below, one bit each, in a table: a name is
// checked in one pass over it, not one search of a set per byte.
enum ByteClass : unsigned char { kAtEnds = 1, kAnywhere = 2, kAfterLetter = 4, kLetter = 8 };
struct ByteClasses {
  unsigned char of[256] = {};
};
constexpr ByteClasses MakeByteClasses() {
  ByteClasses table;
  for (char c : kRefusedAtEnds) table.of[static_cast<unsigned char>(c)] |= kAtEnds;
  for (char c : kRefusedAnywhere) table.of[static_cast<unsigned char>(c)] |= kAnywhere;
  for (char c : kRefusedAfterLetter) table.of[static_cast<unsigned char>(c)] |= kAfterLetter;
  // Either case: the letters are compared in upper case.
  for (char c : kLetters) {
    table.of[static_cast<unsigned char>(c)] |= kLetter;
    table.of[static_cast<unsigned char>(c - 'A' + 'a')] |= kLetter;
  }
  return table;
}
constexpr ByteClasses kByteClasses = MakeByteClasses();

bool Is(char c, ByteClass kind) { return (kByteClasses.of[static_cast<unsigned char>(c)] & kind) != 0; }

bool IsLetter(char c) { return Is(c, kLetter); }

bool ContainsAny(std::string_view text, ByteClass kind) {
  for (char c : text)
    if (Is(c, kind)) return true;
  return false;
}

// A letter followed by ":\" at the second and third positions.
bool StartsWithDriveRoot(std::string_view name) {
  return name.size() >= 3 && IsLetter(name[0]) && Upper(name[1]) == Upper(kDriveRoot[0]) &&
         Upper(name[2]) == Upper(kDriveRoot[1]);
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool IsAcceptedName(std::string_view trimmed) {
  if (Is(trimmed.front(), kAtEnds) || Is(trimmed.back(), kAtEnds)) return false;
  if (ContainsAny(trimmed, kAnywhere)) return false;
  if (IsLetter(trimmed.front()) && !StartsWithDriveRoot(trimmed) &&
      ContainsAny(trimmed, kAfterLetter))
    return false;
  return true;
}

bool HoldsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

// A name for a message line: control bytes would act on the terminal.
std::string ShownName(std::string_view name) { return MaskControls(name); }

bool ParseRecordFileName(CPipeSet& set, CProcess& stage, const std::string& record,
                         std::string* name, std::size_t* rest) {
  // Scanned as a C string, a NUL would end the text: any other byte stands
  // in for it, and the name is then taken from the record's own bytes.
  std::string copy;
  const char* text = record.c_str();
  if (HoldsNul(record)) {
    copy = record;
    for (char& c : copy)
      if (c == '\0') c = '\x01';
    text = copy.c_str();
  }
  const char* cursor = text;
  std::string scanned;
  if (!set.ParseFileName(stage, &cursor, &scanned, false)) return false;
  // Where the scan began: past an opening quote, then past white space.
  std::size_t start = text[0] == '"' ? 1 : 0;
  while (start < record.size() && IsSpace(text[start])) ++start;
  const std::string_view bytes = std::string_view(record).substr(start, scanned.size());
  if (HoldsNul(bytes)) {
    set.IssueMessage(stage, 2005, kSeverityError, {ShownName(bytes), kValidFilename});
    return false;
  }
  *rest = static_cast<std::size_t>(cursor - text);
  *name = std::string(bytes);
  return true;
}

bool CheckStreamFileName(CPipeSet& set, CProcess& stage, std::string_view name) {
  if (!HoldsNul(name)) return true;
  set.IssueMessage(stage, 2005, kSeverityError, {ShownName(name), kValidFilename});
  return false;
}

bool CPipeSet::ParseFileName(CProcess& stage, const char** cursor, std::string* name,
                             bool checkInput) {
  const char* start = *cursor;
  const char* at = start;
  char terminator = ' ';
  if (*at == '"') {
    terminator = '"';
    ++at;
  }
  while (*at != '\0' && IsSpace(*at)) ++at;

  const char* nameStart = at;
  while (*at != '\0' && *at != terminator) ++at;
  const std::string scanned(nameStart, at);
  *cursor = at;

  if (*at == '\0' && terminator == '"') {
    IssueMessage(stage, 2015, kSeverityError, {"\""});
    return false;
  }
  if (scanned.empty()) {
    IssueMessage(stage, 2005, kSeverityError, {start, kValidFilename});
    return false;
  }
  // Never empty: leading white space was skipped before the scan.
  const std::string_view trimmed = Trim(scanned);
  if (!IsAcceptedName(trimmed)) {
    IssueMessage(stage, 2005, kSeverityError, {scanned, kValidFilename});
    return false;
  }

  if (*at != '\0') ++at;
  while (*at != '\0' && IsSpace(*at)) ++at;
  *cursor = at;

  if (name) *name = scanned;
  if (checkInput) return VerifyInputFile(stage, std::string(trimmed));
  return true;
}

bool CPipeSet::VerifyInputFile(CProcess& stage, const std::string& name) {
  std::string resolved;
  if (StartsWithDriveRoot(name)) {
    resolved = name;
  } else {
    resolved = baseDirectory;
    if (resolved.empty() || resolved.back() != platform::kDirectorySeparator)
      resolved += platform::kDirectorySeparator;
    resolved += name;
  }

  std::string tail = resolved.size() >= 4 ? resolved.substr(resolved.size() - 4) : resolved;
  for (char& c : tail) c = Upper(c);
  if (tail != ".REX") resolved += ".rex";

  if (std::FILE* file = platform::OpenFileShared(resolved.c_str(), "r", platform::Share::kDenyWrite)) {
    std::fclose(file);
    return true;
  }
  const int code = platform::LastErrorCode();
  // A lock that another holds is said as such, not as "try again".
  std::string reason = platform::OpenFailureText(code);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (reason.empty()) GetReasonText(code, reason);
  IssueMessage(stage, 2002, kSeverityError, {"Input", resolved, code, reason});
  return false;
}

}  // namespace ductrine

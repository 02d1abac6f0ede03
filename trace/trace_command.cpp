#include "trace/trace_command.h"

#include <cstdio>
#include <initializer_list>
#include <limits>
#include <utility>

#include "trace/decimal_prefix.h"

namespace ductrine {

namespace {

std::size_t SkipWhite(std::string_view text, std::size_t i) {
  while (i < text.size() && IsTraceWhiteSpace(text[i])) ++i;
  return i;
}

std::size_t SkipNonWhite(std::string_view text, std::size_t i) {
  while (i < text.size() && !IsTraceWhiteSpace(text[i])) ++i;
  return i;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsOneOf(std::string_view word, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (name.size() != word.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < word.size() && same; ++i) same = Upper(word[i]) == name[i];
    if (same) return true;
  }
  return false;
}

TraceCommand Refused(std::string explanation) {
  TraceCommand command;
  command.kind = TraceCommandKind::kRefused;
  command.explanation = std::move(explanation);
  return command;
}

TraceCommand Simple(TraceCommandKind kind) {
  TraceCommand command;
  command.kind = kind;
  return command;
}

TraceCommand ParseRun(std::string_view operand) {
  if (operand.empty()) return Simple(TraceCommandKind::kEnter);
  std::size_t countEnd = SkipNonWhite(operand, 0);
  if (SkipWhite(operand, countEnd) != operand.size()) return Refused("");
  std::string_view count = operand.substr(0, countEnd);
  TraceCommand command = Simple(TraceCommandKind::kRun);
  if (count == "*") {
    command.runCount = -1;
    return command;
  }
  DecimalPrefix value = ParseDecimalPrefix(count);
  if (value.overflow || value.value < 1) return Refused(CountRangeSentence());
  command.runCount = value.value - 1;
  return command;
}

}  // namespace

bool AppendCommandPiece(std::string& commandLine, std::string_view piece) {
  piece = piece.substr(0, piece.find('\0'));
  std::size_t room =
      commandLine.size() < kCommandLineCapacity ? kCommandLineCapacity - commandLine.size() : 0;
  if (piece.size() <= room) {
    commandLine.append(piece);
    return true;
  }
  commandLine.append(piece.substr(0, room));
  return false;
}

std::string CountRangeSentence() {
  char text[sizeof kCountRangeFormat + 16];
  int n = std::snprintf(text, sizeof text, kCountRangeFormat,
                        std::numeric_limits<std::int32_t>::max());
  return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

TraceCommand ParseTraceCommand(std::string_view commandLine) {
  commandLine = commandLine.substr(0, commandLine.find('\0'));
  std::size_t wordStart = SkipWhite(commandLine, 0);
  std::size_t wordEnd = SkipNonWhite(commandLine, wordStart);
  std::string_view word = commandLine.substr(wordStart, wordEnd - wordStart);
  std::string_view operand = commandLine.substr(SkipWhite(commandLine, wordEnd));

  if (word.empty()) return Simple(TraceCommandKind::kEnter);
  if (IsOneOf(word, {"R", "RUN"})) return ParseRun(operand);
  // No other command takes an operand; refuse it before looking at the word.
  if (!operand.empty()) return Refused("");
  if (IsOneOf(word, {"H", "HLP", "HELP"})) return Simple(TraceCommandKind::kHelp);
  if (IsOneOf(word, {"S", "SRC", "SOURCE"})) return Simple(TraceCommandKind::kSource);
  if (IsOneOf(word, {"O", "OFF"})) return Simple(TraceCommandKind::kOff);
  if (IsOneOf(word, {"E", "END"})) return Simple(TraceCommandKind::kEnd);
  return Refused("");
}

}  // namespace ductrine

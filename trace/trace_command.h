// The trace console's command line: joining the pieces the console input
// delivers, and parsing the joined line into one command.
//
// Accepted words, compared case-insensitively and only as whole words:
//   <enter> (no word), R RUN [count|*], H HLP HELP, S SRC SOURCE, O OFF, E END.
// A refused command carries the explanation that goes with message 1033.
// Pure; any thread may call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ductrine {

// Characters the command line holds; console input beyond them is dropped.
inline constexpr std::size_t kCommandLineCapacity = 999;

// Largest piece one console line read delivers.
inline constexpr std::size_t kConsolePieceMax = 127;

// Appends `piece` up to its first NUL to `commandLine`, keeping at most
// kCommandLineCapacity characters in all. Returns false when characters had
// to be dropped.
bool AppendCommandPiece(std::string& commandLine, std::string_view piece);

enum class TraceCommandKind { kEnter, kRun, kHelp, kSource, kOff, kEnd, kRefused };

struct TraceCommand {
  TraceCommandKind kind = TraceCommandKind::kEnter;
  // kRun only: the run count to store at once, -1 for "*" and the count less
  // one otherwise (the request being traced is the first of the run).
  std::int32_t runCount = 0;
  // kRefused only: the explanation for message 1033; empty for an unknown
  // word or unexpected operand text, the count sentence for a bad count.
  std::string explanation;
};

// The format of the explanation for a bad Run count.
inline constexpr char kCountRangeFormat[] = "A count in the range: 1 to %d, expected.";

// kCountRangeFormat formatted with the largest count, 2147483647.
std::string CountRangeSentence();

// Parses a command line as typed. The line ends at its first NUL, if any.
// Run without a count is kEnter; Run 1 is kRun with runCount 0, which the
// console treats as enter after storing the count.
TraceCommand ParseTraceCommand(std::string_view commandLine);

}  // namespace ductrine

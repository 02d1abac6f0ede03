// The command line of the pipe command:
//
//   pipe [--record-limit N] [--threads] [--] PIPELINE...
//   pipe --help | --version | --list-stages
//
// Options count only before the first word of the pipeline (or up to "--");
// every later word belongs to the pipeline, and the words are joined with
// single blanks into its text. Pure functions: any thread may call them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "driver/pipeline_parser.h"

namespace ductrine {

inline constexpr std::uint32_t kDefaultRecordLimit = 65536;
inline constexpr std::uint64_t kMinRecordLimit = 2;
inline constexpr std::uint64_t kMaxRecordLimit = 2147483648ULL;

// The version that --version prints; the trace banner shows the same. It
// is the project version set once in CMakeLists.txt.
#ifndef DUCTRINE_VERSION
#error "DUCTRINE_VERSION is defined by the build (the project version)"
#endif
inline constexpr std::string_view kPipeVersion = DUCTRINE_VERSION;

struct CommandLine {
  // kUsage: no pipeline was given (no words, or only blanks).
  enum class Action { kRun, kHelp, kVersion, kListStages, kUsage };
  Action action = Action::kRun;
  std::uint32_t recordLimit = kDefaultRecordLimit;
  bool threadPerStage = false;  // --threads
  std::string pipeline;  // the joined words; empty unless action is kRun
};

// Reads the arguments that follow the program name. --help (-h) wins over
// --version (-V), which wins over --list-stages; none of them needs a
// pipeline. Failures: 1032 for a record limit that is not an unsigned
// integer from 2 to 2147483648, 1018 for --record-limit without a value,
// 1029 for an unknown "--" option.
std::variant<CommandLine, ParseError> ParseCommandLine(std::span<const std::string> args);

// The text that --help prints on standard output, ending in a line feed
// (driver/pipe_help.txt, which the man page pipe(1) is made from too).
std::string_view UsageText();

// What a command line without a pipeline gets on standard error: the two
// usage lines of UsageText and a pointer to --help.
std::string ShortUsageText();

// The exit status of a usage error (no pipeline), the shell's convention.
inline constexpr int kUsageExitStatus = 2;

}  // namespace ductrine

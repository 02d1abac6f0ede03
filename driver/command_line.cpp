#include "driver/command_line.h"

#include <optional>

namespace ductrine {
namespace {

constexpr std::string_view kRecordLimitOption = "--record-limit";

// Decimal digits only: a sign, blanks or a suffix make the value invalid.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kMaxRecordLimit) return std::nullopt;  // also keeps the product from overflowing
  }
  return value;
}

std::optional<ParseError> SetRecordLimit(std::string_view text, CommandLine& out) {
  std::optional<std::uint64_t> value = ParseUnsigned(text);
  if (!value || *value < kMinRecordLimit) {
    return ParseError{1032, {text, static_cast<long long>(kMinRecordLimit),
                             static_cast<long long>(kMaxRecordLimit)}};
  }
  out.recordLimit = static_cast<std::uint32_t>(*value);
  return std::nullopt;
}

bool OnlyBlanks(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

std::variant<CommandLine, ParseError> ParseCommandLine(std::span<const std::string> args) {
  CommandLine out;
  bool help = false;
  bool version = false;
  std::size_t first = args.size();  // first word of the pipeline
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") {
      first = i + 1;
      break;
    }
    // Anything that does not look like a long option begins the pipeline,
    // so "pipe literal --help" writes the record "--help".
    if (arg.size() <= 2 || arg.substr(0, 2) != "--") {
      first = i;
      break;
    }
    if (arg == "--help") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--threads") {
      out.threadPerStage = true;
    } else if (arg == kRecordLimitOption) {
      if (i + 1 >= args.size()) {
        return ParseError{1018, {arg, "an unsigned integer from 2 to 2147483648"}};
      }
      if (std::optional<ParseError> error = SetRecordLimit(args[++i], out)) return *error;
    } else if (arg.size() > kRecordLimitOption.size() && arg.substr(0, kRecordLimitOption.size() + 1) == "--record-limit=") {
      if (std::optional<ParseError> error = SetRecordLimit(arg.substr(kRecordLimitOption.size() + 1), out)) {
        return *error;
      }
    } else {
      return ParseError{1029, {arg}};
    }
  }

  if (help) {
    out.action = CommandLine::Action::kHelp;
    return out;
  }
  if (version) {
    out.action = CommandLine::Action::kVersion;
    return out;
  }
  for (std::size_t i = first; i < args.size(); ++i) {
    if (i > first) out.pipeline += ' ';
    out.pipeline += args[i];
  }
  if (OnlyBlanks(out.pipeline)) return ParseError{1028, {}};
  return out;
}

std::string_view UsageText() {
  return R"(Usage: pipe [--record-limit N] [--threads] [--help] [--version] [--] PIPELINE...

Runs a pipeline: stages connected by record streams, all of them taking
turns on one thread (--threads: each on a thread of its own). The words of PIPELINE are joined with single blanks, so
  pipe "< in.txt | >> out.txt"   and   pipe '<' in.txt '|' '>>' out.txt
mean the same. Options count only before the first word of the pipeline
(or up to "--"): "pipe literal --help" writes the record "--help".
Running an ooRexx program file (PIPE filename.rex) is not supported.

Options:
  --record-limit N  record buffer size, 2 to 2147483648 (default 65536);
                    the longest record is N-1 bytes
  --threads         run each stage on a thread of its own (for stage
                    modules that block in system calls of their own)
  --help            show this text and exit
  --version         show the version and exit

Pipeline:
  [(options)] stage [| stage]... [? stage [| stage]...]...
    "|" separates stages, the end character (none unless set) separates
    pipes; the escape character takes the next character literally.
  options, keywords in any case, separated by blanks:
    ENDCHAR|END c    end character between pipes
    STAGESEP|SEP c   stage separator (default |)
    ESCAPE|ESC c     escape character
    NAME|NAM word    name shown in messages as Pipe(0,word)
    TRACE|TRC        step through the record requests at the terminal
    MONITOR|MON, PRIORITY|PRI n, REGEX|REG grammar
                     accepted; they have no effect in this program
  stage:
    [label:] [[selection]] command [operands]
  label:
    "t: command" defines the stage t; each later "t:" alone connects the
    next stream of t (1, 2, ...) to its neighbours in that pipe.
  selection, the part of each input record that the stage sees:
    [COLUMNS|WORDS|FIELDS from to [SEP chars] [UPPER] [REVERSE]]
    from and to count from the start (1, 2, ...) or the end (-1, -2, ...);
    words are separated by blanks, fields by tabs, unless SEP says otherwise.
    The stage passes on the whole record.

Stages:
  TAILWRITER file (also >> and TAILWRT)
                 append each record as a line to the file, pass it on
  TAILWRITER     with no operand: each record begins with the name of its
                 file (a plain name in the working folder), then the data
  TAILWRITER     with a secondary input stream: each record on it names the
                 file for the next record of the primary input
  CONSOLE        with no input: read standard input, one record per line;
                 otherwise write each record to standard output, pass it on
  LITERAL text   write text as one record, then copy the input
  < file         read the lines of a file as records
  any other word the stage module of that name: the word in lower case with
                 the system's suffix (.so, .dll), from the folders of
                 DUCTRINE_MODULE_PATH when that is set, else from beside
                 pipe or <prefix>/lib/ductrine

Examples:
  pipe "< access.log | >> all.log | console"
  pipe "< lines.txt | >>"
  pipe "(end ?) < data.txt | t: >> | console ? < names.txt | t:"
  pipe "< people.txt | [words 2 2 UPPER] console"
  pipe "(trace) literal hello | >> hello.txt"

Exit status:
  0      every stage ended without error
  1-255  the run's highest return code, or else the largest return code of
         a stage (3: a stage reported an error or did not run); a value
         outside 1 to 255, such as a message number, becomes 255
)";
}

}  // namespace ductrine

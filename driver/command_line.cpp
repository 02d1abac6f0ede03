#include "driver/command_line.h"

#include <optional>

#include "driver/pipe_help.h"

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
  bool listStages = false;
  std::size_t first = args.size();  // first word of the pipeline
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") {
      first = i + 1;
      break;
    }
    // The two short forms, and otherwise anything that does not look like a
    // long option begins the pipeline, so "pipe literal --help" writes the
    // record "--help".
    if (arg == "-h" || arg == "-V") {
      (arg == "-h" ? help : version) = true;
      continue;
    }
    if (arg.size() <= 2 || arg.substr(0, 2) != "--") {
      first = i;
      break;
    }
    if (arg == "--help") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--list-stages") {
      listStages = true;
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
  if (listStages) {
    out.action = CommandLine::Action::kListStages;
    return out;
  }
  for (std::size_t i = first; i < args.size(); ++i) {
    if (i > first) out.pipeline += ' ';
    out.pipeline += args[i];
  }
  if (OnlyBlanks(out.pipeline)) {
    out.pipeline.clear();
    out.action = CommandLine::Action::kUsage;
  }
  return out;
}

std::string_view UsageText() { return kPipeHelpText; }

std::string ShortUsageText() {
  // The first two lines of the help are the usage.
  std::string_view help = kPipeHelpText;
  std::size_t end = help.find('\n', help.find('\n') + 1);
  return std::string(help.substr(0, end + 1)) + "Try 'pipe --help' for more information.\n";
}

}  // namespace ductrine

#include "driver/pipeline_parser.h"

#include <map>
#include <utility>

namespace ductrine {
namespace {

// Blanks separate words. Tabs and line ends count as blanks too, so a
// pipeline written over several lines of a quoted shell string still reads.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsLabelChar(char c) { return IsLetter(c) || (c >= '0' && c <= '9') || c == '_'; }

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  }
  return true;
}

std::string_view TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  std::size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return s.substr(0, n);
}

// The first word of s (s must not start with a blank).
std::string_view FirstWord(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && !IsBlank(s[i])) ++i;
  return s.substr(0, i);
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  for (s = TrimLeft(s); !s.empty(); s = TrimLeft(s)) {
    std::string_view w = FirstWord(s);
    words.push_back(w);
    s.remove_prefix(w.size());
  }
  return words;
}

// An optional sign and decimal digits that fit a signed 32-bit integer.
std::optional<std::int32_t> ParseInt32(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  long long value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

constexpr StageCommand kStageCommands[] = {
    {"TAILWRITER", {"TAILWRITER", ">>", "TAILWRT"}, true},
    {"CONSOLE", {"CONSOLE", "", ""}, false},
    {"LITERAL", {"LITERAL", "", ""}, false},
    {"<", {"<", "", ""}, false},
};

// ---------------------------------------------------------------------------
// Global options.

enum class Option { kEndChar, kStageSep, kEscape, kName, kTrace, kMonitor, kPriority, kRegex };

struct OptionDef {
  Option option;
  std::string_view name;       // shown in messages
  std::string_view shortName;
  std::string_view expected;   // what the value must be; empty for a switch
};

constexpr OptionDef kOptions[] = {
    {Option::kEndChar, "ENDCHAR", "END", "a single character"},
    {Option::kStageSep, "STAGESEP", "SEP", "a single character"},
    {Option::kEscape, "ESCAPE", "ESC", "a single character"},
    {Option::kName, "NAME", "NAM", "a name"},
    {Option::kTrace, "TRACE", "TRC", ""},
    {Option::kMonitor, "MONITOR", "MON", ""},
    {Option::kPriority, "PRIORITY", "PRI", "an integer"},
    {Option::kRegex, "REGEX", "REG", "awk, basic, ECMAScript, egrep, extended or grep"},
};

// Grammar names are matched without regard to case (a user who types
// ecmascript means ECMAScript) and kept in this spelling.
constexpr std::string_view kGrammars[] = {"awk", "basic", "ECMAScript", "egrep", "extended", "grep"};

// Characters that the stage syntax itself needs, so none of them can serve
// as end character, stage separator or escape character.
constexpr std::string_view kReservedChars = " ()[]:";

ParseError Error(std::uint32_t number, MessageArgs args) { return ParseError{number, std::move(args)}; }

class OptionsParser {
 public:
  explicit OptionsParser(ParsedPipeline& out) : out_(out) {}

  std::optional<ParseError> Parse(std::string_view inside) {
    std::vector<std::string_view> words = Words(inside);
    for (std::size_t i = 0; i < words.size(); ++i) {
      std::string_view word = words[i];
      if (!IsLetter(word[0])) return Error(1009, {0u, word[0]});
      const OptionDef* def = Find(word);
      if (def == nullptr) return Error(1010, {Label(), word});
      if (seen_[Index(def->option)]) return Error(1012, {Label(), def->name});
      seen_[Index(def->option)] = true;
      if (def->expected.empty()) {
        if (def->option == Option::kTrace) out_.trace = true;
        if (def->option == Option::kMonitor) out_.monitor = true;
        continue;
      }
      if (i + 1 >= words.size()) return Error(1014, {Label(), def->name, def->expected});
      std::string_view value = words[++i];
      if (std::optional<ParseError> error = Assign(*def, value)) return error;
    }
    return CheckDefaultSeparator();
  }

 private:
  static std::size_t Index(Option o) { return static_cast<std::size_t>(o); }

  static const OptionDef* Find(std::string_view word) {
    for (const OptionDef& def : kOptions) {
      if (EqualNoCase(word, def.name) || EqualNoCase(word, def.shortName)) return &def;
    }
    return nullptr;
  }

  std::string Label() const { return PipeText(0, out_.name); }

  // The characters that option `o` may not take: the reserved ones, then
  // those the other two special characters already hold.
  std::string Refused(Option o, bool withDefaultSep) const {
    std::string refused(kReservedChars);
    if (o != Option::kEndChar && out_.endChar) refused += *out_.endChar;
    if (o != Option::kStageSep && (sepGiven_ || withDefaultSep)) refused += out_.stageSep;
    if (o != Option::kEscape && out_.escapeChar) refused += *out_.escapeChar;
    return refused;
  }

  std::optional<ParseError> Assign(const OptionDef& def, std::string_view value) {
    switch (def.option) {
      case Option::kEndChar:
      case Option::kStageSep:
      case Option::kEscape: {
        std::string refused = Refused(def.option, false);
        if (value.size() != 1 || refused.find(value[0]) != std::string::npos) {
          return Error(1013, {Label(), def.name, value, refused});
        }
        if (def.option == Option::kEndChar) out_.endChar = value[0];
        if (def.option == Option::kStageSep) {
          out_.stageSep = value[0];
          sepGiven_ = true;
        }
        if (def.option == Option::kEscape) out_.escapeChar = value[0];
        return std::nullopt;
      }
      case Option::kName:
        out_.name = std::string(value);
        return std::nullopt;
      case Option::kPriority: {
        std::optional<std::int32_t> n = ParseInt32(value);
        if (!n) return Error(1015, {Label(), def.name, value, def.expected});
        out_.priority = n;
        return std::nullopt;
      }
      case Option::kRegex:
        for (std::string_view grammar : kGrammars) {
          if (EqualNoCase(value, grammar)) {
            out_.regex = std::string(grammar);
            return std::nullopt;
          }
        }
        return Error(1015, {Label(), def.name, value, def.expected});
      default:
        return std::nullopt;
    }
  }

  // The default stage separator is checked once the group is read, so that
  // "(END | SEP !)" is as good as "(SEP ! END |)".
  std::optional<ParseError> CheckDefaultSeparator() const {
    if (sepGiven_) return std::nullopt;
    if (out_.endChar == out_.stageSep) {
      return Error(1013, {Label(), kOptions[0].name, std::string(1, *out_.endChar),
                          Refused(Option::kEndChar, true)});
    }
    if (out_.escapeChar == out_.stageSep) {
      return Error(1013, {Label(), kOptions[2].name, std::string(1, *out_.escapeChar),
                          Refused(Option::kEscape, true)});
    }
    return std::nullopt;
  }

  ParsedPipeline& out_;
  bool seen_[std::size(kOptions)] = {};
  bool sepGiven_ = false;
};

// ---------------------------------------------------------------------------
// Splitting into pipes and stages.

struct SplitPipe {
  std::string_view raw;             // as written, escapes included
  std::vector<std::string> stages;  // escapes resolved
};

std::vector<SplitPipe> Split(std::string_view text, const ParsedPipeline& options) {
  std::vector<SplitPipe> pipes(1);
  pipes.back().stages.emplace_back();
  std::size_t pipeStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    std::string& stage = pipes.back().stages.back();
    if (options.escapeChar && c == *options.escapeChar) {
      // At the very end there is nothing to protect: the escape stands for itself.
      if (i + 1 < text.size()) ++i;
      stage += text[i];
    } else if (options.endChar && c == *options.endChar) {
      pipes.back().raw = text.substr(pipeStart, i - pipeStart);
      pipeStart = i + 1;
      pipes.emplace_back();
      pipes.back().stages.emplace_back();
    } else if (c == options.stageSep) {
      pipes.back().stages.emplace_back();
    } else {
      stage += c;
    }
  }
  pipes.back().raw = text.substr(pipeStart);
  return pipes;
}

// ---------------------------------------------------------------------------
// One stage: [label:] [[selection]] command [operands]

struct StageText {
  std::string label;
  SelectionSpec selection;
  std::string command;
  std::string operands;
};

ParseError SelectionError(const SelectionSpec& sel, std::string_view expected) {
  return Error(1011, {sel.text, expected});
}

// Reads the words between the brackets of sel.text into sel.
std::optional<ParseError> ParseSelection(SelectionSpec& sel) {
  std::string_view inside(sel.text);
  inside = inside.substr(1, inside.size() - 2);
  std::vector<std::string_view> words = Words(inside);
  std::size_t i = 0;
  if (words.empty()) return SelectionError(sel, "COLUMNS, WORDS or FIELDS");
  if (EqualNoCase(words[i], "WORDS")) {
    sel.words = true;
    sel.separators = " ";
  } else if (EqualNoCase(words[i], "FIELDS")) {
    sel.fields = true;
    sel.separators = "\t";
  } else if (!EqualNoCase(words[i], "COLUMNS")) {
    return SelectionError(sel, "COLUMNS, WORDS or FIELDS");
  }
  ++i;
  std::optional<std::int32_t> from = i < words.size() ? ParseInt32(words[i]) : std::nullopt;
  if (!from) return SelectionError(sel, "a 'from' integer");
  ++i;
  std::optional<std::int32_t> to = i < words.size() ? ParseInt32(words[i]) : std::nullopt;
  if (!to) return SelectionError(sel, "a 'to' integer");
  ++i;
  sel.from = *from;
  sel.to = *to;
  // SEP means nothing to columns, so there it is refused like any unknown word.
  const bool hasSeparators = sel.words || sel.fields;
  std::string_view more = hasSeparators ? "SEP, UPPER, REVERSE or ']'" : "UPPER, REVERSE or ']'";
  // A repeated keyword is harmless; the last SEP wins.
  for (; i < words.size(); ++i) {
    if (hasSeparators && EqualNoCase(words[i], "SEP")) {
      if (i + 1 >= words.size()) return SelectionError(sel, "separator characters after SEP");
      sel.separators = std::string(words[++i]);
    } else if (EqualNoCase(words[i], "UPPER")) {
      sel.upper = true;
    } else if (EqualNoCase(words[i], "REVERSE")) {
      sel.reverse = true;
    } else {
      return SelectionError(sel, more);
    }
  }
  sel.active = true;
  return std::nullopt;
}

// A label is a first word of letters, digits and underscores ended by a colon.
bool IsLabel(std::string_view word) {
  if (word.size() < 2 || word.back() != ':') return false;
  for (char c : word.substr(0, word.size() - 1)) {
    if (!IsLabelChar(c)) return false;
  }
  return true;
}

// Takes a stage apart. Whether the pieces make sense together (a label
// without command, an unknown command) is judged by the caller.
std::optional<ParseError> ParseStageText(std::string_view text, StageText& out) {
  std::string_view rest = Trim(text);
  std::string_view first = FirstWord(rest);
  if (IsLabel(first)) {
    out.label = std::string(first.substr(0, first.size() - 1));
    rest = TrimLeft(rest.substr(first.size()));
  }
  if (!rest.empty() && rest[0] == '[') {
    std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      out.selection.text = std::string(rest);
      return SelectionError(out.selection, "']'");
    }
    out.selection.text = std::string(rest.substr(0, close + 1));
    if (std::optional<ParseError> error = ParseSelection(out.selection)) return error;
    rest = TrimLeft(rest.substr(close + 1));
  }
  std::string_view command = FirstWord(rest);
  out.command = std::string(command);
  out.operands = std::string(Trim(rest.substr(command.size())));
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The whole pipeline.

// A stage in its pipe's chain: a real stage, or a reference to a labelled one.
struct ChainLink {
  std::uint32_t stage;
  std::uint32_t stream;  // 0 for the stage itself, n for the label's n-th reference
};

struct LabelEntry {
  std::uint32_t stage;
  std::uint32_t references = 0;
};

class PipelineBuilder {
 public:
  PipelineBuilder(ParsedPipeline& out, const ModuleCommandTest& moduleCommand)
      : out_(out), moduleCommand_(moduleCommand) {}

  std::optional<ParseError> AddPipe(const SplitPipe& split) {
    const auto pipe = static_cast<std::uint32_t>(out_.pipes.size());
    out_.pipes.emplace_back();
    out_.sourceLines.emplace_back(Trim(split.raw));
    std::vector<ChainLink> chain;
    for (std::size_t s = 0; s < split.stages.size(); ++s) {
      const auto textStage = static_cast<std::uint32_t>(s);
      std::optional<ChainLink> link;
      if (std::optional<ParseError> error = AddStage(pipe, textStage, split.stages[s], link)) {
        return error;
      }
      if (link) chain.push_back(*link);
    }
    // Only neighbours in the written pipe are connected; a reference with no
    // stage on one side defines no stream on that side.
    for (std::size_t i = 1; i < chain.size(); ++i) {
      out_.connections.push_back({chain[i - 1].stage, chain[i - 1].stream, chain[i].stage, chain[i].stream});
    }
    return std::nullopt;
  }

  std::optional<ParseError> Finish() {
    for (const Connection& c : out_.connections) {
      StageSpec& from = out_.stages[c.fromStage];
      StageSpec& to = out_.stages[c.toStage];
      if (c.fromStream + 1 > from.outputStreams) from.outputStreams = c.fromStream + 1;
      if (c.toStream + 1 > to.inputStreams) to.inputStreams = c.toStream + 1;
    }
    // A selecting stage passes on the last record it received; with nothing
    // received, all it wrote would be replaced by an empty record.
    for (const StageSpec& stage : out_.stages) {
      if (stage.selection.active && stage.inputStreams == 0) {
        return SelectionError(stage.selection, "a connected input stream");
      }
    }
    return std::nullopt;
  }

 private:
  std::optional<ParseError> AddStage(std::uint32_t pipe, std::uint32_t textStage, std::string_view text,
                                     std::optional<ChainLink>& link) {
    const std::string label = PipeText(pipe, out_.name);
    if (Trim(text).empty()) return Error(1006, {label, textStage});
    StageText parsed;
    if (std::optional<ParseError> error = ParseStageText(text, parsed)) return error;

    if (parsed.command.empty()) {
      if (parsed.label.empty()) return Error(1006, {label, textStage});
      if (parsed.selection.active) return Error(1022, {label, textStage, parsed.label + ":"});
      auto found = labels_.find(parsed.label);
      if (found == labels_.end()) return Error(1021, {label, textStage, parsed.label + ":"});
      link = ChainLink{found->second.stage, ++found->second.references};
      return std::nullopt;
    }

    if (!parsed.label.empty()) {
      auto found = labels_.find(parsed.label);
      if (found != labels_.end()) {
        const StageSpec& definer = out_.stages[found->second.stage];
        return Error(1023, {label, textStage, parsed.label + ":", PipeText(definer.pipe, out_.name),
                            definer.textStage});
      }
    }
    StageSpec stage;
    if (std::optional<std::uint32_t> type = FindStageCommand(parsed.command)) {
      stage.typeIndex = *type;
      stage.typeName = std::string(kStageCommands[*type].typeName);
    } else if (IsModuleCommandWord(parsed.command) && moduleCommand_ && moduleCommand_(parsed.command)) {
      stage.typeIndex = kModuleCommandType;
      for (char c : parsed.command) stage.typeName += UpperChar(c);
    } else {
      return Error(1007, {label, textStage, parsed.command});
    }

    const auto index = static_cast<std::uint32_t>(out_.stages.size());
    stage.label = parsed.label;
    stage.command = std::move(parsed.command);
    stage.operands = std::move(parsed.operands);
    stage.selection = std::move(parsed.selection);
    stage.pipe = pipe;
    stage.stageInPipe = static_cast<std::uint32_t>(out_.pipes[pipe].size());
    stage.textStage = textStage;
    out_.stages.push_back(std::move(stage));
    out_.pipes[pipe].push_back(index);
    if (!parsed.label.empty()) labels_.emplace(parsed.label, LabelEntry{index});
    link = ChainLink{index, 0};
    return std::nullopt;
  }

  ParsedPipeline& out_;
  const ModuleCommandTest& moduleCommand_;
  std::map<std::string, LabelEntry> labels_;  // labels are case-sensitive
};

}  // namespace

std::span<const StageCommand> StageCommands() { return kStageCommands; }

std::optional<std::uint32_t> FindStageCommand(std::string_view word) {
  if (word.empty()) return std::nullopt;
  for (std::uint32_t i = 0; i < std::size(kStageCommands); ++i) {
    for (std::string_view name : kStageCommands[i].names) {
      if (!name.empty() && EqualNoCase(word, name)) return i;
    }
  }
  return std::nullopt;
}

bool IsModuleCommandWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!IsLabelChar(c) && c != '-') return false;
  }
  return true;
}

std::string PipeText(std::uint32_t pipe, std::string_view name) {
  std::string text = std::to_string(pipe);
  if (!name.empty()) {
    text += ',';
    text += name;
  }
  return text;
}

std::variant<ParsedPipeline, ParseError> ParsePipeline(std::string_view text,
                                                       const ModuleCommandTest& moduleCommand) {
  ParsedPipeline out;
  std::string_view rest = TrimLeft(text);
  if (!rest.empty() && rest[0] == '(') {
    std::size_t close = rest.find(')');
    if (close == std::string_view::npos) return Error(1008, {0u, ')'});
    out.optionsText = std::string(rest.substr(0, close + 1));
    OptionsParser options(out);
    if (std::optional<ParseError> error = options.Parse(rest.substr(1, close - 1))) return *error;
    rest = rest.substr(close + 1);
  }

  PipelineBuilder builder(out, moduleCommand);
  for (const SplitPipe& pipe : Split(rest, out)) {
    if (std::optional<ParseError> error = builder.AddPipe(pipe)) return *error;
  }
  if (std::optional<ParseError> error = builder.Finish()) return *error;
  return out;
}

}  // namespace ductrine

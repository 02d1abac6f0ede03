// The user's text: the command line, then the pipeline it gives.
#include "driver/pipeline_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/command_line.h"
#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

using Strings = std::vector<std::string>;

// "run LIMIT 'PIPELINE'", "help", "version", "list", "usage", or the
// refusal described.
std::string ParseLine(const Strings& args) {
  auto result = ParseCommandLine(args);
  if (const ParseError* error = std::get_if<ParseError>(&result)) return testing::Describe(*error);
  const CommandLine& line = std::get<CommandLine>(result);
  switch (line.action) {
    case CommandLine::Action::kHelp: return "help";
    case CommandLine::Action::kVersion: return "version";
    case CommandLine::Action::kListStages: return "list";
    case CommandLine::Action::kUsage: return "usage";
    case CommandLine::Action::kRun: break;
  }
  return "run " + std::to_string(line.recordLimit) + " '" + line.pipeline + "'";
}

TEST(CommandLineTest, ReadsOrRefusesEachLine) {
  const std::pair<Strings, const char*> cases[] = {
      // Options after the first pipeline word belong to the pipeline.
      {{"literal", "--record-limit", "1"}, "run 65536 'literal --record-limit 1'"},
      {{"--record-limit", "10", "--", "--help", "--"}, "run 10 '--help --'"},
      {{"--version", "--help"}, "help"},
      {{"--version", "literal", "x"}, "version"},
      {{"-V", "-h"}, "help"},
      {{"-V"}, "version"},
      {{"--list-stages", "-V"}, "version"},
      {{"--threads", "--list-stages"}, "list"},
      {{"literal", "-h"}, "run 65536 'literal -h'"},
      {{"--record-limit", "2", "literal"}, "run 2 'literal'"},
      {{"--record-limit", "2147483648", "literal"}, "run 2147483648 'literal'"},
      {{"--record-limit=0100", "literal"}, "run 100 'literal'"},
      {{"--record-limit", "0", "literal"}, "1032 '0' 2 2147483648"},
      {{"--record-limit", "99999999999999999999999", "x"}, "1032 '99999999999999999999999' 2 2147483648"},
      {{"--record-limit=5k", "literal"}, "1032 '5k' 2 2147483648"},
      {{"--record-limit"}, "1018 '--record-limit' 'an unsigned integer from 2 to 2147483648'"},
      {{"--bogus", "literal"}, "1029 '--bogus'"},
      {{}, "usage"},
      {{"  ", ""}, "usage"},
      {{"--record-limit", "100"}, "usage"},
  };
  for (const auto& [args, want] : cases) EXPECT_EQ(ParseLine(args), want) << ::testing::PrintToString(args);
}

// The refusal as Describe shows it; else each pipe's stages ("|" between
// stages, "?" between pipes), then every connection as "from>to" by stage
// index, with ".stream" when not stream 0.
std::string Parse(std::string_view text, const ModuleCommandTest& modules = {}) {
  auto result = ParsePipeline(text, modules);
  if (const ParseError* error = std::get_if<ParseError>(&result)) return testing::Describe(*error);
  const ParsedPipeline& p = std::get<ParsedPipeline>(result);
  std::string out;
  for (std::size_t i = 0; i < p.pipes.size(); ++i) {
    if (i) out += " ? ";
    for (std::size_t s = 0; s < p.pipes[i].size(); ++s) {
      const StageSpec& stage = p.stages[p.pipes[i][s]];
      const SelectionSpec& sel = stage.selection;
      out += (s ? " | " : "") + (stage.label.empty() ? "" : stage.label + ": ");
      if (sel.active)
        out += std::string(sel.words ? "<words " : sel.fields ? "<fields " : "<columns ") + std::to_string(sel.from) +
               " " + std::to_string(sel.to) + " '" + sel.separators + "'" + (sel.upper ? " upper" : "") +
               (sel.reverse ? " reverse" : "") + "> ";
      out += stage.typeName + " '" + stage.operands + "'";
    }
  }
  auto at = [](std::uint32_t stage, std::uint32_t stream) {
    return std::to_string(stage) + (stream ? "." + std::to_string(stream) : "");
  };
  for (const auto& k : p.connections) out += " " + at(k.fromStage, k.fromStream) + ">" + at(k.toStage, k.toStream);
  return out;
}

TEST(ParsePipelineTest, ReadsOrRefusesEachText) {
  // A word that names no type of the driver is a module command when this
  // finds its module; words that could name a file elsewhere never reach it.
  Strings asked;
  ModuleCommandTest modules = [&](std::string_view word) {
    asked.emplace_back(word);
    return word == "Locate" || word == "my-stage_2";
  };
  const std::pair<const char*, const char*> cases[] = {
      // Options: any case, long or short names.
      // An escape protects any character; at the very end it stands for itself.
      {"  ( END ? stagesep ! Esc \\ nam main TRACE mon PRI -5 reg ecmascript ) console ? literal x\\!y ! literal | z\\",
       "CONSOLE '' ? LITERAL 'x!y' | LITERAL '| z\\' 1>2"},
      {"()literal    (x)  ? y    |Console  ", "LITERAL '(x)  ? y' | CONSOLE '' 0>1"},
      {"(end |  sep !) literal a ! literal b | literal c", "LITERAL 'a' | LITERAL 'b' ? LITERAL 'c' 0>1"},
      {"  (", "1008 0 41"},                      // ')'
      {"(trace , end ?) literal", "1009 0 44"},  // ','
      {"(name main trace2) literal", "1010 '0,main' 'trace2'"},
      {"(end ? endchar !) literal", "1012 '0' 'ENDCHAR'"},
      {"(end ? esc ?) literal", "1013 '0' 'ESCAPE' '?' ' ()[]:?'"},
      {"(esc \\ sep !  end \\) literal", "1013 '0' 'ENDCHAR' '\\' ' ()[]:!\\'"},
      // The default stage separator is taken, whichever order the group has.
      {"(esc | end ?) literal", "1013 '0' 'ESCAPE' '|' ' ()[]:?|'"},
      {"(name)", "1014 '0' 'NAME' 'a name'"},
      {"(pri 2147483648)", "1015 '0' 'PRIORITY' '2147483648' 'an integer'"},
      {"", "1006 '0' 0"},
      {"(name main end ?) literal x ? literal y | ", "1006 '1,main' 1"},
      {"literal x | [words 1 1]", "1006 '0' 1"},
      {"t:>> out.txt", "1007 '0' 0 't:>>'"},
      {"a-b: literal x", "1007 '0' 0 'a-b:'"},
      {"literal a | Locate x  y | >> f | my-stage_2",
       "LITERAL 'a' | LOCATE 'x  y' | TAILWRITER 'f' | MY-STAGE_2 '' 0>1 1>2 2>3"},
      {"(name n) literal x | nothing", "1007 '0,n' 1 'nothing'"},
      {"literal a | ../locate", "1007 '0' 1 '../locate'"},
      {"(esc \\) literal x | [fields 1 2 Sep \\|,] console", "LITERAL 'x' | <fields 1 2 '|,'> CONSOLE '' 0>1"},
      {"literal | [words 2 -1] console | t: [FIELDS -2147483648 +2147483647]>>",
       "LITERAL '' | <words 2 -1 ' '> CONSOLE '' | t: <fields -2147483648 2147483647 '\t'> TAILWRITER '' 0>1 1>2"},
      {"literal | [Columns -3 7 reverse UPPER] >> out.txt",
       "LITERAL '' | <columns -3 7 '' upper reverse> TAILWRITER 'out.txt' 0>1"},
      {"literal | [] console", "1011 '[]' 'COLUMNS, WORDS or FIELDS'"},
      {"literal | [words] console", "1011 '[words]' 'a 'from' integer'"},
      {"literal | [words -2147483649 1] console", "1011 '[words -2147483649 1]' 'a 'from' integer'"},
      {"literal | [columns 1 2 sep ,] console", "1011 '[columns 1 2 sep ,]' 'UPPER, REVERSE or ']''"},
      {"literal | [words 1 2 lower] console", "1011 '[words 1 2 lower]' 'SEP, UPPER, REVERSE or ']''"},
      {"literal | [fields 1 2 sep] console", "1011 '[fields 1 2 sep]' 'separator characters after SEP'"},
      // Unescaped, the stage separator ends the stage inside the group.
      {"literal | [fields 1 2 sep |] console", "1011 '[fields 1 2 sep' '']''"},
      // Labels: a reference is no stage of its pipe; it connects the label's
      // next stream to its neighbours, and counts without neighbours too.
      {"(end ?) literal a | t: literal b | console ? literal c | t: | console",
       "LITERAL 'a' | t: LITERAL 'b' | CONSOLE '' ? LITERAL 'c' | CONSOLE '' 0>1 1>2 3>1.1 1.1>4"},
      // A selection needs an input, here from a reference.
      {"(end ?) t: [words 1 1] >> | console ? t: ? literal c | t:",
       "t: <words 1 1 ' '> TAILWRITER '' | CONSOLE '' ?  ? LITERAL 'c' 0>1 2>0.2"},
      // A reference that adds an output stream gives no input.
      {"(end ?) t: [fields 1 2] literal a ? t: | console", "1011 '[fields 1 2]' 'a connected input stream'"},
      // A reference before the definition refers to nothing yet; labels are
      // case-sensitive.
      {"(end ?) literal x | t: ? t: console", "1021 '0' 1 't:'"},
      {"(end ?) T: literal x ? literal y | t:", "1021 '1' 1 't:'"},
      {"(end ?) t: >> a ? literal y | t: [words 1 1]", "1022 '1' 1 't:'"},
      {"(name n end ?) literal | t: literal x ? literal y | console | t: >>", "1023 '1,n' 2 't:' '0,n' 1"},
  };
  for (auto [text, want] : cases) EXPECT_EQ(Parse(text, modules), want) << text;
  EXPECT_EQ(asked, (Strings{"Locate", "my-stage_2", "nothing"}));
  EXPECT_EQ(Parse("literal a | Locate"), "1007 '0' 1 'Locate'") << "without a test no module command exists";
}

}  // namespace
}  // namespace ductrine

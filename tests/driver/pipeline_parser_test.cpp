#include "driver/pipeline_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

using ::ductrine::testing::SameError;
using Link = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;
using Streams = std::pair<std::uint32_t, std::uint32_t>;  // inputs, outputs
using Strings = std::vector<std::string>;

ParsedPipeline Parsed(std::string_view text) {
  auto result = ParsePipeline(text);
  if (const ParseError* error = std::get_if<ParseError>(&result)) {
    ADD_FAILURE() << "refused: " << text << "\n  " << testing::Describe(error->number, error->args);
    return {};
  }
  return std::get<ParsedPipeline>(result);
}

// "label: [selection as read] TYPE command 'operands'"
std::string Show(const StageSpec& s) {
  std::string text = s.label.empty() ? "" : s.label + ": ";
  if (const SelectionSpec& sel = s.selection; sel.active) {
    std::string mode = std::string(sel.words ? "words" : "") + (sel.fields ? "fields" : "");
    text += sel.text + "=" + (mode.empty() ? "columns" : mode) + " " + std::to_string(sel.from) + " " +
            std::to_string(sel.to) + " '" + sel.separators + "'" + (sel.upper ? " upper" : "") +
            (sel.reverse ? " reverse" : "") + " ";
  }
  return text + std::string(StageCommands()[s.typeIndex].typeName) + " " + s.command + " '" + s.operands + "'";
}

// "[options group] end sep esc name=.. pri=.. regex=.. :: " then each pipe's
// stages joined by " | ", the pipes joined by " ? ".
std::string Dump(const ParsedPipeline& p) {
  auto ch = [](std::optional<char> c) { return c ? std::string(1, *c) : std::string("-"); };
  std::string text = "[" + p.optionsText + "] " + ch(p.endChar) + p.stageSep + ch(p.escapeChar) +
                     " name=" + p.name + (p.trace ? " trace" : "") + (p.monitor ? " monitor" : "") +
                     " pri=" + (p.priority ? std::to_string(*p.priority) : "-") + " regex=" + p.regex + " ::";
  for (std::size_t i = 0; i < p.pipes.size(); ++i) {
    if (i) text += " ?";
    for (std::size_t s = 0; s < p.pipes[i].size(); ++s) text += (s ? " | " : " ") + Show(p.stages[p.pipes[i][s]]);
  }
  return text;
}

// ---------------------------------------------------------------------------
// Every refusal, with its exact message number and values. The end-to-end
// script pins the message lines of the plainer cases of each number.

TEST(ParsePipelineTest, RefusalsGiveMessageAndValues) {
  struct Case { const char* text; std::uint32_t number; MessageArgs args; };
  const Case cases[] = {
      // Options.
      {"  (", 1008, {0, ')'}},
      {"(trace , end ?) literal", 1009, {0, ','}},
      {"(name main trace2) literal", 1010, {"0,main", "trace2"}},
      {"(end ? endchar !) literal", 1012, {"0", "ENDCHAR"}},
      {"(end ? esc ?) literal", 1013, {"0", "ESCAPE", "?", " ()[]:?"}},
      {"(esc \\ sep !  end \\) literal", 1013, {"0", "ENDCHAR", "\\", " ()[]:!\\"}},
      // The default stage separator is taken, whichever order the group has.
      {"(esc | end ?) literal", 1013, {"0", "ESCAPE", "|", " ()[]:?|"}},
      {"(name)", 1014, {"0", "NAME", "a name"}},
      {"(pri 2147483648)", 1015, {"0", "PRIORITY", "2147483648", "an integer"}},
      {"(pri -)", 1015, {"0", "PRIORITY", "-", "an integer"}},
      // Stages.
      {"", 1006, {"0", 0}},
      {"(name main end ?) literal x ? literal y | ", 1006, {"1,main", 1}},
      {"literal x | [words 1 1]", 1006, {"0", 1}},
      {"t:>> out.txt", 1007, {"0", 0, "t:>>"}},
      {"a-b: literal x", 1007, {"0", 0, "a-b:"}},
      {"(name n) literal x | tail", 1007, {"0,n", 1, "tail"}},
      // Selections.
      {"literal | [] console", 1011, {"[]", "COLUMNS, WORDS or FIELDS"}},
      {"literal | [words] console", 1011, {"[words]", "a 'from' integer"}},
      {"literal | [words -2147483649 1] console", 1011, {"[words -2147483649 1]", "a 'from' integer"}},
      {"literal | [columns 1 2 sep ,] console", 1011, {"[columns 1 2 sep ,]", "UPPER, REVERSE or ']'"}},
      {"literal | [words 1 2 lower] console", 1011, {"[words 1 2 lower]", "SEP, UPPER, REVERSE or ']'"}},
      {"literal | [fields 1 2 sep] console", 1011, {"[fields 1 2 sep]", "separator characters after SEP"}},
      // Unescaped, the stage separator ends the stage inside the group.
      {"literal | [fields 1 2 sep |] console", 1011, {"[fields 1 2 sep", "']'"}},
      // A reference that adds an output stream gives no input.
      {"(end ?) t: [fields 1 2] literal a ? t: | console", 1011, {"[fields 1 2]", "a connected input stream"}},
      // Labels: a reference before the definition refers to nothing yet;
      // labels are case-sensitive.
      {"(end ?) literal x | t: ? t: console", 1021, {"0", 1, "t:"}},
      {"(end ?) T: literal x ? literal y | t:", 1021, {"1", 1, "t:"}},
      {"(end ?) t: >> a ? literal y | t: [words 1 1]", 1022, {"1", 1, "t:"}},
      {"(name n end ?) literal | t: literal x ? literal y | console | t: >>", 1023, {"1,n", 2, "t:", "0,n", 1}},
  };
  for (const Case& c : cases) {
    auto result = ParsePipeline(c.text);
    const ParseError* error = std::get_if<ParseError>(&result);
    ASSERT_NE(error, nullptr) << c.text;
    EXPECT_TRUE(SameError(*error, c.number, c.args)) << c.text;
  }
}

// ---------------------------------------------------------------------------
// Connections; BuildPipeSet's tests cover the plain ones on the built set.

TEST(ParsePipelineTest, ConnectsNeighboursAndNumbersReferenceStreams) {
  struct LinkCase {
    const char* text;
    std::vector<std::vector<std::uint32_t>> pipes;
    std::vector<Link> links;
    std::vector<Streams> streams;  // per stage
  };
  const LinkCase cases[] = {
      // A reference in the middle of a pipe defines both sides.
      {"(end ?) literal a | t: literal b | console ? literal c | t: | console", {{0, 1, 2}, {3, 4}},
       {{0, 0, 1, 0}, {1, 0, 2, 0}, {3, 0, 1, 1}, {1, 1, 4, 0}}, {{0, 1}, {2, 2}, {1, 0}, {0, 1}, {1, 0}}},
      // A reference without neighbours still counts.
      {"(end ?) t: >> | console ? t: ? literal c | t:", {{0, 1}, {}, {2}},
       {{0, 0, 1, 0}, {2, 0, 0, 2}}, {{3, 1}, {1, 0}, {0, 1}}},
      // A selection is allowed when a reference supplies the input.
      {"(end ?) t: [words 1 1] console ? literal a | t:", {{0}, {1}}, {{1, 0, 0, 1}}, {{2, 0}, {0, 1}}},
  };
  for (const LinkCase& c : cases) {
    ParsedPipeline p = Parsed(c.text);
    std::vector<Link> links;
    for (const Connection& k : p.connections) links.emplace_back(k.fromStage, k.fromStream, k.toStage, k.toStream);
    std::vector<Streams> streams;
    for (const StageSpec& s : p.stages) streams.emplace_back(s.inputStreams, s.outputStreams);
    EXPECT_EQ(p.pipes, c.pipes) << c.text;
    EXPECT_EQ(links, c.links) << c.text;
    EXPECT_EQ(streams, c.streams) << c.text;
  }
}

// ---------------------------------------------------------------------------
// Options, splitting with separators and escapes, stages and selections.

TEST(ParsePipelineTest, ReadsOptionsStagesAndSelections) {
  const std::pair<const char*, const char*> cases[] = {
      {"  ( END ? sep ! Esc \\ nam main TRC mon PRI -5 reg ecmascript ) literal x",
       "[( END ? sep ! Esc \\ nam main TRC mon PRI -5 reg ecmascript )] ?!\\ name=main trace monitor pri=-5 "
       "regex=ECMAScript :: LITERAL literal 'x'"},
      {"(endchar ? stagesep ! escape \\ name n trace monitor priority 3 regex GREP) literal",
       "[(endchar ? stagesep ! escape \\ name n trace monitor priority 3 regex GREP)] ?!\\ name=n trace monitor "
       "pri=3 regex=grep :: LITERAL literal ''"},
      {"()literal x ? y", "[()] -|- name= pri=- regex= :: LITERAL literal 'x ? y'"},
      // A parenthesis later in the text is no options group.
      {"literal (x) y", "[] -|- name= pri=- regex= :: LITERAL literal '(x) y'"},
      {"  literal    a  b    |Console  ", "[] -|- name= pri=- regex= :: LITERAL literal 'a  b' | CONSOLE Console ''"},
      // An escape protects any character; at the very end it stands for itself.
      {"(esc \\) literal \\a\\", "[(esc \\)] -|\\ name= pri=- regex= :: LITERAL literal 'a\\'"},
      {"(end |  sep !) literal a ! literal b | literal c",
       "[(end |  sep !)] |!- name= pri=- regex= :: LITERAL literal 'a' | LITERAL literal 'b' ? LITERAL literal 'c'"},
      {"(esc \\) literal x | [fields 1 2 sep \\|] console",
       "[(esc \\)] -|\\ name= pri=- regex= :: LITERAL literal 'x' | "
       "[fields 1 2 sep |]=fields 1 2 '|' CONSOLE console ''"},
      {"literal | [words 2 -1] console",
       "[] -|- name= pri=- regex= :: LITERAL literal '' | [words 2 -1]=words 2 -1 ' ' CONSOLE console ''"},
      {"literal | [FIELDS -3 7 Sep ,; reverse UPPER] >> out.txt",
       "[] -|- name= pri=- regex= :: LITERAL literal '' | "
       "[FIELDS -3 7 Sep ,; reverse UPPER]=fields -3 7 ',;' upper reverse TAILWRITER >> 'out.txt'"},
      {"literal | [Columns -2147483648 +2147483647] console",
       "[] -|- name= pri=- regex= :: LITERAL literal '' | "
       "[Columns -2147483648 +2147483647]=columns -2147483648 2147483647 '' CONSOLE console ''"},
      {"literal | t: [fields 1 1]>>",
       "[] -|- name= pri=- regex= :: LITERAL literal '' | t: [fields 1 1]=fields 1 1 '\t' TAILWRITER >> ''"},
  };
  for (auto [text, dump] : cases) EXPECT_EQ(Dump(Parsed(text)), dump) << text;
}

TEST(ParsePipelineTest, KeepsSourceLinesAndPositions) {
  EXPECT_EQ(Parsed("  literal    a  b    |Console  ").sourceLines, Strings{"literal    a  b    |Console"});
  EXPECT_EQ(Parsed("(esc \\ end ?)  literal a\\|b ?  console  ").sourceLines, (Strings{"literal a\\|b", "console"}))
      << "escapes kept as written";
  // The reference is a stage of the text but not of the pipe.
  ParsedPipeline p = Parsed("(end ?) literal a | t: literal b | console ? literal c | t: | console");
  EXPECT_EQ(p.stages.at(3).pipe, 1u);
  EXPECT_EQ(p.stages.at(4).stageInPipe, 1u);
  EXPECT_EQ(p.stages.at(4).textStage, 2u);
}

// A word that names no type of the driver is a module command when the
// test finds its module; built-in words and words that could name a file
// elsewhere are never asked about.
TEST(ParsePipelineTest, OtherCommandsNameStageModulesByTheirWord) {
  Strings asked;
  ModuleCommandTest modules = [&](std::string_view word) {
    asked.emplace_back(word);
    return word == "Locate" || word == "my-stage_2";
  };
  auto result = ParsePipeline("literal a | Locate x  y | >> f | my-stage_2", modules);
  ASSERT_TRUE(std::holds_alternative<ParsedPipeline>(result));
  const ParsedPipeline& p = std::get<ParsedPipeline>(result);
  ASSERT_EQ(p.stages.size(), 4u);
  EXPECT_EQ(p.stages[1].typeIndex, kModuleCommandType);
  EXPECT_EQ(p.stages[1].typeName, "LOCATE");
  EXPECT_EQ(p.stages[1].command, "Locate");
  EXPECT_EQ(p.stages[1].operands, "x  y");
  EXPECT_EQ(p.stages[2].typeName, "TAILWRITER");
  EXPECT_EQ(p.stages[3].typeName, "MY-STAGE_2");
  EXPECT_EQ(asked, (Strings{"Locate", "my-stage_2"}));

  struct Case { const char* text; MessageArgs args; };
  const Case refused[] = {
      {"literal a | nothing", {"0", 1, "nothing"}},     // no module file
      {"literal a | ../locate", {"0", 1, "../locate"}},  // never a path
      {"literal a | loc.ate", {"0", 1, "loc.ate"}},
  };
  for (const Case& c : refused) {
    asked.clear();
    auto refusal = ParsePipeline(c.text, modules);
    ASSERT_TRUE(std::holds_alternative<ParseError>(refusal)) << c.text;
    EXPECT_TRUE(SameError(std::get<ParseError>(refusal), 1007, c.args)) << c.text;
    EXPECT_EQ(asked.size(), std::string_view(c.text).find('.') == std::string_view::npos ? 1u : 0u) << c.text;
  }
  // Without a test no module command exists.
  auto plain = ParsePipeline("literal a | locate x");
  ASSERT_TRUE(std::holds_alternative<ParseError>(plain));
  EXPECT_TRUE(SameError(std::get<ParseError>(plain), 1007, {"0", 1, "locate"}));
}

}  // namespace
}  // namespace ductrine

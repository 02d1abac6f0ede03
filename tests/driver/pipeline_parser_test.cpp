#include "driver/pipeline_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

using ::ductrine::testing::SameError;

ParsedPipeline Parsed(std::string_view text) {
  auto result = ParsePipeline(text);
  if (const ParseError* error = std::get_if<ParseError>(&result)) {
    ADD_FAILURE() << "refused: " << text << "\n  " << testing::Describe(error->number, error->args);
    return {};
  }
  return std::get<ParsedPipeline>(result);
}

using Link = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;

std::vector<Link> Links(const ParsedPipeline& p) {
  std::vector<Link> links;
  for (const Connection& c : p.connections) links.emplace_back(c.fromStage, c.fromStream, c.toStage, c.toStream);
  return links;
}

std::string_view TypeName(const StageSpec& s) { return StageCommands()[s.typeIndex].typeName; }

// ---------------------------------------------------------------------------
// Every refusal, with its exact message number and values.

struct ErrorCase {
  const char* text;
  std::uint32_t number;
  MessageArgs args;
};

class ParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, GivesMessageAndValues) {
  const ErrorCase& c = GetParam();
  auto result = ParsePipeline(c.text);
  const ParseError* error = std::get_if<ParseError>(&result);
  ASSERT_NE(error, nullptr) << c.text;
  EXPECT_TRUE(SameError(*error, c.number, c.args)) << c.text;
}

const char kGrammarList[] = "awk, basic, ECMAScript, egrep, extended or grep";

INSTANTIATE_TEST_SUITE_P(
    Options, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"(end ? < a.txt | console", 1008, {0, ')'}},
        ErrorCase{"  (", 1008, {0, ')'}},
        ErrorCase{"(end ? 5) literal", 1009, {0, '5'}},
        ErrorCase{"(trace , end ?) literal", 1009, {0, ','}},
        ErrorCase{"(bogus) literal", 1010, {"0", "bogus"}},
        ErrorCase{"(endc ?) literal", 1010, {"0", "endc"}},
        ErrorCase{"(name main trace2) literal", 1010, {"0,main", "trace2"}},
        ErrorCase{"(end ? endchar !) literal", 1012, {"0", "ENDCHAR"}},
        ErrorCase{"(trc TRACE) literal", 1012, {"0", "TRACE"}},
        ErrorCase{"(name a nam b) literal", 1012, {"0,a", "NAME"}},
        ErrorCase{"(mon monitor) literal", 1012, {"0", "MONITOR"}},
        ErrorCase{"(end ab) literal", 1013, {"0", "ENDCHAR", "ab", " ()[]:"}},
        ErrorCase{"(sep [) literal", 1013, {"0", "STAGESEP", "[", " ()[]:"}},
        ErrorCase{"(esc ]) literal", 1013, {"0", "ESCAPE", "]", " ()[]:"}},
        ErrorCase{"(sep :) literal", 1013, {"0", "STAGESEP", ":", " ()[]:"}},
        ErrorCase{"(end ( ) literal", 1013, {"0", "ENDCHAR", "(", " ()[]:"}},
        ErrorCase{"(end ? esc ?) literal", 1013, {"0", "ESCAPE", "?", " ()[]:?"}},
        ErrorCase{"(sep ! end !) literal", 1013, {"0", "ENDCHAR", "!", " ()[]:!"}},
        ErrorCase{"(esc \\ sep !  end \\) literal", 1013, {"0", "ENDCHAR", "\\", " ()[]:!\\"}},
        // The default stage separator is taken, whichever order the group has.
        ErrorCase{"(end |) literal", 1013, {"0", "ENDCHAR", "|", " ()[]:|"}},
        ErrorCase{"(esc | end ?) literal", 1013, {"0", "ESCAPE", "|", " ()[]:?|"}},
        ErrorCase{"(end)", 1014, {"0", "ENDCHAR", "a single character"}},
        ErrorCase{"(trace sep)", 1014, {"0", "STAGESEP", "a single character"}},
        ErrorCase{"(ESC)", 1014, {"0", "ESCAPE", "a single character"}},
        ErrorCase{"(name)", 1014, {"0", "NAME", "a name"}},
        ErrorCase{"(pri)", 1014, {"0", "PRIORITY", "an integer"}},
        ErrorCase{"(reg)", 1014, {"0", "REGEX", kGrammarList}},
        ErrorCase{"(priority high)", 1015, {"0", "PRIORITY", "high", "an integer"}},
        ErrorCase{"(pri 5x)", 1015, {"0", "PRIORITY", "5x", "an integer"}},
        ErrorCase{"(pri 2147483648)", 1015, {"0", "PRIORITY", "2147483648", "an integer"}},
        ErrorCase{"(pri -)", 1015, {"0", "PRIORITY", "-", "an integer"}},
        ErrorCase{"(regex perl)", 1015, {"0", "REGEX", "perl", kGrammarList}},
        ErrorCase{"(name n regex posix)", 1015, {"0,n", "REGEX", "posix", kGrammarList}}));

INSTANTIATE_TEST_SUITE_P(
    Stages, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"", 1006, {"0", 0}},
        ErrorCase{"(trace)   ", 1006, {"0", 0}},
        ErrorCase{"| console", 1006, {"0", 0}},
        ErrorCase{"literal x ||console", 1006, {"0", 1}},
        ErrorCase{"literal x |   ", 1006, {"0", 1}},
        ErrorCase{"(end ?) literal x ?", 1006, {"1", 0}},
        ErrorCase{"(name main end ?) literal x ? literal y | ", 1006, {"1,main", 1}},
        ErrorCase{"literal x | [words 1 1]", 1006, {"0", 1}},
        ErrorCase{"literal x | bogus y", 1007, {"0", 1, "bogus"}},
        ErrorCase{">>out.txt", 1007, {"0", 0, ">>out.txt"}},
        ErrorCase{"t:>> out.txt", 1007, {"0", 0, "t:>>"}},
        ErrorCase{"(name n) literal x | tail", 1007, {"0,n", 1, "tail"}},
        // Double quotes mean nothing while splitting.
        ErrorCase{"literal \"a | b\"", 1007, {"0", 1, "b\""}}));

INSTANTIATE_TEST_SUITE_P(
    Selections, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"literal | [word 1 1] console", 1011, {"[word 1 1]", "COLUMNS, WORDS or FIELDS"}},
        ErrorCase{"literal | [] console", 1011, {"[]", "COLUMNS, WORDS or FIELDS"}},
        ErrorCase{"literal | [words] console", 1011, {"[words]", "a 'from' integer"}},
        ErrorCase{"literal | [words x 1] console", 1011, {"[words x 1]", "a 'from' integer"}},
        ErrorCase{"literal | [words 1] console", 1011, {"[words 1]", "a 'to' integer"}},
        ErrorCase{"literal | [words 1 1.5] console", 1011, {"[words 1 1.5]", "a 'to' integer"}},
        ErrorCase{"literal | [words 1 2147483648] console", 1011, {"[words 1 2147483648]", "a 'to' integer"}},
        ErrorCase{"literal | [words -2147483649 1] console", 1011, {"[words -2147483649 1]", "a 'from' integer"}},
        ErrorCase{"literal | [columns 1 2 sep ,] console", 1011, {"[columns 1 2 sep ,]", "UPPER, REVERSE or ']'"}},
        ErrorCase{"literal | [words 1 2 lower] console", 1011, {"[words 1 2 lower]", "SEP, UPPER, REVERSE or ']'"}},
        ErrorCase{"literal | [fields 1 2 sep] console", 1011, {"[fields 1 2 sep]", "separator characters after SEP"}},
        ErrorCase{"literal | [words 1 2 console", 1011, {"[words 1 2 console", "']'"}},
        // Unescaped, the stage separator ends the stage inside the group.
        ErrorCase{"literal | [fields 1 2 sep |] console", 1011, {"[fields 1 2 sep", "']'"}},
        // No input stream: the stage's output would be lost.
        ErrorCase{"[words 1 1] literal x", 1011, {"[words 1 1]", "a connected input stream"}},
        ErrorCase{"(end ?) literal a | console ? t: [columns 1 2] literal b | console",
                  1011, {"[columns 1 2]", "a connected input stream"}},
        ErrorCase{"(end ?) t: [fields 1 2] literal a ? t: | console",
                  1011, {"[fields 1 2]", "a connected input stream"}}));

INSTANTIATE_TEST_SUITE_P(
    Labels, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"literal x | t:", 1021, {"0", 1, "t:"}},
        // A reference before the definition refers to nothing yet.
        ErrorCase{"(end ?) literal x | t: ? t: console", 1021, {"0", 1, "t:"}},
        // Labels are case-sensitive.
        ErrorCase{"(end ?) T: literal x ? literal y | t:", 1021, {"1", 1, "t:"}},
        ErrorCase{"(end ?) literal x | t: [words 1 1]", 1022, {"0", 1, "t:"}},
        ErrorCase{"(end ?) t: >> a ? literal y | t: [words 1 1]", 1022, {"1", 1, "t:"}},
        ErrorCase{"(end ?) t: literal x ? literal y | t: console", 1023, {"1", 1, "t:", "0", 0}},
        ErrorCase{"(name n end ?) literal | t: literal x ? literal y | console | t: >>",
                  1023, {"1,n", 2, "t:", "0,n", 1}}));

// ---------------------------------------------------------------------------
// Pipes, stages and connections.

TEST(ParsePipelineTest, SingleLinePipelineConnectsPrimaryStreams) {
  ParsedPipeline p = Parsed("< access.log | >> all.log | console");
  ASSERT_EQ(p.stages.size(), 3u);
  EXPECT_EQ(TypeName(p.stages[0]), "<");
  EXPECT_EQ(p.stages[0].operands, "access.log");
  EXPECT_EQ(TypeName(p.stages[1]), "TAILWRITER");
  EXPECT_EQ(p.stages[1].command, ">>");
  EXPECT_EQ(p.stages[1].operands, "all.log");
  EXPECT_EQ(TypeName(p.stages[2]), "CONSOLE");
  EXPECT_EQ(p.pipes, (std::vector<std::vector<std::uint32_t>>{{0, 1, 2}}));
  EXPECT_EQ(Links(p), (std::vector<Link>{{0, 0, 1, 0}, {1, 0, 2, 0}}));
  EXPECT_EQ(p.stages[0].inputStreams, 0u);
  EXPECT_EQ(p.stages[0].outputStreams, 1u);
  EXPECT_EQ(p.stages[1].inputStreams, 1u);
  EXPECT_EQ(p.stages[2].outputStreams, 0u);
  EXPECT_EQ(p.sourceLines, (std::vector<std::string>{"< access.log | >> all.log | console"}));
}

TEST(ParsePipelineTest, LabelReferenceAddsSecondaryInput) {
  ParsedPipeline p = Parsed("(end ?) < data.txt | t: >> | console ? < names.txt | t:");
  ASSERT_EQ(p.stages.size(), 4u);
  EXPECT_EQ(p.pipes, (std::vector<std::vector<std::uint32_t>>{{0, 1, 2}, {3}}));
  const StageSpec& t = p.stages[1];
  EXPECT_EQ(t.label, "t");
  EXPECT_EQ(TypeName(t), "TAILWRITER");
  EXPECT_EQ(t.operands, "");
  EXPECT_EQ(t.inputStreams, 2u);
  EXPECT_EQ(t.outputStreams, 1u);
  EXPECT_EQ(Links(p), (std::vector<Link>{{0, 0, 1, 0}, {1, 0, 2, 0}, {3, 0, 1, 1}}));
  EXPECT_EQ(p.stages[3].pipe, 1u);
  EXPECT_EQ(p.stages[3].operands, "names.txt");
  EXPECT_EQ(p.sourceLines, (std::vector<std::string>{"< data.txt | t: >> | console", "< names.txt | t:"}));
}

TEST(ParsePipelineTest, ReferenceInMiddleDefinesBothSides) {
  ParsedPipeline p = Parsed("(end ?) literal a | t: literal b | console ? literal c | t: | console");
  // Stages: 0 literal a, 1 t, 2 console, 3 literal c, 4 console.
  EXPECT_EQ(Links(p), (std::vector<Link>{{0, 0, 1, 0}, {1, 0, 2, 0}, {3, 0, 1, 1}, {1, 1, 4, 0}}));
  EXPECT_EQ(p.stages[1].inputStreams, 2u);
  EXPECT_EQ(p.stages[1].outputStreams, 2u);
  // The reference is a stage of the text but not of the pipe.
  EXPECT_EQ(p.pipes[1], (std::vector<std::uint32_t>{3, 4}));
  EXPECT_EQ(p.stages[4].stageInPipe, 1u);
  EXPECT_EQ(p.stages[4].textStage, 2u);
}

TEST(ParsePipelineTest, ReferenceNumberFixesStreamEvenWithoutPrimary) {
  // t has no input in its own pipe; its first reference is still stream 1.
  ParsedPipeline p = Parsed("(end ?) t: literal a | console ? literal b | t:");
  EXPECT_EQ(Links(p), (std::vector<Link>{{0, 0, 1, 0}, {2, 0, 0, 1}}));
  EXPECT_EQ(p.stages[0].inputStreams, 2u);
}

TEST(ParsePipelineTest, ReferenceWithoutNeighboursStillCounts) {
  ParsedPipeline p = Parsed("(end ?) t: >> | console ? t: ? literal c | t:");
  EXPECT_EQ(Links(p), (std::vector<Link>{{0, 0, 1, 0}, {2, 0, 0, 2}}));
  EXPECT_EQ(p.stages[0].inputStreams, 3u);
  EXPECT_TRUE(p.pipes[1].empty());
}

TEST(ParsePipelineTest, SelectionAllowedWhenReferenceSuppliesInput) {
  ParsedPipeline p = Parsed("(end ?) t: [words 1 1] console ? literal a | t:");
  EXPECT_TRUE(p.stages[0].selection.active);
  EXPECT_EQ(Links(p), (std::vector<Link>{{1, 0, 0, 1}}));
}

TEST(ParsePipelineTest, OperandsKeepInnerBlanksOnly) {
  ParsedPipeline p = Parsed("  literal    a  b    |Console  ");
  EXPECT_EQ(p.stages[0].operands, "a  b");
  EXPECT_EQ(p.stages[0].command, "literal");
  EXPECT_EQ(p.stages[1].command, "Console");
  EXPECT_EQ(p.stages[1].operands, "");
  EXPECT_EQ(p.sourceLines, (std::vector<std::string>{"literal    a  b    |Console"}));
}

TEST(ParsePipelineTest, ParenthesisLaterInTextIsNoOptionsGroup) {
  ParsedPipeline p = Parsed("literal (x) y");
  EXPECT_EQ(p.stages[0].operands, "(x) y");
  EXPECT_EQ(p.optionsText, "");
  EXPECT_EQ(p.stageSep, '|');
}

// ---------------------------------------------------------------------------
// Splitting with separators and the escape character.

struct SplitCase {
  const char* text;
  std::vector<std::vector<std::string>> operands;  // per pipe, per stage
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, SplitsIntoPipesAndStages) {
  const SplitCase& c = GetParam();
  ParsedPipeline p = Parsed(c.text);
  std::vector<std::vector<std::string>> operands;
  for (const auto& pipe : p.pipes) {
    operands.emplace_back();
    for (std::uint32_t s : pipe) operands.back().push_back(p.stages[s].operands);
  }
  EXPECT_EQ(operands, c.operands) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, SplitTest,
    ::testing::Values(
        SplitCase{"literal a|literal b", {{"a", "b"}}},
        SplitCase{"(esc \\) literal a\\|b | console", {{"a|b", ""}}},
        SplitCase{"(esc \\) literal a\\\\b", {{"a\\b"}}},
        SplitCase{"(esc \\) literal a\\", {{"a\\"}}},
        SplitCase{"(esc \\) literal \\a\\", {{"a\\"}}},
        SplitCase{"(end ? esc \\) literal what\\? | console ? literal b", {{"what?", ""}, {"b"}}},
        SplitCase{"(sep !) literal a|b ! console", {{"a|b", ""}}},
        SplitCase{"(end |  sep !) literal a ! literal b | literal c", {{"a", "b"}, {"c"}}},
        SplitCase{"(sep ! end |) literal a ! literal b | literal c", {{"a", "b"}, {"c"}}},
        SplitCase{"literal a?b", {{"a?b"}}},
        SplitCase{"(esc \\) literal x | [fields 1 2 sep \\|] console", {{"x", ""}}}));

TEST(ParsePipelineTest, SourceLinesKeepEscapesAsWritten) {
  ParsedPipeline p = Parsed("(esc \\ end ?)  literal a\\|b ?  console  ");
  EXPECT_EQ(p.sourceLines, (std::vector<std::string>{"literal a\\|b", "console"}));
  EXPECT_EQ(p.optionsText, "(esc \\ end ?)");
}

// ---------------------------------------------------------------------------
// Global options.

TEST(ParsePipelineTest, OptionsInAnyCaseAndShortForm) {
  ParsedPipeline p = Parsed("  ( END ? sep ! Esc \\ nam main TRC mon PRI -5 reg ecmascript ) literal x");
  EXPECT_EQ(p.endChar, '?');
  EXPECT_EQ(p.stageSep, '!');
  EXPECT_EQ(p.escapeChar, '\\');
  EXPECT_EQ(p.name, "main");
  EXPECT_TRUE(p.trace);
  EXPECT_TRUE(p.monitor);
  EXPECT_EQ(p.priority, -5);
  EXPECT_EQ(p.regex, "ECMAScript");
  EXPECT_EQ(p.stages[0].operands, "x");
}

TEST(ParsePipelineTest, LongOptionNames) {
  ParsedPipeline p = Parsed("(endchar ? stagesep ! escape \\ name n trace monitor priority 3 regex GREP) literal");
  EXPECT_EQ(p.endChar, '?');
  EXPECT_EQ(p.stageSep, '!');
  EXPECT_EQ(p.escapeChar, '\\');
  EXPECT_EQ(p.name, "n");
  EXPECT_TRUE(p.trace);
  EXPECT_EQ(p.priority, 3);
  EXPECT_EQ(p.regex, "grep");
}

TEST(ParsePipelineTest, DefaultsWithoutOptions) {
  ParsedPipeline p = Parsed("literal x ? y");
  EXPECT_FALSE(p.endChar.has_value());
  EXPECT_FALSE(p.escapeChar.has_value());
  EXPECT_EQ(p.stageSep, '|');
  EXPECT_FALSE(p.trace);
  EXPECT_EQ(p.name, "");
}

TEST(ParsePipelineTest, EmptyOptionsGroup) {
  ParsedPipeline p = Parsed("()literal x");
  EXPECT_EQ(p.stages[0].operands, "x");
}

// ---------------------------------------------------------------------------
// Selections.

TEST(ParsePipelineTest, SelectionWordsWithDefaults) {
  ParsedPipeline p = Parsed("literal | [words 2 -1] console");
  const SelectionSpec& s = p.stages[1].selection;
  EXPECT_TRUE(s.active);
  EXPECT_TRUE(s.words);
  EXPECT_FALSE(s.fields);
  EXPECT_EQ(s.from, 2);
  EXPECT_EQ(s.to, -1);
  EXPECT_EQ(s.separators, " ");
  EXPECT_FALSE(s.upper);
  EXPECT_FALSE(s.reverse);
  EXPECT_EQ(s.text, "[words 2 -1]");
  EXPECT_FALSE(p.stages[0].selection.active);
}

TEST(ParsePipelineTest, SelectionFieldsWithEverything) {
  ParsedPipeline p = Parsed("literal | [FIELDS -3 7 Sep ,; reverse UPPER] >> out.txt");
  const SelectionSpec& s = p.stages[1].selection;
  EXPECT_TRUE(s.fields);
  EXPECT_FALSE(s.words);
  EXPECT_EQ(s.from, -3);
  EXPECT_EQ(s.to, 7);
  EXPECT_EQ(s.separators, ",;");
  EXPECT_TRUE(s.upper);
  EXPECT_TRUE(s.reverse);
  EXPECT_EQ(p.stages[1].operands, "out.txt");
}

TEST(ParsePipelineTest, SelectionFieldsDefaultTab) {
  ParsedPipeline p = Parsed("literal | [fields 1 1] console");
  EXPECT_EQ(p.stages[1].selection.separators, "\t");
}

TEST(ParsePipelineTest, SelectionColumnsFullRange) {
  ParsedPipeline p = Parsed("literal | [Columns -2147483648 +2147483647] console");
  const SelectionSpec& s = p.stages[1].selection;
  EXPECT_TRUE(s.active);
  EXPECT_FALSE(s.words);
  EXPECT_FALSE(s.fields);
  EXPECT_EQ(s.from, -2147483648);
  EXPECT_EQ(s.to, 2147483647);
}

TEST(ParsePipelineTest, SelectionRightBeforeCommand) {
  ParsedPipeline p = Parsed("literal | t: [words 1 1]>>");
  EXPECT_EQ(p.stages[1].label, "t");
  EXPECT_EQ(p.stages[1].command, ">>");
  EXPECT_EQ(p.stages[1].operands, "");
  EXPECT_TRUE(p.stages[1].selection.active);
}

// ---------------------------------------------------------------------------
// Commands and labels.

TEST(StageCommandTest, FindsEveryNameInAnyCase) {
  struct Case {
    const char* word;
    const char* typeName;
  };
  for (Case c : {Case{"TAILWRITER", "TAILWRITER"}, Case{"tailwrt", "TAILWRITER"}, Case{">>", "TAILWRITER"},
                 Case{"Console", "CONSOLE"}, Case{"literal", "LITERAL"}, Case{"<", "<"}}) {
    std::optional<std::uint32_t> index = FindStageCommand(c.word);
    ASSERT_TRUE(index.has_value()) << c.word;
    EXPECT_EQ(StageCommands()[*index].typeName, c.typeName) << c.word;
  }
  for (const char* word : {"", ">", "<<", "tail", "consoles", ">>>"}) {
    EXPECT_FALSE(FindStageCommand(word).has_value()) << word;
  }
}

TEST(StageCommandTest, OnlyTailwriterIsAModule) {
  for (const StageCommand& c : StageCommands()) {
    EXPECT_EQ(c.module, c.typeName == "TAILWRITER") << c.typeName;
    EXPECT_EQ(c.names[0], c.typeName);
  }
}

TEST(ParsePipelineTest, LabelCharactersAndUnderscore) {
  ParsedPipeline p = Parsed("(end ?) in_2: literal a | console ? literal b | in_2:");
  EXPECT_EQ(p.stages[0].label, "in_2");
  EXPECT_EQ(p.stages[0].inputStreams, 2u);
}

TEST(ParsePipelineTest, WordWithOtherCharactersBeforeColonIsNoLabel) {
  auto result = ParsePipeline("a-b: literal x");
  const ParseError* error = std::get_if<ParseError>(&result);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(SameError(*error, 1007, {"0", 0, "a-b:"}));
}

TEST(PipeTextTest, IndexWithOptionalName) {
  EXPECT_EQ(PipeText(0, ""), "0");
  EXPECT_EQ(PipeText(12, "main"), "12,main");
}

}  // namespace
}  // namespace ductrine

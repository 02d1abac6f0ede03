// What the pipe command builds a run from: the set of a parsed pipeline, its
// checks and exit status, and the stage modules it finds.
#include "driver/set_from_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/module_loader.h"
#include "platform/platform.h"
#include "tests/driver/parse_error_matchers.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Builds the set of a text the parser accepts ("locate" in any case names a
// module); the build's refusal, if any, comes back described.
std::string Build(std::string_view text, CPipeSet& set) {
  auto parsed = ParsePipeline(text, [](std::string_view word) { return word == "locate" || word == "Locate"; });
  if (const ParseError* error = std::get_if<ParseError>(&parsed)) return "parser: " + testing::Describe(*error);
  std::optional<ParseError> error = BuildPipeSet(std::get<ParsedPipeline>(parsed), text, 65536, set);
  return error ? testing::Describe(*error) : "";
}

TEST(BuildPipeSet, CarriesTypesOperandsSourceLinesAndTracing) {
  const std::string text = "(end ? trace esc \\) literal a\\|b | >> out.txt | tailwrt x | locate y ? Locate|Console";
  CPipeSet set;
  ASSERT_EQ(Build(text, set), "");
  // "type=name": a stop finds console stages by the first name of their type;
  // a module command's type is its upper-case word.
  Strings stages;
  for (CPipe& pipe : set.pipes)
    for (CStage& stage : pipe.stages)
      stages.push_back(set.stageTypes.at(stage.typeIndex).names.front() + "=" + stage.typeName + " '" +
                       stage.operands + "'" + (stage.traced ? " traced" : ""));
  EXPECT_EQ(stages, (Strings{"LITERAL=LITERAL 'a|b' traced", "TAILWRITER=TAILWRITER 'out.txt' traced",
                             "TAILWRITER=TAILWRITER 'x' traced", "LOCATE=LOCATE 'y' traced", "LOCATE=LOCATE '' traced",
                             "CONSOLE=CONSOLE '' traced"}));
  // As written, for the trace listing.
  EXPECT_EQ(set.sourceLines, (Strings{"literal a\\|b | >> out.txt | tailwrt x | locate y", "Locate|Console"}));
}

// The streams that label references give, as the checks of declared limits
// see them: every stream beyond a limit, and where it leads; a gap, beyond
// the limit or not, is no stream. A run that a setup already stopped is left
// alone.
TEST(CheckDeclaredLimits, ReportsEveryStreamBeyondTheLimitsAndWhereItLeads) {
  CPipeSet set, stopped;
  const char* text = "(end ? name main) t: literal b | console ? literal c | t: | console ? literal d | t:";
  ASSERT_EQ(Build(text, set) + Build(text, stopped), "");
  // What a stage does not declare it does not allow.
  CStage& t = set.pipes[0].stages[0];
  t.maxOutputStreams = 1;
  set.pipes[0].stages[1].SetMaxInputStreams(1);
  set.pipes[1].stages[0].maxOutputStreams = 1;
  set.pipes[1].stages[1].SetMaxInputStreams(1);
  set.pipes[2].stages[0].maxOutputStreams = 1;
  set.pipes[2].stages[0].inputRequired = 1;
  test::ConsoleCapture console;
  EXPECT_FALSE(CheckDeclaredLimits(set));
  EXPECT_TRUE(set.abortRun);
  stopped.abortRun = 1;
  EXPECT_TRUE(CheckDeclaredLimits(stopped));
  Strings lines;
  for (const std::string& line : console.Lines()) lines.push_back(test::MaskStamp(line));
  const std::string more(20, ' ');
  EXPECT_EQ(lines,
            (Strings{"<stamp>PIPE: Error 1025: Invalid input stream(s): 1 2, for Pipe(0,main),Stage(0),Type(LITERAL).",
                     more + "In this position, Type(LITERAL) allows: 0 input stream(s). There are: 3 defined.",
                     more + "Connection(s) from: (Pipe,Stage,Stream): (1,0,0) (2,0,0) are invalid!",
                     "<stamp>PIPE: Error 1027: Invalid output stream(s): 1, for Pipe(0,main),Stage(0),Type(LITERAL).",
                     more + "In this position, Type(LITERAL) allows: 1 output stream(s). There are: 2 defined.",
                     more + "Connection(s) to: (Pipe,Stage,Stream): (1,1,0) are invalid!",
                     "<stamp>PIPE: Error 1024: Pipe(2,main),Stage(0),Type(LITERAL): The stage requires a primary "
                     "input stream."}));
  // Ending t must not sever someone else's stream through its gap.
  EXPECT_EQ(set.FindStage(t.InputAt(0)->peerPipe, t.InputAt(0)->peerStage), nullptr);
  EXPECT_FALSE(t.traced);
}

// 0 when every code is 0; else the highest return code, or failing that the
// largest code of a stage, negative ones included; beyond 1 to 255, 255.
TEST(ExitStatus, FollowsTheRule) {
  struct Case { std::uint32_t highest; std::vector<std::int32_t> codes; int status; };
  for (const Case& c : {Case{0, {0, 0}, 0}, Case{0, {0, 3}, 3}, Case{3, {0, 0}, 3}, Case{12, {3, 0}, 12},
                        Case{2072, {0, 0}, 255}, Case{0, {-5, 7, 3}, 7}, Case{0, {0, -1}, 255}})
    EXPECT_EQ(ExitStatus(RunResult{{c.codes}, c.highest}), c.status) << c.highest << ::testing::PrintToString(c.codes);
}

// ---------------------------------------------------------------------------
// Finding stage modules.

const std::string kBin = fs::canonical(DUCTRINE_BIN_DIR).string();

TEST(ModuleFolders, TheVariableComesFirstThenTheDefaults) {
  // Not set: beside the executable (this test's lives in the build tree's
  // bin folder, as pipe does, and so does the platform library), then the
  // install folder. Set but empty is the same.
  const std::vector<std::string> defaults = ModuleFolders(nullptr);
  ASSERT_EQ(defaults.size(), 2u);
  EXPECT_EQ(fs::canonical(defaults[0]).string(), kBin);
  EXPECT_EQ(defaults[1], defaults[0] + "/../lib/ductrine");
  EXPECT_EQ(ModuleFolders(""), defaults);
  // Relative entries would be searched from the current folder: skipped.
  std::string list = "/one:/two/::relative:./here:/one/:/three//";
  std::replace(list.begin(), list.end(), ':', platform::kPathListSeparator);
  std::vector<std::string> want = {"/one", "/two", "/three"};
  want.insert(want.end(), defaults.begin(), defaults.end());
  EXPECT_EQ(ModuleFolders(list.c_str()), want);
  want = {"/"};
  want.insert(want.end(), defaults.begin(), defaults.end());
  EXPECT_EQ(ModuleFolders("/"), want);
}

// The first folder that has the file decides; a library without BeginStage
// is refused there.
TEST(LoadStageEntry, RefusesALibraryWithoutBeginStage) {
  const fs::path dir = fs::temp_directory_path() / ("ductrine-modules-" + std::to_string(platform::ProcessId()));
  const std::string file = "plain" + std::string(platform::kModuleSuffix);
  const std::vector<std::string> folders = {"/no-such-folder", dir.string()};
  fs::create_directories(dir);
  fs::copy_file(kBin + "/" DUCTRINE_PLATFORM_LIBRARY, dir / file, fs::copy_options::overwrite_existing);
  EXPECT_TRUE(ModuleFileExists(file, folders));
  EXPECT_FALSE(ModuleFileExists("other" + std::string(platform::kModuleSuffix), folders));
  // (std::get throws, failing the test, where an entry came back.)
  EXPECT_EQ(testing::Describe(std::get<ParseError>(LoadStageEntry(file, folders))),
            "1020 '" + dir.string() + "/' '" + file + "'");
  EXPECT_EQ(testing::Describe(std::get<ParseError>(LoadStageEntry(file, {"/no-such-folder"}))), "1001");
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace ductrine

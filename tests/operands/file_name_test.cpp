#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "operands/file_name.h"
#include "platform/platform.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

namespace fs = std::filesystem;

const std::string kHeader = "<stamp>PIPE: Pipe(0),Stage(0),Type(TAILWRITER): ";

// A stage that only lends its identity to the messages.
class Caller final : public CProcess {
 public:
  explicit Caller(const CStageCall& call) : CProcess(call) {}
  bool Setup() override { return true; }
  std::int32_t Run() override { return 0; }
};

class FileNameTest : public ::testing::Test {
 protected:
  FileNameTest() {
    SetBuilder builder(set);
    builder.AddStage(0, "TAILWRITER");
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> lines;
    for (const std::string& line : console.Lines()) lines.push_back(test::MaskStamp(line));
    return lines;
  }

  CPipeSet set;
  CStageCall call{0, &set, 0, 0};
  Caller caller{call};
  test::ConsoleCapture console;
};

// Accepted when `message` is empty; `rest` is where the cursor is left.
struct Case {
  std::string text;
  std::string rest;
  std::string name;
  std::string message = {};  // after the stage header
};

class ParseFileNameTest : public FileNameTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ParseFileNameTest, YieldsNameOrMessageAndLeavesCursorOnRest) {
  const Case& c = GetParam();
  const bool accepted = c.message.empty();
  const char* cursor = c.text.c_str();
  std::string name = "unchanged";
  EXPECT_EQ(set.ParseFileName(caller, &cursor, &name, false), accepted);
  EXPECT_EQ(name, accepted ? c.name : "unchanged");
  EXPECT_EQ(std::string(cursor), c.rest);
  // The cursor stays inside the caller's text, also when it runs to the end.
  EXPECT_EQ(cursor, c.text.c_str() + (c.text.size() - c.rest.size()));
  const unsigned number = accepted ? 0 : static_cast<unsigned>(std::stoul(c.message.substr(0, 4)));
  EXPECT_EQ(set.highestReturnCode.load(), number);
  EXPECT_EQ(Messages(), accepted ? std::vector<std::string>{}
                                 : std::vector<std::string>{kHeader + c.message});
  if (!accepted) return;
  // The name may be left out.
  const char* again = c.text.c_str();
  EXPECT_TRUE(set.ParseFileName(caller, &again, nullptr, false));
  EXPECT_EQ(again, cursor);
}

std::string Invalid(const std::string& what) {
  return "2005IE: Invalid argument: '" + what + "', valid filename expected.";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseFileNameTest,
    ::testing::Values(
        Case{"out.txt more data", "more data", "out.txt"},
        Case{"\"my file.txt\"  rest", "rest", "my file.txt"},
        // White space after the opening quote is skipped, before the closing
        // quote it stays in the name.
        Case{"\"  a.txt\" b", "b", "a.txt"},
        Case{"\"a.txt  \" b", "b", "a.txt  "},
        // The quote test comes before white space is skipped.
        Case{" \"my file.txt", "file.txt", "\"my"},
        // Only the blank ends an unquoted name; any white space follows it.
        Case{"a\tb \t \n rest of it", "rest of it", "a\tb"},
        Case{"D:\\logs\\out.txt data", "data", "D:\\logs\\out.txt"},
        Case{"d:\\logs\\out.txt", "", "d:\\logs\\out.txt"},
        // Colon and backslash are only tested in letter-initial names.
        Case{"1logs\\out.txt x", "x", "1logs\\out.txt"},
        Case{"_a:b x", "x", "_a:b"},
        Case{"\"my file.txt", "", "", "2015IE: Missing argument: '\"' expected."},
        // An empty name is quoted from where the text started.
        Case{"", "", "", Invalid("")},
        Case{"\"\" rest", "\" rest", "", Invalid("\"\" rest")},
        Case{".profile x", " x", "", Invalid(".profile")},
        Case{"name. x", " x", "", Invalid("name.")},
        Case{"1name\\", "", "", Invalid("1name\\")},
        Case{":name", "", "", Invalid(":name")},
        Case{"D:\\", "", "", Invalid("D:\\")},
        // The checks see the trimmed name, the message the name as scanned.
        Case{"\"name. \" x", "\" x", "", Invalid("name. ")},
        Case{"1a<b", "", "", Invalid("1a<b")},
        Case{"1a>b", "", "", Invalid("1a>b")},
        Case{"1a|b", "", "", Invalid("1a|b")},
        Case{"D:\\a/b", "", "", Invalid("D:\\a/b")},
        Case{"logs\\out.txt", "", "", Invalid("logs\\out.txt")},
        Case{"D:out.txt", "", "", Invalid("D:out.txt")}));

// Input program files, looked for in the base directory.
class InputFileTest : public FileNameTest {
 protected:
  InputFileTest() {
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() /
          ("ductrine-operands-" + std::to_string(platform::ProcessId()) + "-" +
           std::to_string(counter++));
    fs::create_directories(dir);
    set.baseDirectory = dir.string();
  }
  ~InputFileTest() override { fs::remove_all(dir); }

  void Make(const std::string& name) { std::ofstream(dir / name) << "say hi\n"; }
  bool Check(const std::string& text) {
    const char* cursor = text.c_str();
    return set.ParseFileName(caller, &cursor, nullptr, true);
  }

  fs::path dir;
};

TEST_F(InputFileTest, DefaultExtensionIsAddedUnlessPresentInAnyCase) {
  for (const char* name : {"prog.rex", "UPPER.REX", "mixed.Rex", "notes.txt.rex", "x.rex"})
    Make(name);
  for (const char* text : {"prog", "UPPER.REX", "mixed.Rex", "notes.txt", "\"  prog  \" rest"})
    EXPECT_TRUE(Check(text)) << text;  // the last: the trimmed name is looked for
  EXPECT_TRUE(console.Text().empty());
  // A refused name is not looked for.
  EXPECT_FALSE(Check(".x"));
  EXPECT_EQ(Messages(), std::vector<std::string>{kHeader + Invalid(".x")});
}

TEST_F(InputFileTest, MissingFileIsReportedWithItsResolvedName) {
  Make("prog.txt");  // not what is looked for
  EXPECT_FALSE(Check("prog.txt"));
  const std::string sep(1, platform::kDirectorySeparator);
  const std::string expected = kHeader + "2002IE: Input file: '" + dir.string() + sep +
                               "prog.txt.rex' failed to open, Rc: 2,\n" + std::string(20, ' ') +
                               "Reason: " + platform::ReasonText(2) + "\n";
  EXPECT_EQ(test::MaskStamp(console.Text()), expected);
  EXPECT_EQ(set.highestReturnCode.load(), 2002u);
  // A directory ending in a slash gets no second one; a drive root name is
  // not joined to the directory at all.
  set.baseDirectory += sep;
  EXPECT_FALSE(Check("gone"));
  EXPECT_FALSE(Check("Q:\\nowhere\\prog"));
  const std::string text = console.Text();
  EXPECT_NE(text.find("'" + dir.string() + sep + "gone.rex'"), std::string::npos) << text;
  EXPECT_NE(text.find("Input file: 'Q:\\nowhere\\prog.rex' failed"), std::string::npos) << text;
}

TEST_F(InputFileTest, FileHeldExclusivelyDoesNotOpen) {
  Make("prog.rex");
  const std::string path = (dir / "prog.rex").string();
  std::FILE* holder = platform::OpenFileShared(path.c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  EXPECT_FALSE(Check("prog"));
  std::fclose(holder);
  const std::string text = console.Text();
  EXPECT_NE(text.find("2002IE: Input file: '" + path + "' failed to open"), std::string::npos)
      << text;
#if !defined(_WIN32)
  // The lock's "try again" would mislead: another holds the file.
  EXPECT_NE(text.find("Reason: The file is in use by another stage or process\n"), std::string::npos)
      << text;
#endif
  EXPECT_TRUE(Check("prog"));
}

// Names that records give (Tailwriter modes 2 and 3): every check of a
// file-name operand, and no NUL or control character anywhere.
struct RecordCase {
  std::string record;
  std::string name;      // accepted: the name; refused: the name in the message
  std::size_t rest = 0;  // accepted: where the data starts
  bool accepted = true;
};

class RecordNameTest : public FileNameTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordNameTest, TakesTheNameOffTheRecord) {
  const RecordCase& c = GetParam();
  std::string name = "unchanged";
  std::size_t rest = 99;
  EXPECT_EQ(ParseRecordFileName(set, caller, c.record, &name, &rest), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(rest, c.rest);
    EXPECT_EQ(Messages(), std::vector<std::string>{});
  } else {
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(Messages(), std::vector<std::string>{kHeader + Invalid(c.name)});
    EXPECT_EQ(set.highestReturnCode.load(), 2005u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordNameTest,
    ::testing::Values(
        RecordCase{"out.txt data", "out.txt", 8},
        RecordCase{"\"my file.txt\" data", "my file.txt", 14},
        // A NUL in the data is data; the offset counts past it.
        RecordCase{std::string("out.txt \0x", 10), "out.txt", 8},
        RecordCase{std::string("out.txt   \0x", 12), "out.txt", 10},
        // A NUL or control character inside the name refuses it, shown as '?'.
        RecordCase{std::string("a\0b.txt data", 13), "a?b.txt", 0, false},
        RecordCase{std::string("\"a\0b\" data", 11), "a?b", 0, false},
        RecordCase{std::string("\0 data", 6), "?", 0, false},
        RecordCase{"a\tb.txt data", "a?b.txt", 0, false},
        RecordCase{"\"a.txt\t\" data", "a.txt?", 0, false},
        RecordCase{"a\x1b[1m.txt data", "a?[1m.txt", 0, false},
        RecordCase{"a\x7f data", "a?", 0, false},
        RecordCase{"../x data", "../x", 0, false}));

TEST_F(FileNameTest, AWholeRecordAsANameGetsTheSameChecks) {
  for (const char* name : {"a.txt", "my file.txt", "1logs\\out.txt", " lead"})
    EXPECT_TRUE(CheckRecordFileName(set, caller, name)) << name;
  EXPECT_EQ(Messages(), std::vector<std::string>{});
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"", ""}, {"   ", "   "}, {"../up.txt", "../up.txt"}, {"/etc/passwd", "/etc/passwd"},
      {"sub/x", "sub/x"}, {"a|b", "a|b"}, {"name.", "name."}, {"logs\\out.txt", "logs\\out.txt"},
      {std::string("a\0b", 3), "a?b"}, {"a\rb", "a?b"}, {"a.txt\n", "a.txt?"}};
  std::vector<std::string> expected;
  for (const auto& [name, shown] : refused) {
    EXPECT_FALSE(CheckRecordFileName(set, caller, name)) << shown;
    expected.push_back(kHeader + Invalid(shown));
  }
  EXPECT_EQ(Messages(), expected);
}

}  // namespace
}  // namespace ductrine

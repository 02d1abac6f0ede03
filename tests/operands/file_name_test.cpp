#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/set_builder.h"
#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"
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

struct Accepted {
  std::string text;
  std::string name;
  std::string rest;
};

class AcceptedNameTest : public FileNameTest, public ::testing::WithParamInterface<Accepted> {};

TEST_P(AcceptedNameTest, YieldsNameAndLeavesCursorOnRest) {
  const Accepted& c = GetParam();
  const char* cursor = c.text.c_str();
  std::string name = "unchanged";
  ASSERT_TRUE(set.ParseFileName(caller, &cursor, &name, false));
  EXPECT_EQ(name, c.name);
  EXPECT_EQ(std::string(cursor), c.rest);
  // The cursor stays inside the caller's text, also when it runs to the end.
  EXPECT_EQ(cursor, c.text.c_str() + (c.text.size() - c.rest.size()));
  EXPECT_TRUE(console.Text().empty());
  EXPECT_EQ(set.highestReturnCode.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AcceptedNameTest,
    ::testing::Values(
        Accepted{"out.txt more data", "out.txt", "more data"},
        Accepted{"\"my file.txt\"  rest", "my file.txt", "rest"},
        // White space after the opening quote is skipped, before the closing
        // quote it stays in the name.
        Accepted{"\"  a.txt\" b", "a.txt", "b"},
        Accepted{"\"a.txt  \" b", "a.txt  ", "b"},
        Accepted{"\"a.txt\"b", "a.txt", "b"},
        // The quote test comes before white space is skipped.
        Accepted{" \"my file.txt", "\"my", "file.txt"},
        // Only the blank ends an unquoted name.
        Accepted{"a\tb c", "a\tb", "c"},
        Accepted{"a.txt \t \n rest of it", "a.txt", "rest of it"},
        Accepted{"name", "name", ""},
        Accepted{"name   ", "name", ""},
        Accepted{"D:\\logs\\out.txt data", "D:\\logs\\out.txt", "data"},
        Accepted{"d:\\logs\\out.txt", "d:\\logs\\out.txt", ""},
        // Colon and backslash are only tested in letter-initial names.
        Accepted{"1logs\\out.txt x", "1logs\\out.txt", "x"},
        Accepted{"_a:b x", "_a:b", "x"},
        Accepted{"\"quoted\"", "quoted", ""}));

struct Refused {
  std::string text;
  std::string message;  // after the stage header
  std::size_t stop;     // where the cursor is left
};

class RefusedNameTest : public FileNameTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedNameTest, IssuesItsMessageAndStoresNothing) {
  const Refused& c = GetParam();
  const char* cursor = c.text.c_str();
  std::string name = "unchanged";
  EXPECT_FALSE(set.ParseFileName(caller, &cursor, &name, false));
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(cursor, c.text.c_str() + c.stop);
  EXPECT_EQ(Messages(), std::vector<std::string>{kHeader + c.message});
  const unsigned number = static_cast<unsigned>(std::stoul(c.message.substr(0, 4)));
  EXPECT_EQ(set.highestReturnCode.load(), number);
}

std::string Invalid(const std::string& what) {
  return "2005IE: Invalid argument: '" + what + "', valid filename expected.";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RefusedNameTest,
    ::testing::Values(
        Refused{"\"my file.txt", "2015IE: Missing argument: '\"' expected.", 12},
        Refused{"\"", "2015IE: Missing argument: '\"' expected.", 1},
        // An empty name is quoted from where the text started.
        Refused{"", Invalid(""), 0},
        Refused{"   ", Invalid("   "), 3},
        Refused{"\"\" rest", Invalid("\"\" rest"), 1},
        Refused{"\"  \"", Invalid("\"  \""), 3},
        Refused{".profile x", Invalid(".profile"), 8},
        Refused{"\\name x", Invalid("\\name"), 5},
        Refused{"name. x", Invalid("name."), 5},
        Refused{"1name\\", Invalid("1name\\"), 6},
        Refused{":name", Invalid(":name"), 5},
        Refused{"name>", Invalid("name>"), 5},
        Refused{"D:\\", Invalid("D:\\"), 3},
        // The checks see the trimmed name, the message the name as scanned.
        Refused{"\"name. \" x", Invalid("name. "), 7},
        Refused{"\"  .x\"", Invalid(".x"), 5},
        Refused{"a/b", Invalid("a/b"), 3},
        Refused{"1a<b", Invalid("1a<b"), 4},
        Refused{"1a>b", Invalid("1a>b"), 4},
        Refused{"1a|b", Invalid("1a|b"), 4},
        Refused{"D:\\a/b", Invalid("D:\\a/b"), 6},
        Refused{"logs\\out.txt", Invalid("logs\\out.txt"), 12},
        Refused{"D:out.txt", Invalid("D:out.txt"), 9},
        Refused{"D:/out.txt", Invalid("D:/out.txt"), 10}));

TEST_F(FileNameTest, NameMayBeLeftOut) {
  const char* text = "a.txt b";
  const char* cursor = text;
  EXPECT_TRUE(set.ParseFileName(caller, &cursor, nullptr, false));
  EXPECT_STREQ(cursor, "b");
}

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
  Make("prog.rex");
  Make("UPPER.REX");
  Make("mixed.Rex");
  Make("notes.txt.rex");
  EXPECT_TRUE(Check("prog"));
  EXPECT_TRUE(Check("UPPER.REX"));
  EXPECT_TRUE(Check("mixed.Rex"));
  EXPECT_TRUE(Check("notes.txt"));
  EXPECT_TRUE(Check("\"  prog  \" rest"));  // the trimmed name is looked for
  EXPECT_TRUE(console.Text().empty());
}

TEST_F(InputFileTest, MissingFileIsReportedWithItsResolvedName) {
  Make("prog.txt");  // not what is looked for
  EXPECT_FALSE(Check("prog.txt"));
  const std::string expected = kHeader + "2002IE: Input file: '" + dir.string() +
                               "/prog.txt.rex' failed to open, Rc: 2,\n" + std::string(20, ' ') +
                               "Reason: No such file or directory\n";
  EXPECT_EQ(test::MaskStamp(console.Text()), expected);
  EXPECT_EQ(set.highestReturnCode.load(), 2002u);
}

TEST_F(InputFileTest, DirectoryEndingInSlashIsNotDoubled) {
  set.baseDirectory = dir.string() + "/";
  Make("prog.rex");
  EXPECT_TRUE(Check("prog"));
  EXPECT_FALSE(Check("gone"));
  EXPECT_NE(console.Text().find("'" + dir.string() + "/gone.rex'"), std::string::npos)
      << console.Text();
}

TEST_F(InputFileTest, DriveRootNameIsNotJoinedToTheDirectory) {
  EXPECT_FALSE(Check("Q:\\nowhere\\prog"));
  EXPECT_NE(console.Text().find("Input file: 'Q:\\nowhere\\prog.rex' failed"), std::string::npos)
      << console.Text();
}

TEST_F(InputFileTest, FileHeldExclusivelyDoesNotOpen) {
  Make("prog.rex");
  const std::string path = (dir / "prog.rex").string();
  std::FILE* holder = platform::OpenFileShared(path.c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  EXPECT_FALSE(Check("prog"));
  std::fclose(holder);
  EXPECT_NE(console.Text().find("2002IE: Input file: '" + path + "' failed to open"),
            std::string::npos)
      << console.Text();
  EXPECT_TRUE(Check("prog"));
}

TEST_F(InputFileTest, RefusedNameIsNotLookedFor) {
  Make("x.rex");
  EXPECT_FALSE(Check(".x"));
  EXPECT_EQ(Messages(), std::vector<std::string>{kHeader + Invalid(".x")});
}

}  // namespace
}  // namespace ductrine

// File-name operands: taken off operand text or a record, refused with the
// message the user sees, and input program files looked for.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "operands/file_name.h"
#include "platform/platform.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

const std::string kHeader = "<stamp>PIPE: Pipe(0),Stage(0),Type(TAILWRITER): ";

std::string Invalid(const std::string& what) {
  return kHeader + "2005IE: Invalid argument: '" + what + "', valid filename expected.\n";
}

// A pipeline set with one stage to issue the messages, and its console.
struct Env {
  Env() { SetBuilder(set).AddStage(0, "TAILWRITER"); }
  std::string Messages() const { return MaskStamp(console.Text()); }  // at most one message
  CPipeSet set;
  Caller caller{set, 0, 0};
  ConsoleCapture console;
};

TEST(ParseFileName, YieldsNameOrMessageAndLeavesCursorOnRest) {
  struct Case {
    std::string text, rest, name;
    std::string message = {};  // empty when accepted
  };
  const Case cases[] = {
      {"out.txt more data", "more data", "out.txt"},
      // White space after the opening quote is skipped, before the closing
      // quote it stays in the name.
      {"\"  my file  \"  rest", "rest", "my file  "},
      // The quote test comes before white space is skipped.
      {" \"my file.txt", "file.txt", "\"my"},
      // Only the blank ends an unquoted name; any white space follows it.
      {"a\tb \t \n rest of it", "rest of it", "a\tb"},
      // Colon and backslash are refused in letter-initial names but for a drive root.
      {"d:\\logs\\out.txt", "", "d:\\logs\\out.txt"},
      {"1logs\\out.txt x", "x", "1logs\\out.txt"},
      {"\"my file.txt", "", "", kHeader + "2015IE: Missing argument: '\"' expected.\n"},
      // An empty name is quoted from where the text started.
      {"\"\" rest", "\" rest", "", Invalid("\"\" rest")},
      {".profile x", " x", "", Invalid(".profile")},
      // The checks see the trimmed name, the message the name as scanned.
      {"\"name. \" x", "\" x", "", Invalid("name. ")},
      {"1a|b", "", "", Invalid("1a|b")},
      {"D:\\a/b", "", "", Invalid("D:\\a/b")},
      {"logs\\out.txt", "", "", Invalid("logs\\out.txt")},
      {"D:out.txt", "", "", Invalid("D:out.txt")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Env env;
    const char* cursor = c.text.c_str();
    std::string name = "unchanged";
    EXPECT_EQ(env.set.ParseFileName(env.caller, &cursor, &name, false), c.message.empty());
    EXPECT_EQ(name, c.message.empty() ? c.name : "unchanged");
    // The cursor stays inside the caller's text, also when it runs to the end.
    EXPECT_EQ(cursor, c.text.c_str() + (c.text.size() - c.rest.size())) << cursor;
    EXPECT_EQ(env.Messages(), c.message);
  }
}

// A name at the front of a record gets every check of a file-name operand;
// a tab or a control byte belongs to it, a NUL refuses it ('?' in the
// message). A whole record as a name is taken unparsed, short of a NUL.
TEST(RecordFileName, TakesTheNameOffTheRecordOrTheWholeRecord) {
  struct Case {
    std::string record;
    std::string name;      // accepted: the name; refused: the name in the message
    std::size_t rest = 0;  // accepted: where the data starts
    bool accepted = true;
  };
  const Case cases[] = {
      {"\"my file.txt\" data", "my file.txt", 14},
      // A NUL in the data is data; the offset counts past it.
      {std::string("out.txt \0x", 10), "out.txt", 8},
      {std::string("a\0b.txt data", 13), "a?b.txt", 0, false},
      {std::string("\0 data", 6), "?", 0, false},
      {std::string("\" \0\" data", 9), "?", 0, false},
      {"\"a.txt\t\" data", "a.txt\t", 9},
      {"a\tb.txt data", "a\tb.txt", 8},
      {"a\x7f data", "a\x7f", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Env env;
    std::string name = "unchanged";
    std::size_t rest = 99;
    EXPECT_EQ(ParseRecordFileName(env.set, env.caller, c.record, &name, &rest), c.accepted);
    EXPECT_EQ(name, c.accepted ? c.name : "unchanged");
    EXPECT_EQ(rest, c.accepted ? c.rest : 99u);
    EXPECT_EQ(env.Messages(), c.accepted ? "" : Invalid(c.name));
  }
  Env env;
  for (const char* whole : {" my file.txt", "a.txt\n", "/var/log/x.log", ".hidden", "a|b", ""})
    EXPECT_TRUE(CheckStreamFileName(env.set, env.caller, whole)) << whole;
  EXPECT_FALSE(CheckStreamFileName(env.set, env.caller, std::string("a\0\tb", 4)));
  EXPECT_EQ(env.Messages(), Invalid("a??b"));
}

// Input program files are looked for in the base directory, with the default
// extension added unless present in any case.
TEST(VerifyInputFile, LooksForTheTrimmedNameWithTheDefaultExtension) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("ductrine-operands-" + std::to_string(platform::ProcessId()));
  std::filesystem::create_directories(dir);
  for (const char* name : {"prog.rex", "UPPER.REX", "notes.txt.rex", "prog.txt"})
    std::ofstream(dir / name) << "say hi\n";
  Env env;
  env.set.baseDirectory = dir.string();
  auto check = [&env](const std::string& text) {
    const char* cursor = text.c_str();
    return env.set.ParseFileName(env.caller, &cursor, nullptr, true);
  };
  for (const char* text : {"prog", "UPPER.REX", "notes.txt", "\"  prog  \" rest"})
    EXPECT_TRUE(check(text)) << text;
  EXPECT_EQ(env.console.Text(), "");

  const std::string sep(1, platform::kDirectorySeparator);
  EXPECT_FALSE(check("prog.txt"));
  EXPECT_EQ(env.Messages(), kHeader + "2002IE: Input file: '" + dir.string() + sep +
                                "prog.txt.rex' failed to open, Rc: 2,\n" + std::string(20, ' ') +
                                "Reason: " + platform::ReasonText(2) + "\n");
  // A directory ending in a separator gets no second one; a drive root name
  // is not joined to the directory at all.
  env.set.baseDirectory += sep;
  EXPECT_FALSE(check("gone"));
  EXPECT_FALSE(check("Q:\\nowhere\\prog"));
  std::string text = env.console.Text();
  EXPECT_NE(text.find("'" + dir.string() + sep + "gone.rex'"), std::string::npos) << text;
  EXPECT_NE(text.find("Input file: 'Q:\\nowhere\\prog.rex' failed"), std::string::npos) << text;

  // A file another holds exclusively does not open.
  const std::string path = (dir / "prog.rex").string();
  std::FILE* holder = platform::OpenFileShared(path.c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  EXPECT_FALSE(check("prog"));
  std::fclose(holder);
  text = env.console.Text();
  EXPECT_NE(text.find("Input file: '" + path + "' failed to open"), std::string::npos) << text;
#if !defined(_WIN32)
  // The lock's "try again" would mislead: another holds the file.
  EXPECT_NE(text.find("Reason: The file is in use by another stage or process\n"), text.npos);
#endif
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ductrine::test

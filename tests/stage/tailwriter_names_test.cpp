// Files named by the records themselves, or by a stream of name records.
#include <mutex>
#include <stdexcept>

#include "tests/stage/tailwriter_fixture.h"

namespace ductrine::test {
namespace {

using fs::perms;

TEST_F(TailwriterTest, RecordsNameTheirFiles) {
  Outcome outcome = RunStage("", {"one.txt x", "two.txt y", "\"my file.txt\"  spaced  data "});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(Read(Path("one.txt")), "x");
  EXPECT_EQ(Read(Path("two.txt")), "y");
  EXPECT_EQ(Read(Path("my file.txt")), "spaced  data ");
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"x", "y", "spaced  data "}));
}

TEST_F(TailwriterTest, RecordsReturningToAnEarlierFileStartANewLine) {
  Write(Path("two.txt"), "old");
  // Names that differ only in case are different names.
  Outcome outcome =
      RunStage("", {"one.txt a", "one.txt b", "two.txt c", "one.txt d", "one.txt", "ONE.txt e"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(Path("one.txt")), "a\nb\nd\n");
  EXPECT_EQ(Read(Path("two.txt")), "old\nc");
  EXPECT_EQ(Read(Path("ONE.txt")), "e");
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
}

TEST_F(TailwriterTest, DataAfterANulInANamedRecordStillFlowsOn) {
  const std::string record("n.txt ab\0cd", 11);
  Outcome outcome = RunStage("", {record});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(Path("n.txt")), "ab");
  EXPECT_EQ(outcome.output, std::vector<std::string>{std::string("ab\0cd", 5)});
}

// The stage renames the file away while the stage still writes to it: a
// file kept open keeps receiving records under its new name.
RunFn RenameAfterFirst(const std::string& from, const std::string& to,
                       std::vector<std::string>* records) {
  return [from, to, records](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      if (records->empty()) fs::rename(from, to);
      records->push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
}

TEST_F(TailwriterTest, RecordsNamingTheSameFileKeepItOpen) {
  std::vector<std::string> records;
  Outcome outcome = RunStage("", {"k.txt a", "k.txt b"},
                             RenameAfterFirst(Path("k.txt"), Path("moved.txt"), &records));
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(Path("moved.txt")), "a\nb");
  EXPECT_FALSE(fs::exists(Path("k.txt")));
}

struct RefusedRecord {
  const char* label;
  std::string record;
  std::string message;
};

class RefusedRecordTest : public TailwriterTest,
                          public ::testing::WithParamInterface<RefusedRecord> {};

TEST_P(RefusedRecordTest, StopsTheStageAndPutsTheOpenFileBack) {
  const RefusedRecord& c = GetParam();
  const std::string file = Path("ro.txt");
  Write(file, "old\n");
  const perms readOnly = perms::owner_read | perms::group_read;
  fs::permissions(file, readOnly);
  Outcome outcome = RunStage("", {"ro.txt a", c.record, "ro.txt never"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, static_cast<std::uint32_t>(std::stoul(c.message.substr(0, 4))));
  EXPECT_EQ(outcome.console, StageMessage(c.message));
  // The accepted record reached the file and the file is read-only again.
  EXPECT_EQ(Read(file), "old\na");
  EXPECT_EQ(Mode(file), readOnly);
  EXPECT_EQ(outcome.output, std::vector<std::string>{"a"});
}

INSTANTIATE_TEST_SUITE_P(
    Records, RefusedRecordTest,
    ::testing::Values(
        RefusedRecord{"Slash", "sub/x.txt b",
                      "2005RE: Stream: 0, Rec: 2, Invalid argument: 'sub/x.txt', valid filename "
                      "expected."},
        RefusedRecord{"LeadingDot", ".x b",
                      "2005RE: Stream: 0, Rec: 2, Invalid argument: '.x', valid filename "
                      "expected."},
        RefusedRecord{"Backslash", "logs\\x b",
                      "2005RE: Stream: 0, Rec: 2, Invalid argument: 'logs\\x', valid filename "
                      "expected."},
        RefusedRecord{"Empty", "",
                      "2005RE: Stream: 0, Rec: 2, Invalid argument: '', valid filename expected."},
        RefusedRecord{"Blanks", "   ",
                      "2005RE: Stream: 0, Rec: 2, Invalid argument: '   ', valid filename "
                      "expected."},
        RefusedRecord{"OpenQuote", "\"x.txt b",
                      "2015RE: Stream: 0, Rec: 2, Missing argument: '\"' expected."},
        RefusedRecord{"PercentIsData", "%s%d|x b",
                      "2005RE: Stream: 0, Rec: 2, Invalid argument: '%s%d|x', valid filename "
                      "expected."}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(TailwriterTest, NameStreamNamesEachDataRecord) {
  Write(Path("n2"), "old");
  // A name record is a whole name, blanks and slashes included, unparsed.
  const std::string n1 = Path("n 1");
  Outcome outcome =
      RunNameStream({n1, n1, Path("n2"), Path("N2"), n1}, {"a", "b", "c", "d", "e"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(Read(n1), "a\nb\ne");
  EXPECT_EQ(Read(Path("n2")), "old\nc");
  EXPECT_EQ(Read(Path("N2")), "d");
  // Name records are not copied anywhere.
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST_F(TailwriterTest, EveryDataRecordWaitsForItsName) {
  // One name, two data records: the second finds the name stream ended.
  Outcome outcome = RunNameStream({Path("only")}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(Path("only")), "a");
  EXPECT_EQ(outcome.output, std::vector<std::string>{"a"});

  // Names without data create nothing.
  outcome = RunNameStream({Path("unused")}, {});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_FALSE(fs::exists(Path("unused")));
}

TEST_F(TailwriterTest, NameStreamKeepsAFileOpenWhileItsNameRepeats) {
  TestRun run;
  std::vector<std::string> output;
  StageRef data = run.Add(0, "DATA", Producer({"a", "b"}));
  StageRef stage = run.AddEntry(0, "TAILWRITER", entry);
  StageRef collector =
      run.Add(0, "COLLECTOR", RenameAfterFirst(Path("same"), Path("moved"), &output));
  StageRef names = run.Add(1, "NAMES", Producer({Path("same"), Path("same")}));
  run.Connect(data, stage);
  run.Connect(stage, collector);
  run.Connect(names, stage);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(stage.pipe, stage.stage), 0);
  EXPECT_EQ(Read(Path("moved")), "a\nb");
  EXPECT_FALSE(fs::exists(Path("same")));
}

TEST_F(TailwriterTest, NameStreamPutsReadOnlyFilesBack) {
  const std::string file = Path("ro");
  Write(file, "old\n");
  fs::permissions(file, perms::owner_read);
  Outcome outcome = RunNameStream({file, Path("other"), file}, {"a", "b", "c"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(file), "old\na\nc");
  EXPECT_EQ(Mode(file), perms::owner_read);
}

TEST_F(TailwriterTest, NameStreamReportsAnUncreatableFile) {
  const std::string bad = Path("no/folder");
  Outcome outcome = RunNameStream({Path("good"), bad}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(Path("good")), "a");
  EXPECT_EQ(outcome.console,
            StageMessage("2002RE: Stream: 1, Rec: 2, Output file: '" + bad +
                         "' failed to open, Rc: 2,\n" + kIndent +
                         "Reason: No such file or directory"));
}

// An exception passing through the stage must not leave its file open with
// records in the buffer, nor writable. The first console line throws; the
// console of its own keeps the stuck message lock away from everyone else.
TEST_F(TailwriterTest, ExceptionThroughRunStillClosesTheFile) {
  static long uses = 0;  // a console of its own every time: the lock stays taken
  platform::SetConsoleIdentityForTesting(90000000L + ++uses);
  std::vector<std::string> lines;
  std::mutex lock;
  bool thrown = false;
  platform::SetConsoleSink([&](std::string_view bytes) {
    std::lock_guard<std::mutex> hold(lock);
    if (!thrown) {
      thrown = true;
      throw std::runtime_error("console gone");
    }
    lines.emplace_back(bytes);
  });
  const std::string file = Path("ro.txt");
  Write(file, "old\n");
  fs::permissions(file, perms::owner_read);
  Outcome outcome = RunStage("", {"ro.txt a", "bad|name b"});
  platform::SetConsoleSink({});
  platform::SetConsoleIdentityForTesting(-1);

  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(file), "old\na");
  EXPECT_EQ(Mode(file), perms::owner_read);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("2999RE: Stream: 0, Rec: 2, console gone"), std::string::npos)
      << lines[0];
}

}  // namespace
}  // namespace ductrine::test

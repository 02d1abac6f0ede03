#include "driver/builtin_stages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "driver/line_splitter.h"
#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

// The records in the order they go out; "$" marks the end of the stream, so
// a line cut at the limit shows that it was not buffered to its end.
TEST(LineSplitter, CutsRecordsByTheLineRule) {
  struct Case { std::size_t longest; Strings chunks, records; };
  const std::size_t none = std::numeric_limits<std::size_t>::max() - 2;
  const Case cases[] = {
      // One carriage return before the line feed goes, any other stays; the
      // last line needs no line feed.
      {none, {"a\0b\r\r\n\nc\rd\n\r"s}, {"a\0b\r"s, "", "c\rd", "$", "\r"}},
      {none, {"abc\r", "\ndef"}, {"abc", "$", "def"}},
      {none, {"a", "b\nc", "d\n"}, {"ab", "cd", "$"}},
      // Past the longest record a line goes out cut at one byte over.
      {4, {"ab", "cd\r", "\nx"}, {"abcd", "$", "x"}},  // "\r\n" may still follow 4 bytes
      {4, {"abc", "def", "", "g\nxy", "\nz"}, {"abcde", "xy", "$", "z"}},  // the rest of the line is dropped
  };
  for (const Case& c : cases) {
    LineSplitter lines(c.longest);
    Strings records;
    auto emit = [&records](const std::string& record) { return records.push_back(record), true; };
    for (const std::string& chunk : c.chunks) EXPECT_TRUE(lines.Feed(chunk, emit));
    records.push_back("$");
    EXPECT_TRUE(lines.Finish(emit));
    EXPECT_EQ(records, c.records) << ::testing::PrintToString(c.chunks);
  }
}

// Standard streams that a test controls: its own read; output collected
// with a count of writes, or every write failing with `writeError`. Only the
// console's thread writes, and the test looks once the run has ended.
struct FakeStreams {
  explicit FakeStreams(std::function<long(char*, std::size_t)> read, bool lineByLine = false, int writeError = 0) {
    SetStandardStreamsForTesting({std::move(read), [this, writeError](std::string_view bytes) {
                                    ++writes;
                                    platform::SetLastErrorCode(writeError);
                                    if (writeError == 0) output.append(bytes);
                                    return writeError == 0;
                                  }, lineByLine});
  }
  ~FakeStreams() { SetStandardStreamsForTesting({}); }

  std::string output;
  int writes = 0;
};

struct Outcome { std::int32_t rc; Strings messages; /* stamps masked */ };

// Runs [SOURCE |] the built-in stage [| SINK]; `adjust` may change the stage
// before the start.
Outcome RunStage(const char* type, const std::string& operands, test::RunFn source, test::RunFn sink,
                 std::function<void(CStage&)> adjust = {}) {
  test::ConsoleCapture capture;
  test::TestRun run;
  StageRef from = source ? run.Add(0, "SOURCE", source) : StageRef{};
  StageRef stage = run.AddEntry(0, type, BuiltinStageEntry(type), operands);
  if (source) run.Connect(from, stage);
  if (sink) run.Connect(stage, run.Add(0, "SINK", sink));
  if (adjust) adjust(run.Stage(stage));
  Outcome out{run.Run().Code(0, source ? 1 : 0), {}};
  for (const std::string& line : capture.Lines()) out.messages.push_back(test::MaskStamp(line));
  return out;
}

Strings Failure(const std::string& where, int code) {
  return {"<stamp>PIPE: " + where + ", Rc: " + std::to_string(code) + ",",
          std::string(20, ' ') + "Reason: " + platform::ReasonText(code)};
}

// Standard input "a\r\n\nb", then `more` at each later read (null: the read
// fails). With nothing connected the input is only drained; a reader that
// ends ends the reading of an input that never does.
TEST(ConsoleStage, ReadsStandardInput) {
  struct Case { const char* more; int take; Strings records; };  // take: records taken, 0 for no reader
  const Case cases[] = {{"", 0, {}}, {"", -1, {"a", "", "b"}}, {"x\n", 3, {"a", "", "bx"}}, {nullptr, -1, {"a", ""}}};
  const Strings failed = Failure("Pipe(0),Stage(0),Type(CONSOLE): 2003RE: Failure reading file: 'STDIN'", EIO);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "more " << (c.more ? c.more : "(fails)") << ", take " << c.take);
    int reads = 0;
    FakeStreams streams([&](char* buffer, std::size_t) -> long {
      std::string bytes = ++reads == 1 ? "a\r\n\nb" : c.more ? c.more : "";
      if (reads > 1 && !c.more) {
        platform::SetLastErrorCode(EIO);
        return -1;
      }
      return static_cast<long>(bytes.copy(buffer, bytes.size()));
    });
    Strings records;
    Outcome out = RunStage("CONSOLE", "", {}, c.take ? test::Collector(&records, c.take) : test::RunFn{});
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(out.rc, c.more ? 0 : 3);
    EXPECT_EQ(out.messages, c.more ? Strings{} : failed);
    if (c.take <= 0) { EXPECT_EQ(reads, 2) << "read to the end"; }
    EXPECT_EQ(streams.output, "") << "a reading console shows nothing";
  }
}

// CONSOLE stages that read one standard input take whole lines from it in
// turn, though the input comes in blocks that cut lines anywhere: every line
// reaches one of them whole, each in order; fibers and threads alike.
TEST(ConsoleStage, ReadersOfOneInputTakeWholeLinesInTurn) {
  Strings lines;
  std::string input;
  for (int i = 0; i < 3000; ++i) {
    lines.push_back(std::to_string(10000 + i));
    input += lines.back() + "\n";
  }
  for (bool threads : {false, true}) {
    SCOPED_TRACE(threads ? "a thread each" : "fibers");
    std::mutex lock;
    std::size_t at = 0;
    FakeStreams streams([&](char* buffer, std::size_t size) -> long {
      std::lock_guard<std::mutex> hold(lock);
      const std::size_t n = std::min({std::size_t{7}, size, input.size() - at});
      input.copy(buffer, n, at);
      at += n;
      return static_cast<long>(n);
    });
    test::TestRun run;
    run.threadPerStage = threads;
    Strings got[2];
    for (std::uint32_t pipe = 0; pipe < 2; ++pipe)
      run.Connect(run.AddEntry(pipe, "CONSOLE", BuiltinStageEntry("CONSOLE")),
                  run.Add(pipe, "SINK", test::Collector(&got[pipe])));
    RunResult result = run.Run();
    EXPECT_EQ(result.Code(0, 0), 0);
    EXPECT_EQ(result.Code(1, 0), 0);
    for (const Strings& taken : got) EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
    Strings all = got[0];
    all.insert(all.end(), got[1].begin(), got[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, lines);
  }
}

// Each record shown and passed on, in one write unless for a terminal. A
// reader that has gone ends the stage quietly; any other failure is
// reported, at once for a terminal, else at the end; nothing is tried after.
TEST(ConsoleStage, ShowsEachRecordAndPassesItOn) {
  struct Case { bool terminal; int error; std::string record; };
  const Case cases[] = {{false, 0, ""}, {true, 0, ""}, {true, platform::BrokenPipeCode(), ""}, {false, ENOSPC, "4"},
                        {true, ENOSPC, "1"}};
  const Strings shown = {"a", "", "b c", "nul\0in"s};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "terminal " << c.terminal << ", error " << c.error);
    FakeStreams streams({}, c.terminal, c.error);
    Strings records;
    Outcome out = RunStage("CONSOLE", "", test::Producer(shown), c.error ? test::RunFn{} : test::Collector(&records));
    EXPECT_EQ(out.rc, c.record.empty() ? 0 : 3);
    EXPECT_EQ(out.messages, c.record.empty() ? Strings{}
                                             : Failure("Pipe(0),Stage(1),Type(CONSOLE): 2999RE: Stream: 0, Rec: " +
                                                           c.record + ", Failure writing file: 'STDOUT'", c.error));
    EXPECT_EQ(streams.output, c.error ? "" : "a\n\nb c\nnul\0in\n"s);
    EXPECT_EQ(records, c.error ? Strings{} : shown);
    EXPECT_EQ(streams.writes, c.terminal && !c.error ? 4 : 1);
  }
}

TEST(LiteralStage, WritesItsTextWholeThoughItSelectsThenCopiesItsInput) {
  Strings records;
  RunStage("LITERAL", "hello there", test::Producer({"a b"}), test::Collector(&records), [](CStage& stage) {
    stage.selectActive = stage.selectWords = 1;
    stage.selectFrom = stage.selectTo = 1;
  });
  EXPECT_EQ(records, (Strings{"hello there", "a b"}));
}

// Nobody may write the file while it is read: "< f | >> f" would never end.
TEST(ReadFileStage, KeepsOthersFromWritingTheFileWhileItReads) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("ductrine-" + std::to_string(platform::ProcessId()) + "-held.txt")).string();
  std::ofstream(path, std::ios::binary) << "one\ntwo";
  bool appendRefused = false;
  Strings records;
  RunStage("<", path, {}, [&](CProcess& self, CPipeSet& set) {
    std::FILE* other = platform::OpenFileShared(path.c_str(), "a", platform::Share::kDenyReadWrite);
    appendRefused = other == nullptr;
    if (other) std::fclose(other);
    return test::Collector(&records)(self, set);
  });
  std::remove(path.c_str());
  EXPECT_TRUE(appendRefused);
  EXPECT_EQ(records, (Strings{"one", "two"}));
}

// No file of a run reaches a child process that a stage starts (a module
// may run a command): the input of "<", the Tailwriter's probe before its
// first record and its append file after it are all closed at an exec.
TEST(FilesOfARun, AreNotInheritedByChildProcesses) {
  if (!test::kCanListOpenFiles) GTEST_SKIP() << "no list of open files here";
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("ductrine-" + std::to_string(platform::ProcessId()) + "-inherit");
  std::filesystem::create_directories(folder);
  const std::string in = (folder / "in.txt").string(), out = (folder / "out.txt").string();
  std::ofstream(in, std::ios::binary) << "one\ntwo\n";
  std::ofstream(out, std::ios::binary) << "old\n";
  std::string error;
  StageEntry tailwriter = test::LoadBuiltModule("tailwriter", &error);
  ASSERT_NE(tailwriter, nullptr) << error;

  std::vector<std::vector<test::OpenFile>> looks;  // before the first record, after each append
  test::ConsoleCapture capture;
  test::TestRun run;
  StageRef read = run.AddEntry(0, "<", BuiltinStageEntry("<"), in);
  StageRef watch = run.Add(0, "WATCH", [&](CProcess& self, CPipeSet& set) {
    // The Tailwriter waits for its first record: its file is probed.
    EXPECT_TRUE(test::WaitUntil([&] { return set.pipes[0].stages[2].state == kStateReadPending; }));
    looks.push_back(test::OpenFilesUnder(folder.string()));
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      set.WriteRecord(self, 0, record);  // appended once it returns
      looks.push_back(test::OpenFilesUnder(folder.string()));
      set.ConsumeRecord(self, 0);
    }
    return 0;
  });
  StageRef append = run.AddEntry(0, "TAILWRITER", tailwriter, out);
  run.Connect(read, watch);
  run.Connect(watch, append);
  RunResult result = run.Run();
  test::RemoveAll(folder.string());
  EXPECT_EQ(result.highestReturnCode, 0u) << capture.Text();
  ASSERT_EQ(looks.size(), 3u);
  for (const auto& look : looks) {
    SCOPED_TRACE(&look - looks.data());
    std::set<std::string> open;
    for (const test::OpenFile& file : look) {
      open.insert(std::filesystem::path(file.path).filename().string());
      EXPECT_FALSE(file.inherited) << file.path;
    }
    EXPECT_EQ(open, (std::set<std::string>{"in.txt", "out.txt"})) << "both held at every look";
  }
}

}  // namespace
}  // namespace ductrine

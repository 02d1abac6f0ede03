#include "driver/builtin_stages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/harness.h"

namespace ductrine {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::Collector;
using test::Producer;
using test::TestRun;
using Strings = std::vector<std::string>;
using ReadFn = std::function<long(char*, std::size_t)>;

// Standard streams that a test controls: its own read; output collected
// with a count of writes, or every write failing with `writeError`. Only the
// console's thread writes, and the test looks once the run has ended.
struct FakeStreams {
  explicit FakeStreams(ReadFn read, bool lineByLine = false, int writeError = 0) {
    SetStandardStreamsForTesting({std::move(read), [this, writeError](std::string_view bytes) {
                                    ++writes;
                                    if (writeError != 0) platform::SetLastErrorCode(writeError);
                                    if (writeError == 0) output.append(bytes);
                                    return writeError == 0;
                                  }, lineByLine});
  }
  ~FakeStreams() { SetStandardStreamsForTesting({}); }

  std::string output;
  int writes = 0;
};

// Writes records until its output goes.
std::int32_t Endless(CProcess& self, CPipeSet& set) {
  while (set.WriteRecord(self, 0, "again")) continue;
  return 0;
}

// Takes `count` records, then ends.
test::RunFn TakeThenEnd(int count, Strings* out) {
  return [count, out](CProcess& self, CPipeSet& set) {
    std::string record;
    for (int i = 0; i < count && set.PeekRecord(self, 0, record); ++i) {
      out->push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
}

struct Outcome { RunResult result; Strings messages; /* stamps masked */ };

// Runs [SOURCE |] the built-in stage [| SINK], with `other` alone in pipe 1;
// `adjust` may change the run and the stage before the start.
Outcome RunStage(const char* type, const std::string& operands, test::RunFn source, test::RunFn sink,
                 test::RunFn other = {}, std::function<void(TestRun&, CStage&)> adjust = {}) {
  test::ConsoleCapture capture;
  TestRun run;
  StageRef from = source ? run.Add(0, "SOURCE", source) : StageRef{};
  StageRef stage = run.AddEntry(0, type, BuiltinStageEntry(type), operands);
  if (source) run.Connect(from, stage);
  if (sink) run.Connect(stage, run.Add(0, "SINK", sink));
  if (other) run.Add(1, "OTHER", other);
  if (adjust) adjust(run, run.Stage(stage));
  Outcome out{run.Run(), {}};
  for (const std::string& line : capture.Lines()) out.messages.push_back(test::MaskStamp(line));
  return out;
}

// ---------------------------------------------------------------------------
// CONSOLE reading standard input.

TEST(ConsoleStage, WithNothingConnectedDrainsStandardInput) {
  int reads = 0;
  FakeStreams streams([&reads](char* buffer, std::size_t) {
    return ++reads == 1 ? static_cast<long>(std::string("a\nb\nc\n").copy(buffer, 6)) : 0L;
  });
  Outcome out = RunStage("CONSOLE", "", {}, {});
  EXPECT_EQ(out.result.Code(0, 0), 0);
  EXPECT_EQ(reads, 2) << "read to the end";
  EXPECT_EQ(streams.output, "") << "a reading console shows nothing";
}

TEST(ConsoleStage, ReaderEndsWhenItsReaderHasGone) {
  FakeStreams streams([](char* buffer, std::size_t size) {
    std::string_view line = "line\n";  // an input that never ends
    std::size_t n = std::min(size, line.size());
    line.copy(buffer, n);
    return static_cast<long>(n);
  });
  Strings records;
  Outcome out = RunStage("CONSOLE", "", {}, TakeThenEnd(2, &records));
  EXPECT_EQ(out.result.Code(0, 0), 0);
  EXPECT_EQ(records, (Strings{"line", "line"}));
}

TEST(ConsoleStage, ReaderBlockedOnInputIsEndedByAStop) {
  FakeStreams streams([](char*, std::size_t) -> long {
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a silent terminal
  });
  Strings records;
  // Without the stop's reach into the read, this never returns.
  Outcome out = RunStage("CONSOLE", "", {}, Collector(&records), [](CProcess&, CPipeSet& set) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    set.Quiesce(2);
    return 0;
  });
  EXPECT_EQ(out.result.Code(0, 0), 0);
  EXPECT_TRUE(records.empty());
}

TEST(ConsoleStage, ReportsAFailingRead) {
  FakeStreams streams([](char*, std::size_t) -> long {
    platform::SetLastErrorCode(EIO);
    return -1;
  });
  Outcome out = RunStage("CONSOLE", "", {}, {});
  EXPECT_EQ(out.result.Code(0, 0), 3);
  EXPECT_EQ(out.result.highestReturnCode, 2003u);
  EXPECT_EQ(out.messages, (Strings{"<stamp>PIPE: Pipe(0),Stage(0),Type(CONSOLE): 2003RE: Failure reading file: "
                                   "'STDIN', Rc: " + std::to_string(EIO) + ",",
                                   std::string(20, ' ') + "Reason: " + platform::ReasonText(EIO)}));
}

// ---------------------------------------------------------------------------
// CONSOLE writing standard output.

TEST(ConsoleStage, ShowsEachRecordAndPassesItOnInOneWriteUnlessForATerminal) {
  const Strings shown = {"a", "", "b c", "nul\0in"s};
  for (bool terminal : {false, true}) {
    FakeStreams streams({}, terminal);
    Strings records;
    Outcome out = RunStage("CONSOLE", "", Producer(shown), Collector(&records));
    EXPECT_EQ(out.result.Code(0, 1), 0);
    EXPECT_EQ(streams.output, "a\n\nb c\nnul\0in\n"s);
    EXPECT_EQ(records, shown);
    EXPECT_EQ(streams.writes, terminal ? 4 : 1) << terminal;
  }
}

TEST(ConsoleStage, EndsQuietlyWhenStandardOutputIsClosed) {
  FakeStreams streams({}, true, platform::BrokenPipeCode());
  Outcome out = RunStage("CONSOLE", "", Endless, {});  // only the console's end stops the producer
  EXPECT_EQ(out.result.Code(0, 1), 0);
  EXPECT_EQ(out.result.highestReturnCode, 0u);
  EXPECT_EQ(streams.writes, 1) << "nothing is tried after the reader has gone";
  EXPECT_TRUE(out.messages.empty());
}

TEST(ConsoleStage, ReportsAnyOtherWriteFailureAtOnceOrAtTheEnd) {
  for (bool terminal : {false, true}) {
    FakeStreams streams({}, terminal, ENOSPC);
    Outcome out = RunStage("CONSOLE", "", Producer({"a", "b"}), {});
    EXPECT_EQ(out.result.Code(0, 1), 3);
    EXPECT_EQ(out.result.highestReturnCode, 2999u);
    EXPECT_EQ(out.messages, (Strings{"<stamp>PIPE: Pipe(0),Stage(1),Type(CONSOLE): 2999RE: Stream: 0, Rec: " +
                                         std::string(terminal ? "1" : "2") + ", Failure writing file: 'STDOUT', Rc: " +
                                         std::to_string(ENOSPC) + ",",
                                     std::string(20, ' ') + "Reason: " + platform::ReasonText(ENOSPC)}));
    EXPECT_EQ(streams.writes, 1);
  }
}

// ---------------------------------------------------------------------------
// LITERAL

TEST(LiteralStage, WritesItsTextWholeThenCopiesItsInput) {
  Strings records;
  RunStage("LITERAL", "", Producer({"x"}), Collector(&records));
  EXPECT_EQ(records, (Strings{"", "x"}));
  records.clear();
  RunStage("LITERAL", "hello there", Producer({"a b"}), Collector(&records), {}, [](TestRun&, CStage& stage) {
    stage.selectActive = stage.selectWords = 1;
    stage.selectFrom = stage.selectTo = 1;
  });
  EXPECT_EQ(records, (Strings{"hello there", "a b"})) << "a selection leaves the text whole";
}

TEST(LiteralStage, EndsWhenItsOutputHasGone) {
  Strings records;
  Outcome out = RunStage("LITERAL", "first", Endless, TakeThenEnd(3, &records));
  EXPECT_EQ(out.result.Code(0, 1), 0);
  EXPECT_EQ(records, (Strings{"first", "again", "again"}));
}

// ---------------------------------------------------------------------------
// "<"

// A file of the test's own, removed at the end of the test.
struct TempFile {
  TempFile(const std::string& name, const std::string& content)
      : path((fs::temp_directory_path() / ("ductrine-" + std::to_string(platform::ProcessId()) + "-" + name))
                 .string()) {
    std::ofstream(path, std::ios::binary) << content;
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

TEST(ReadFileStage, LinesLongerThanOneReadBlockArriveWhole) {
  std::string line(150000, 'q');
  TempFile file("long.txt", line + "\nshort\n");
  Strings records;
  auto bigRecords = [](TestRun& run, CStage&) { run.set.recordLimit = 1 << 20; };
  RunStage("<", file.path, {}, Collector(&records), {}, bigRecords);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], line);
}

TEST(ReadFileStage, AFolderIsAReadFailure) {
  const std::string folder = fs::temp_directory_path().string();
  Strings records;
  Outcome out = RunStage("<", folder, {}, Collector(&records));
  ASSERT_FALSE(out.messages.empty());
#if defined(_WIN32)
  // Windows does not open a folder as a file at all.
  EXPECT_EQ(out.messages[0], "<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2002IE: Input file: '" + folder +
                                 "' failed to open, Rc: 5,");  // access denied
#else
  EXPECT_EQ(out.messages[0], "<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2003RE: Failure reading file: '" + folder +
                                 "', Rc: " + std::to_string(EISDIR) + ",");
#endif
  EXPECT_EQ(out.result.Code(0, 0), 3);
}

TEST(ReadFileStage, KeepsOthersFromWritingTheFileWhileItReads) {
  TempFile file("held.txt", "one\ntwo\n");
  bool appendRefused = false;
  Strings records;
  RunStage("<", file.path, {}, [&](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      if (records.empty()) {
        std::FILE* other = platform::OpenFileShared(file.path.c_str(), "a", platform::Share::kDenyReadWrite);
        appendRefused = other == nullptr;
        if (other) std::fclose(other);
      }
      records.push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  });
  EXPECT_TRUE(appendRefused);
  EXPECT_EQ(records, (Strings{"one", "two"}));
}

}  // namespace
}  // namespace ductrine

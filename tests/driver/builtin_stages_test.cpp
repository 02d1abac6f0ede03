#include "driver/builtin_stages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
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
using test::ConsoleCapture;
using test::Producer;
using test::TestRun;

// Standard streams that a test controls: input served in small chunks, so
// lines cross chunk boundaries; output collected with a count of writes.
class FakeStreams {
 public:
  explicit FakeStreams(std::string input = {}, std::size_t chunk = 3)
      : input_(std::move(input)), chunk_(chunk) {}
  ~FakeStreams() { SetStandardStreamsForTesting({}); }

  void Install(bool lineByLine) {
    StandardStreams streams;
    streams.read = [this](char* buffer, std::size_t size) { return Read(buffer, size); };
    streams.write = [this](std::string_view bytes) { return Write(bytes); };
    streams.lineByLine = lineByLine;
    SetStandardStreamsForTesting(std::move(streams));
  }

  std::function<long(char*, std::size_t)> read;  // replaces the served input when set
  int writeError = 0;                             // a failing write sets this code

  std::string Output() const {
    std::lock_guard<std::mutex> hold(lock_);
    return output_;
  }
  int Writes() const { return writes_; }
  std::size_t Consumed() const { return position_; }

 private:
  long Read(char* buffer, std::size_t size) {
    if (read) return read(buffer, size);
    std::size_t n = std::min({size, chunk_, input_.size() - position_});
    input_.copy(buffer, n, position_);
    position_ += n;
    return static_cast<long>(n);
  }

  bool Write(std::string_view bytes) {
    ++writes_;
    if (writeError != 0) {
      platform::SetLastErrorCode(writeError);
      return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    output_.append(bytes);
    return true;
  }

  std::string input_;
  std::size_t chunk_;
  std::atomic<std::size_t> position_{0};
  mutable std::mutex lock_;
  std::string output_;
  std::atomic<int> writes_{0};
};

// Writes records until its output goes; counts them.
test::RunFn Endless(std::atomic<int>* written) {
  return [written](CProcess& self, CPipeSet& set) {
    while (set.WriteRecord(self, 0, "again")) ++*written;
    return 0;
  };
}

// Takes `count` records, then ends.
test::RunFn TakeThenEnd(int count, std::vector<std::string>* out) {
  return [count, out](CProcess& self, CPipeSet& set) {
    std::string record;
    for (int i = 0; i < count && set.PeekRecord(self, 0, record); ++i) {
      out->push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
}

std::vector<std::string> MaskedLines(const ConsoleCapture& console) {
  std::vector<std::string> lines;
  for (const std::string& line : console.Lines()) lines.push_back(test::MaskStamp(line));
  return lines;
}

// ---------------------------------------------------------------------------
// CONSOLE reading standard input.

TEST(ConsoleStage, WithNoInputStreamReadsStandardInputLineByLine) {
  FakeStreams streams("one\r\ntwo\n\0x\n\nlast"s);
  streams.Install(false);
  TestRun run;
  std::vector<std::string> records;
  StageRef console = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  StageRef sink = run.Add(0, "SINK", Collector(&records));
  run.Connect(console, sink);
  RunResult result = run.Run();
  EXPECT_EQ(records, (std::vector<std::string>{"one", "two", "\0x"s, "", "last"}));
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_EQ(streams.Output(), "") << "a reading console shows nothing";
}

TEST(ConsoleStage, WithNothingConnectedDrainsStandardInput) {
  FakeStreams streams("a\nb\nc\n");
  streams.Install(false);
  TestRun run;
  run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_EQ(streams.Consumed(), 6u);
  EXPECT_EQ(streams.Output(), "");
}

TEST(ConsoleStage, ReaderEndsWhenItsReaderHasGone) {
  FakeStreams streams;
  streams.read = [](char* buffer, std::size_t size) {
    std::string_view line = "line\n";  // an input that never ends
    std::size_t n = std::min(size, line.size());
    line.copy(buffer, n);
    return static_cast<long>(n);
  };
  streams.Install(false);
  TestRun run;
  std::vector<std::string> records;
  StageRef console = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  StageRef sink = run.Add(0, "SINK", TakeThenEnd(2, &records));
  run.Connect(console, sink);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_EQ(records, (std::vector<std::string>{"line", "line"}));
}

TEST(ConsoleStage, ReaderBlockedOnInputIsEndedByAStop) {
  FakeStreams streams;
  streams.read = [](char*, std::size_t) -> long {
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a silent terminal
  };
  streams.Install(false);
  TestRun run;
  std::vector<std::string> records;
  StageRef console = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  StageRef sink = run.Add(0, "SINK", Collector(&records));
  run.Connect(console, sink);
  run.Add(1, "STOPPER", [](CProcess&, CPipeSet& set) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    set.Quiesce(2);
    return 0;
  });
  RunResult result = run.Run();  // without the stop's reach into the read, this never returns
  EXPECT_EQ(result.Code(0, 0), 0);
  EXPECT_TRUE(records.empty());
}

TEST(ConsoleStage, ReportsAFailingRead) {
  ConsoleCapture console;
  FakeStreams streams;
  streams.read = [](char*, std::size_t) -> long {
    platform::SetLastErrorCode(EIO);
    return -1;
  };
  streams.Install(false);
  TestRun run;
  run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 0), 3);
  EXPECT_EQ(result.highestReturnCode, 2003u);
  ASSERT_EQ(MaskedLines(console).size(), 2u);
  EXPECT_EQ(MaskedLines(console)[0],
            "<stamp>PIPE: Pipe(0),Stage(0),Type(CONSOLE): 2003RE: Failure reading file: 'STDIN', "
            "Rc: " + std::to_string(EIO) + ",");
  EXPECT_EQ(MaskedLines(console)[1], std::string(20, ' ') + "Reason: " + platform::ReasonText(EIO));
}

// ---------------------------------------------------------------------------
// CONSOLE writing standard output.

TEST(ConsoleStage, WithAnInputShowsEachRecordAndPassesItOn) {
  FakeStreams streams;
  streams.Install(false);
  TestRun run;
  std::vector<std::string> records;
  StageRef source = run.Add(0, "SOURCE", Producer({"a", "", "b c", "nul\0in"s}));
  StageRef console = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  StageRef sink = run.Add(0, "SINK", Collector(&records));
  run.Connect(source, console);
  run.Connect(console, sink);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 1), 0);
  EXPECT_EQ(streams.Output(), "a\n\nb c\nnul\0in\n"s);
  EXPECT_EQ(records, (std::vector<std::string>{"a", "", "b c", "nul\0in"s}));
}

TEST(ConsoleStage, BuffersForAFileAndWritesEachRecordForATerminal) {
  std::vector<std::string> many(500, "record");
  for (bool terminal : {false, true}) {
    FakeStreams streams;
    streams.Install(terminal);
    TestRun run;
    StageRef source = run.Add(0, "SOURCE", Producer(many));
    StageRef console = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
    run.Connect(source, console);
    run.Run();
    EXPECT_EQ(streams.Output().size(), 500u * 7u);
    if (terminal) {
      EXPECT_EQ(streams.Writes(), 500);
    } else {
      EXPECT_EQ(streams.Writes(), 1);
    }
  }
}

TEST(ConsoleStage, EndsQuietlyWhenStandardOutputIsClosed) {
  ConsoleCapture console;
  FakeStreams streams;
  streams.writeError = platform::BrokenPipeCode();
  streams.Install(true);
  TestRun run;
  std::atomic<int> written{0};
  StageRef source = run.Add(0, "SOURCE", Endless(&written));
  StageRef stage = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  run.Connect(source, stage);
  RunResult result = run.Run();  // an endless producer: only the console's end stops it
  EXPECT_EQ(result.Code(0, 1), 0);
  EXPECT_EQ(result.highestReturnCode, 0u);
  EXPECT_EQ(streams.Writes(), 1) << "nothing is tried after the reader has gone";
  EXPECT_EQ(console.Text(), "");
}

TEST(ConsoleStage, ReportsAnyOtherWriteFailure) {
  ConsoleCapture console;
  FakeStreams streams;
  streams.writeError = ENOSPC;
  streams.Install(false);
  TestRun run;
  StageRef source = run.Add(0, "SOURCE", Producer({"a", "b"}));
  StageRef stage = run.AddEntry(0, "CONSOLE", BeginConsoleStage);
  run.Connect(source, stage);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 1), 3);
  EXPECT_EQ(result.highestReturnCode, 2999u);
  std::vector<std::string> lines = MaskedLines(console);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "<stamp>PIPE: Pipe(0),Stage(1),Type(CONSOLE): 2999RE: Stream: 0, Rec: 2, "
                      "Failure writing file: 'STDOUT', Rc: " + std::to_string(ENOSPC) + ",");
  EXPECT_EQ(lines[1], std::string(20, ' ') + "Reason: " + platform::ReasonText(ENOSPC));
  EXPECT_EQ(streams.Writes(), 1);
}

// ---------------------------------------------------------------------------
// LITERAL

struct LiteralRun {
  std::vector<std::string> records;
  RunResult result;
};

LiteralRun RunLiteral(const std::string& text, std::vector<std::string> input, bool select) {
  LiteralRun out;
  TestRun run;
  StageRef source = run.Add(0, "SOURCE", Producer(std::move(input)));
  StageRef literal = run.AddEntry(0, "LITERAL", BeginLiteralStage, text);
  StageRef sink = run.Add(0, "SINK", Collector(&out.records));
  run.Connect(source, literal);
  run.Connect(literal, sink);
  if (select) {
    CStage& stage = run.Stage(literal);
    stage.selectActive = 1;
    stage.selectWords = 1;
    stage.selectFrom = 1;
    stage.selectTo = 1;
  }
  out.result = run.Run();
  return out;
}

TEST(LiteralStage, WritesItsTextThenCopiesItsInput) {
  EXPECT_EQ(RunLiteral("hello there", {"x", "y"}, false).records,
            (std::vector<std::string>{"hello there", "x", "y"}));
  EXPECT_EQ(RunLiteral("", {"x"}, false).records, (std::vector<std::string>{"", "x"}));
}

TEST(LiteralStage, WithASelectionStillWritesItsOwnTextWhole) {
  EXPECT_EQ(RunLiteral("hello there", {"a b"}, true).records,
            (std::vector<std::string>{"hello there", "a b"}));
}

TEST(LiteralStage, EndsWhenItsOutputHasGone) {
  TestRun run;
  std::atomic<int> written{0};
  std::vector<std::string> records;
  StageRef source = run.Add(0, "SOURCE", Endless(&written));
  StageRef literal = run.AddEntry(0, "LITERAL", BeginLiteralStage, "first");
  StageRef sink = run.Add(0, "SINK", TakeThenEnd(3, &records));
  run.Connect(source, literal);
  run.Connect(literal, sink);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(0, 1), 0);
  EXPECT_EQ(records, (std::vector<std::string>{"first", "again", "again"}));
}

// ---------------------------------------------------------------------------
// "<"

class ReadFileStage : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() / ("ductrine-readfile-" + std::to_string(platform::ProcessId()) +
                                       "-" + std::to_string(counter++));
    fs::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string Make(const std::string& name, const std::string& content) {
    std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  struct Outcome {
    std::vector<std::string> records;
    RunResult result;
    std::vector<std::string> console;
  };
  Outcome Read(const std::string& operand, test::RunFn consumer = {},
               std::uint32_t recordLimit = 65536) {
    Outcome out;
    ConsoleCapture console;
    TestRun run;
    run.set.recordLimit = recordLimit;
    StageRef reader = run.AddEntry(0, "<", BeginReadFileStage, operand);
    StageRef sink = run.Add(0, "SINK", consumer ? consumer : Collector(&out.records));
    run.Connect(reader, sink);
    out.result = run.Run();
    out.console = MaskedLines(console);
    return out;
  }

  fs::path dir;
};

TEST_F(ReadFileStage, LinesLongerThanOneReadBlockArriveWhole) {
  std::string line(150000, 'q');
  Outcome out = Read(Make("long.txt", line + "\nshort\n"), {}, 1 << 20);
  ASSERT_EQ(out.records.size(), 2u);
  EXPECT_EQ(out.records[0], line);
}

TEST_F(ReadFileStage, WithoutAnOperandStopsTheRunBeforeItStarts) {
  Outcome out = Read("");
  EXPECT_EQ(out.console,
            (std::vector<std::string>{
                "<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2001IE: Missing argument, Filename expected."}));
  EXPECT_EQ(out.result.Code(0, 0), 3);
  EXPECT_EQ(out.result.Code(0, 1), 3) << "no stage runs when a setup fails";
  EXPECT_EQ(out.result.highestReturnCode, 2001u);
}

TEST_F(ReadFileStage, AFolderIsAReadFailure) {
  Outcome out = Read(dir.string());
  ASSERT_FALSE(out.console.empty());
  EXPECT_EQ(out.console[0], "<stamp>PIPE: Pipe(0),Stage(0),Type(<): 2003RE: Failure reading file: '" +
                                dir.string() + "', Rc: " + std::to_string(EISDIR) + ",");
  EXPECT_EQ(out.result.Code(0, 0), 3);
}

TEST_F(ReadFileStage, KeepsOthersFromWritingTheFileWhileItReads) {
  std::string path = Make("held.txt", "one\ntwo\n");
  bool appendRefused = false;
  std::vector<std::string> records;
  Read(path, [&](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      if (records.empty()) {
        std::FILE* other = platform::OpenFileShared(path.c_str(), "a", platform::Share::kDenyReadWrite);
        appendRefused = other == nullptr;
        if (other) std::fclose(other);
      }
      records.push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  });
  EXPECT_TRUE(appendRefused);
  EXPECT_EQ(records, (std::vector<std::string>{"one", "two"}));
}

TEST(BuiltinStageEntry, KnowsTheThreeBuiltInTypesOnly) {
  EXPECT_EQ(BuiltinStageEntry("CONSOLE"), &BeginConsoleStage);
  EXPECT_EQ(BuiltinStageEntry("LITERAL"), &BeginLiteralStage);
  EXPECT_EQ(BuiltinStageEntry("<"), &BeginReadFileStage);
  EXPECT_EQ(BuiltinStageEntry("TAILWRITER"), nullptr);
  EXPECT_EQ(BuiltinStageEntry("console"), nullptr) << "type names are canonical, upper case";
}

}  // namespace
}  // namespace ductrine

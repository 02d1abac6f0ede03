// The built tailwriter module, loaded the way the pipe command loads it, run
// through the run engine on real files in a temporary folder, which is also
// the working folder while a test runs (names from records have no slash).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

namespace fs = std::filesystem;
using fs::perms;

struct Outcome {
  std::int32_t rc = -1;       // the tailwriter stage's return code
  std::uint32_t highest = 0;  // the run's highestReturnCode
  std::vector<std::string> output;
  std::string console;  // its console lines, date and time masked
  std::vector<std::uint32_t> limits;  // inputs required, most inputs, most outputs
};

class TailwriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    static StageEntry loaded = LoadBuiltModule("tailwriter", &error);
    entry = loaded;
    ASSERT_NE(entry, nullptr) << error;
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() /
          ("ductrine-tailwriter-" + std::to_string(platform::ProcessId()) + "-" +
           std::to_string(counter++));
    RemoveAll(dir.string());  // left by an earlier process of the same id
    fs::create_directories(dir);
    previous = fs::current_path();
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path(previous);
    RemoveAll(dir.string());
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Files hold text as this flavour's text mode writes it.
  static void Write(const std::string& path, const std::string& content, perms mode = perms::none) {
    std::ofstream(path, std::ios::binary) << FileText(content);
    if (mode != perms::none) fs::permissions(path, mode);
  }
  static perms Mode(const std::string& path) {
    return Shown(fs::status(path).permissions() & perms::mask);
  }
  // What this flavour keeps of a mode: every bit on POSIX; on Windows only
  // the read-only attribute, which is the owner's write bit.
  static perms Shown(perms mode) {
#if defined(_WIN32)
    return mode & perms::owner_write;
#else
    return mode;
#endif
  }

  // The console lines from byte `from` on, date and time masked.
  std::string Console(std::size_t from = 0) const {
    std::string text, line;
    std::istringstream in(console.Text().substr(from));
    while (std::getline(in, line)) text += MaskStamp(line) + "\n";
    return text;
  }

  // DATA -> TAILWRITER -> COLLECTOR (or `collect`); `names`, when given,
  // feeds the stage's secondary input.
  Outcome RunStage(const std::string& operands, std::vector<std::string> records,
                   RunFn collect = {}, RunFn names = {}) {
    TestRun run;
    Outcome outcome;
    const std::size_t from = console.Text().size();
    StageRef data = run.Add(0, "DATA", Producer(std::move(records)));
    StageRef stage = run.AddEntry(0, "TAILWRITER", entry, operands);
    run.Connect(data, stage);
    run.Connect(stage, run.Add(0, "COLLECTOR", collect ? collect : Collector(&outcome.output)));
    if (names) run.Connect(run.Add(1, "NAMES", names), stage);
    RunResult result = run.Run([&](CPipeSet& set) {
      CStage& declared = set.pipes[stage.pipe].stages[stage.stage];
      outcome.limits = {declared.inputRequired, declared.maxInputStreams,
                        declared.maxOutputStreams};
    });
    outcome.rc = result.Code(stage.pipe, stage.stage);
    outcome.highest = result.highestReturnCode;
    outcome.console = Console(from);
    return outcome;
  }
  Outcome RunNames(std::vector<std::string> names, std::vector<std::string> records,
                   const std::string& operands = {}, RunFn collect = {}) {
    return RunStage(operands, std::move(records), collect, Producer(std::move(names)));
  }

  StageEntry entry = nullptr;
  fs::path dir, previous;
  ConsoleCapture console;
};

// A message issued by the tailwriter stage (stage 1 of pipe 0).
std::string StageMessage(const std::string& body) {
  return "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): " + body + "\n";
}

const std::string kIndent(20, ' ');

// The end of a message about a system error: the code and the system's text.
std::string Code(int code) {
  return std::to_string(code) + ",\n" + kIndent + "Reason: " + platform::ReasonText(code);
}

// A file named by the operand: line ends, odd records, read-only files and
// everything that can go wrong with the file.

struct LineEndCase {
  const char* label;
  std::optional<std::string> before;  // nullopt: the file does not exist
  std::vector<std::string> records;
  std::string after;
};

class LineEndTest : public TailwriterTest, public ::testing::WithParamInterface<LineEndCase> {};

TEST_P(LineEndTest, AppendsRecordsAsLines) {
  const LineEndCase& c = GetParam();
  const std::string file = Path("out.txt");
  if (c.before) Write(file, *c.before);
  Outcome outcome = RunStage(file, c.records);
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(Read(file), FileText(c.after));
  // Without records nothing is created: the probe leaves nothing behind.
  EXPECT_EQ(fs::exists(file), c.before || !c.records.empty());
  EXPECT_EQ(outcome.output, c.records);
  EXPECT_EQ(outcome.limits, (std::vector<std::uint32_t>{1, 2, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, LineEndTest,
    ::testing::Values(
        LineEndCase{"NewFile", std::nullopt, {"a", "b", "c"}, "a\nb\nc"},
        LineEndCase{"NoRecordsNoFile", std::nullopt, {}, ""},
        LineEndCase{"NoRecordsKeepsFile", "keep", {}, "keep"},
        LineEndCase{"EndsInLineFeed", "old\n", {"x", "y"}, "old\nx\ny"},
        LineEndCase{"LacksLineFeed", "old", {"x", "y"}, "old\nx\ny"},
        LineEndCase{"OneByteNoLineFeed", "o", {"x"}, "o\nx"},
        LineEndCase{"Empty", "", {"x", "y"}, "x\ny"},
        // An empty record is an empty line; first in a new file it is nothing.
        LineEndCase{"EmptyRecordsInNewFile", std::nullopt, {"", "a", "", ""}, "\na\n\n"},
        // The file gets the part before a NUL; the output the whole record.
        LineEndCase{"NulByte", std::nullopt, {std::string("ab\0cd", 5), "e"}, "ab\ne"},
        LineEndCase{"CarriageReturnIsData", "old\r", {"x"}, "old\r\nx"}),
    [](const auto& info) { return std::string(info.param.label); });

// Past 2 GiB, where a 32-bit long ends, the probe still finds the last byte.
// The file is sparse: it takes no room on the disk.
TEST_F(TailwriterTest, AppendsToAFileOfMoreThanTwoGibibytes) {
  const std::string file = Path("big.log");
  const std::uintmax_t size = std::uintmax_t{3} << 30;
  Write(file, "");
  fs::resize_file(file, size);  // ends in a NUL byte, not in a line end
  Outcome outcome = RunStage(file, {"a"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  const std::string appended = FileText("\na");
  ASSERT_EQ(fs::file_size(file), size + appended.size());
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), appended);
}

TEST_F(TailwriterTest, ReadOnlyFileIsWritableOnlyWhileAppendedTo) {
  // The collector notes the mode as each record arrives, while the file is open.
  const std::string file = Path("ro.txt");
  std::vector<perms> seen;
  RunFn watcher = [&](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      seen.push_back(Mode(file));
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
  for (perms mode : {perms::owner_read | perms::group_read | perms::others_read,
                     perms::owner_read | perms::owner_exec | perms::group_read |
                         perms::group_write | perms::others_exec,
                     perms::owner_read | perms::owner_write | perms::others_read}) {
    SCOPED_TRACE(static_cast<int>(mode));
    RemoveAll(file);
    Write(file, "old\n", mode);
    EXPECT_EQ(RunStage(file, {}).rc, 0);  // no records: the mode is never touched
    EXPECT_EQ(Mode(file), Shown(mode));
    seen.clear();
    EXPECT_EQ(RunStage(file, {"x", "y"}, watcher).rc, 0);
    EXPECT_EQ(Read(file), FileText("old\nx\ny"));
    // Only the owner write bit is added, and only while the stage appends.
    const perms writable = Shown(mode | perms::owner_write);
    EXPECT_EQ(seen, (std::vector<perms>{writable, writable}));
    EXPECT_EQ(Mode(file), Shown(mode));
  }
}

TEST_F(TailwriterTest, ProbeFailureStopsTheStageBeforeAnyRecordIsRead) {
  const std::string missing = Path("no/such/folder.txt");
  Outcome outcome = RunStage(missing, {"a"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2002u);
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
  EXPECT_EQ(outcome.console, StageMessage("2002RE: Output file: '" + missing +
                                          "' failed to open, Rc: " + Code(kErrors.pathNotFound)));
  // An existing file that cannot be read is never created over.
  const std::string held = Path("held.txt");
  Write(held, "precious\n");
  std::FILE* holder = platform::OpenFileShared(held.c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  outcome = RunStage(held, {"a"});
  std::fclose(holder);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(held), FileText("precious\n"));
  EXPECT_EQ(outcome.console, StageMessage("2002RE: Output file: '" + held +
                                          "' failed to open, Rc: " + Code(kErrors.sharingViolation)));
  // Where the probe fails on a folder depends on the system: Windows does not
  // open a folder as a file at all.
  fs::create_directory(Path("folder"));
  outcome = RunStage(Path("folder"), {"a"});
  EXPECT_EQ(outcome.rc, 3);
#if defined(_WIN32)
  EXPECT_EQ(outcome.highest, 2002u) << outcome.console;
#else
  EXPECT_TRUE(outcome.highest == 2029u || outcome.highest == 2003u) << outcome.console;
#endif
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
}

// Writes `record` once stage 1 of pipe `other` reaches `state`; waits
// bounded, so that a fault shows as a failed check rather than a hang.
RunFn ProducerAfter(TestRun& run, std::uint32_t other, StageState state, const char* record) {
  return [&run, other, state, record](CProcess& self, CPipeSet& set) {
    WaitUntil([&] { return run.set.pipes[other].stages[1].state.load() == state; },
              std::chrono::milliseconds(20000));
    set.WriteRecord(self, 0, record);
    return 0;
  };
}

TEST_F(TailwriterTest, TwoStagesAppendingToOneFileDoNotInterleave) {
  const std::string file = Path("shared.txt");
  Write(file, "old\n");
  TestRun run;
  // Stage A's record comes once B holds its probe; B's once A has ended.
  // Neither has an output stream: the records only go to the file.
  StageRef producerA = run.Add(0, "PRODUCER", ProducerAfter(run, 1, kStateReadPending, "from A"));
  StageRef stageA = run.AddEntry(0, "TAILWRITER", entry, file);
  StageRef producerB = run.Add(1, "PRODUCER", ProducerAfter(run, 0, kStateComplete, "from B"));
  StageRef stageB = run.AddEntry(1, "TAILWRITER", entry, file);
  run.Connect(producerA, stageA);
  run.Connect(producerB, stageB);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(stageA.pipe, stageA.stage), 3);
  EXPECT_EQ(result.Code(stageB.pipe, stageB.stage), 0);
  EXPECT_EQ(Read(file), FileText("old\nfrom B"));
  EXPECT_EQ(Console(), StageMessage("2002RE: Stream: 0, Rec: 1, Input file: '" + file +
                                    "' failed to open, Rc: " + Code(kErrors.sharingViolation)));
}

TEST_F(TailwriterTest, OperandWithSecondaryStreamIsRefusedUnread) {
  Outcome outcome = RunNames({"names.txt"}, {"a"}, "out.txt");
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2033u);
  EXPECT_EQ(outcome.console, StageMessage("2033RE: Unexpected argument: 'out.txt'."));
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(Path("out.txt")));
  EXPECT_FALSE(fs::exists(Path("names.txt")));
}

// The full device takes every byte into the buffer and fails every real write.
TEST_F(TailwriterTest, WriteFailuresAreReportedOnceAndStopTheStage) {
  std::FILE* probe = std::fopen(kFullDevice, "rb");
  if (probe == nullptr) GTEST_SKIP() << "no device that is always full";
  std::fclose(probe);
  const std::string device = kFullDevice;
  auto runToFullDevice = [this, &device](std::vector<std::string> records) {
    Outcome outcome;  // other processes may hold the device's lock a moment
    for (int attempt = 0; attempt < 200; ++attempt) {
      outcome = RunStage(device, records);
      if (outcome.highest != 2002u) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return outcome;
  };
  // Records still buffered when the file is closed.
  Outcome outcome = runToFullDevice({"a", "b", "c"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2999u);
  EXPECT_EQ(outcome.console,
            StageMessage("2999RE: Stream: 0, Rec: 3, Failure writing file: '" + device + "', Rc: " +
                         Code(kErrors.diskFull)));
  // Enough records to overflow the stream buffer many times over.
  std::vector<std::string> records(2000, std::string(1000, 'r'));
  outcome = runToFullDevice(records);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2999u);
  EXPECT_LT(outcome.output.size(), records.size());
  // Reported once, at the failing write, not again at the close.
  const std::string& text = outcome.console;
  EXPECT_EQ(text.find("2999RE:"), text.rfind("2999RE:")) << text;
  EXPECT_NE(text.find("Failure writing file: '" + device + "', Rc: " + std::to_string(kErrors.diskFull) + ","),
            std::string::npos)
      << text;
}

TEST_F(TailwriterTest, OverlongRecordIsAppendedBeforeTheRunStops) {
  // Relative, so that the name itself stays under the lowered limit.
  const std::string file = "long.txt";
  const std::string overlong = "abcdefghijklmnopqrst";
  // The data record is offered under the run's limit; once it is, the limit
  // drops below its length before its name lets the stage take it.
  Outcome outcome = RunStage({}, {overlong, "never"}, {}, [file](CProcess& self, CPipeSet& set) {
    platform::Handle offered = platform::NamedEvent::OpenOrCreate(
        set.pipes[0].stages[0].outputs[0].recordEventName, true, false);
    platform::NamedEvent::Wait(offered);
    platform::CloseObject(offered);
    set.recordLimit = 10;
    set.WriteRecord(self, 0, file);
    set.WriteRecord(self, 0, file);
    return 0;
  });
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.highest, 2072u);
  EXPECT_EQ(Read(file), overlong);
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
  EXPECT_NE(outcome.console.find("2072RE: Stream: 0, Rec: 1, The record of length: 20,"),
            std::string::npos)
      << outcome.console;
}

// Files named by the records themselves, or by a stream of name records.

TEST_F(TailwriterTest, RecordsNameTheirFiles) {
  Write(Path("two.txt"), "old");
  // Returning to an earlier file starts a new line; names differing only in
  // case are different names; data after a NUL still flows on.
  Outcome outcome =
      RunStage("", {"one.txt a", "one.txt b", "two.txt c", "\"my file.txt\"  spaced  data ",
                    "one.txt d", "one.txt", "ONE.txt e", std::string("n.txt ab\0cd", 11)});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  if (kNamesIgnoreCase) {
    // Closed and probed again under its other name: the same file, which
    // ends in a line end.
    EXPECT_EQ(Read(Path("one.txt")), FileText("a\nb\nd\ne"));
  } else {
    EXPECT_EQ(Read(Path("one.txt")), FileText("a\nb\nd\n"));
    EXPECT_EQ(Read(Path("ONE.txt")), "e");
  }
  EXPECT_EQ(Read(Path("two.txt")), FileText("old\nc"));
  EXPECT_EQ(Read(Path("my file.txt")), "spaced  data ");
  EXPECT_EQ(Read(Path("n.txt")), "ab");
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b", "c", "spaced  data ", "d", "", "e",
                                                      std::string("ab\0cd", 5)}));
}

// Renames the file away on the first record: where an open file can be
// renamed, a file kept open keeps receiving records under its new name;
// elsewhere the refusal shows that the file is held open.
RunFn RenameAfterFirst(const std::string& from, const std::string& to) {
  return [from, to, first = true](CProcess& self, CPipeSet& set) mutable {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      if (std::exchange(first, false)) {
        std::error_code refused;
        fs::rename(from, to, refused);
        EXPECT_EQ(bool(refused), !kOpenFilesCanMove) << refused.message();
      }
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
}

TEST_F(TailwriterTest, RepeatedNameKeepsTheFileOpen) {
  auto kept = [](const std::string& from, const std::string& to) {
    EXPECT_EQ(Read(kOpenFilesCanMove ? to : from), FileText("a\nb"));
    EXPECT_FALSE(fs::exists(kOpenFilesCanMove ? from : to));
  };
  EXPECT_EQ(RunStage("", {"k.txt a", "k.txt b"}, RenameAfterFirst(Path("k.txt"), Path("m.txt"))).rc,
            0);
  kept(Path("k.txt"), Path("m.txt"));
  // Likewise for names on the secondary stream.
  const std::string same = Path("same");
  EXPECT_EQ(RunNames({same, same}, {"a", "b"}, "", RenameAfterFirst(same, Path("moved"))).rc, 0);
  kept(same, Path("moved"));
}

TEST_F(TailwriterTest, RefusedRecordStopsTheStageAndPutsTheOpenFileBack) {
  const std::string file = Path("ro.txt");
  Write(file, "old\n", perms::owner_read | perms::group_read);
  Outcome outcome = RunStage("", {"ro.txt a", "%s%d|x b", "ro.txt never"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2005u);
  // The name goes into the message as data, its percent signs included.
  EXPECT_EQ(outcome.console, StageMessage("2005RE: Stream: 0, Rec: 2, Invalid argument: '%s%d|x', "
                                          "valid filename expected."));
  // The accepted record reached the file and the file is read-only again.
  EXPECT_EQ(Read(file), FileText("old\na"));
  EXPECT_EQ(Mode(file), Shown(perms::owner_read | perms::group_read));
  EXPECT_EQ(outcome.output, std::vector<std::string>{"a"});
}

TEST_F(TailwriterTest, NameStreamNamesEachDataRecord) {
  // A name record is a whole name, blanks and slashes included, unparsed.
  const std::string n1 = Path("n 1");
  Write(n1, "", perms::owner_read);
  Write(Path("n2"), "old");
  Outcome outcome = RunNames({n1, n1, Path("n2"), Path("N2"), n1}, {"a", "b", "c", "d", "e"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(Read(n1), FileText("a\nb\ne"));
  EXPECT_EQ(Mode(n1), Shown(perms::owner_read));  // read-only again after each use
  if (kNamesIgnoreCase) {
    EXPECT_EQ(Read(Path("n2")), FileText("old\nc\nd"));  // one file, probed again
  } else {
    EXPECT_EQ(Read(Path("n2")), FileText("old\nc"));
    EXPECT_EQ(Read(Path("N2")), "d");
  }
  // Name records are not copied anywhere.
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST_F(TailwriterTest, EveryDataRecordWaitsForItsName) {
  // One name, two data records: the second finds the name stream ended.
  Outcome outcome = RunNames({Path("only")}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(Path("only")), "a");
  EXPECT_EQ(outcome.output, std::vector<std::string>{"a"});
  // Names without data create nothing.
  EXPECT_EQ(RunNames({Path("unused")}, {}).rc, 0);
  EXPECT_FALSE(fs::exists(Path("unused")));
}

TEST_F(TailwriterTest, NameStreamReportsAnUncreatableFile) {
  const std::string bad = Path("no/folder");
  Outcome outcome = RunNames({Path("good"), bad}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(Path("good")), "a");
  EXPECT_EQ(outcome.console, StageMessage("2002RE: Stream: 1, Rec: 2, Output file: '" + bad +
                                          "' failed to open, Rc: " + Code(kErrors.pathNotFound)));
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
    if (!std::exchange(thrown, true)) throw std::runtime_error("console gone");
    lines.emplace_back(bytes);
  });
  const std::string file = Path("ro.txt");
  Write(file, "old\n", perms::owner_read);
  Outcome outcome = RunStage("", {"ro.txt a", "bad|name b"});
  platform::SetConsoleSink({});
  platform::SetConsoleIdentityForTesting(-1);

  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(file), FileText("old\na"));
  EXPECT_EQ(Mode(file), Shown(perms::owner_read));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("2999RE: Stream: 0, Rec: 2, console gone"), std::string::npos)
      << lines[0];
}

}  // namespace
}  // namespace ductrine::test

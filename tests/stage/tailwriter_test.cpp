// The built tailwriter module, loaded the way the pipe command loads it, run
// through the run engine on real files in a temporary folder, which is also
// the working folder while a test runs (names from records have no slash).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#endif

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

// The end of a message about a file that another open holds: Windows has a
// text for its sharing violation; a POSIX lock conflict says "try again",
// so the stage says what it means.
std::string InUse() {
#if defined(_WIN32)
  return Code(kErrors.sharingViolation);
#else
  return std::to_string(kErrors.sharingViolation) + ",\n" + kIndent +
         "Reason: The file is in use by another stage or process";
#endif
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

// The file named by the operand is probed when the stage is set up: a run
// whose file cannot be written stops before any stage starts.
TEST_F(TailwriterTest, ProbeFailureStopsTheRunBeforeAnyRecordIsRead) {
  const std::string missing = Path("no/such/folder.txt");
  Outcome outcome = RunStage(missing, {"a"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2002u);
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
  EXPECT_EQ(outcome.console, StageMessage("2002IE: Output file: '" + missing +
                                          "' failed to open, Rc: " + Code(kErrors.pathNotFound)));
  // An existing file that cannot be read is never created over; the reason
  // says that another holds it.
  const std::string held = Path("held.txt");
  Write(held, "precious\n");
  std::FILE* holder = platform::OpenFileShared(held.c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  outcome = RunStage(held, {"a"});
  std::fclose(holder);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(held), FileText("precious\n"));
  EXPECT_EQ(outcome.console,
            StageMessage("2002IE: Output file: '" + held + "' failed to open, Rc: " + InUse()));
  // A folder is reported as one, not as a file that cannot be positioned.
  fs::create_directory(Path("folder"));
  outcome = RunStage(Path("folder"), {"a"});
  EXPECT_EQ(outcome.rc, 3);
  const int isFolder = platform::DirectoryErrorCode();
  EXPECT_EQ(outcome.console,
            StageMessage("2002IE: Output file: '" + Path("folder") + "' failed to open, Rc: " +
                         std::to_string(isFolder) + ",\n" + kIndent +
                         "Reason: " + platform::OpenFailureText(isFolder)));
  EXPECT_NE(outcome.console.find("irectory"), std::string::npos) << outcome.console;
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
}

// `< in | >> good.txt | >> missing/x`: the second target cannot be written,
// so nothing moves at all and good.txt is not even created.
TEST_F(TailwriterTest, AnUnwritableNamedTargetStopsTheWholeRun) {
  TestRun run;
  std::vector<std::string> output;
  bool producerRan = false;
  StageRef data = run.Add(0, "DATA", [&](CProcess& self, CPipeSet& set) {
    producerRan = true;
    return Producer({"a", "b"})(self, set);
  });
  StageRef good = run.AddEntry(0, "TAILWRITER", entry, Path("good.txt"));
  StageRef bad = run.AddEntry(0, "TAILWRITER", entry, Path("missing/x"));
  run.Connect(data, good);
  run.Connect(good, bad);
  run.Connect(bad, run.Add(0, "COLLECTOR", Collector(&output)));
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(good.pipe, good.stage), 3);
  EXPECT_EQ(result.Code(bad.pipe, bad.stage), 3);
  EXPECT_EQ(result.highestReturnCode, 2002u);
  EXPECT_FALSE(producerRan);
  EXPECT_FALSE(fs::exists(Path("good.txt")));
  EXPECT_EQ(output, std::vector<std::string>{});
  EXPECT_EQ(Console(), "<stamp>PIPE: Pipe(0),Stage(2),Type(TAILWRITER): 2002IE: Output file: '" +
                           Path("missing/x") + "' failed to open, Rc: " +
                           Code(kErrors.pathNotFound) + "\n");
}

// Whether a line end comes first is decided under the lock the writes hold:
// what another process appends between the probe and the first record counts.
TEST_F(TailwriterTest, LineEndIsDecidedWhenTheFileIsOpenedForAppending) {
#if defined(_WIN32)
  GTEST_SKIP() << "the probe's deny-write share keeps every other writer out until the append";
#endif
  struct Case {
    std::string before, added, after;
  };
  for (const Case& c : {Case{"line1\n", "abc", "line1\nabc\nREC"},
                        Case{"line1", "\n", "line1\nREC"}}) {
    SCOPED_TRACE(c.before + "+" + c.added);
    const std::string file = Path("late.txt");
    Write(file, c.before);
    TestRun run;
    // The stage has probed the file in its setup; the record comes after the
    // other writer has appended.
    StageRef data = run.Add(0, "DATA", [&](CProcess& self, CPipeSet& set) {
      std::ofstream(file, std::ios::binary | std::ios::app) << FileText(c.added);
      set.WriteRecord(self, 0, "REC");
      return 0;
    });
    StageRef stage = run.AddEntry(0, "TAILWRITER", entry, file);
    run.Connect(data, stage);
    RunResult result = run.Run();
    EXPECT_EQ(result.Code(stage.pipe, stage.stage), 0);
    EXPECT_EQ(Read(file), FileText(c.after));
  }
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
                                    "' failed to open, Rc: " + InUse()));
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
  EXPECT_EQ(RunNames({"same", "same"}, {"a", "b"}, "", RenameAfterFirst("same", "moved")).rc, 0);
  kept(Path("same"), Path("moved"));
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
  // A name record is a whole name, blanks included, unparsed.
  const std::string n1 = Path("n 1");
  Write(n1, "", perms::owner_read);
  Write(Path("n2"), "old");
  Outcome outcome = RunNames({"n 1", "n 1", "n2", "N2", "n 1"}, {"a", "b", "c", "d", "e"});
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
  Outcome outcome = RunNames({"only"}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(Path("only")), "a");
  EXPECT_EQ(outcome.output, std::vector<std::string>{"a"});
  // Names without data create nothing.
  EXPECT_EQ(RunNames({"unused"}, {}).rc, 0);
  EXPECT_FALSE(fs::exists(Path("unused")));
}

TEST_F(TailwriterTest, NameStreamReportsAnUncreatableFile) {
  // A name that the system cannot create (a name longer than any folder
  // allows) is reported when its name record arrives.
  const std::string bad(300, 'n');
  Outcome outcome = RunNames({"good", bad}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(Path("good")), "a");
  EXPECT_EQ(outcome.console.rfind("<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2002RE: Stream: 1, "
                                  "Rec: 2, Output file: '" + bad + "' failed to open, Rc: ", 0),
            0u)
      << outcome.console;
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


// The open-file set (modes 2 and 3). A lower open-file limit makes it small,
// so that names come back after their file was closed to make room.

class OpenFileSetTest : public TailwriterTest {
 protected:
  void SetUp() override {
    TailwriterTest::SetUp();
    platform::SetOpenFileLimitForTesting(24);  // an eighth: 3 files at once
  }
  void TearDown() override {
    platform::SetOpenFileLimitForTesting(0);
    TailwriterTest::TearDown();
  }
};

// What the stage wrote when it kept one file open at a time: a file gets a
// line end before a record unless it is empty or ends in one; no line end
// follows the last record; the file receives the data before a NUL.
struct Model {
  std::map<std::string, std::string> files;
  std::string open;
  bool pending = false;
  void Append(const std::string& name, const std::string& data) {
    std::string& content = files[name];
    if (name != open) {
      open = name;
      pending = !content.empty() && content.back() != '\n';
    }
    if (pending) content += '\n';
    content += data.substr(0, data.find('\0'));
    pending = true;
  }
};

TEST_F(OpenFileSetTest, WritesTheSameBytesAsOneFileAtATime) {
  const std::vector<std::string> names = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt", "g.txt"};
  const std::vector<std::string> starts = {"", "old", "old\n"};  // or no file at all
  const std::vector<std::string> pieces = {"", "x", "longer data", std::string("n\0ul", 4), "trail "};
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE(round);
    std::mt19937 random(static_cast<unsigned>(round));
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    Model model;
    std::vector<std::string> readOnly;
    for (const std::string& name : names) {
      RemoveAll(Path(name));
      std::size_t start = pick(starts.size() + 1);
      if (start == starts.size()) continue;
      model.files[name] = starts[start];
      bool locked = pick(3) == 0;
      Write(Path(name), starts[start], locked ? perms::owner_read : perms::none);
      if (locked) readOnly.push_back(name);
    }
    // Names interleave, run on, and come back after the set dropped them.
    std::vector<std::string> chosen, data, records;
    for (int i = 0, count = 20 + static_cast<int>(pick(60)); i < count; ++i) {
      const std::string& name = names[pick(2) ? pick(3) : pick(names.size())];
      chosen.push_back(name);
      data.push_back(pieces[pick(pieces.size())] + std::to_string(i));
      model.Append(name, data.back());
    }
    const bool nameStream = round % 2 == 1;
    Outcome outcome;
    if (nameStream) {
      outcome = RunNames(chosen, data);
    } else {
      for (std::size_t i = 0; i < chosen.size(); ++i) records.push_back(chosen[i] + " " + data[i]);
      outcome = RunStage("", records);
    }
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.console, "");
    EXPECT_EQ(outcome.output, data);
    for (const auto& [name, content] : model.files) EXPECT_EQ(Read(Path(name)), FileText(content)) << name;
    for (const std::string& name : readOnly) EXPECT_EQ(Mode(Path(name)), Shown(perms::owner_read)) << name;
  }
}

// A file closed to make room and changed by another writer before its name
// comes back: the line-end decision follows what the file holds now.
TEST_F(OpenFileSetTest, AFileChangedWhileOutOfTheSetIsLookedAtAgain) {
  for (const std::string added : {"X\n", "Y"}) {
    SCOPED_TRACE(added);
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) RemoveAll(Path(name));
    TestRun run;
    StageRef data = run.Add(0, "DATA", [&](CProcess& self, CPipeSet& set) {
      for (const char* record : {"a.txt 1", "b.txt 2", "c.txt 3", "d.txt 4"})
        set.WriteRecord(self, 0, record);
      // a.txt has left the set (3 files at once); another writer appends.
      std::ofstream(Path("a.txt"), std::ios::binary | std::ios::app) << FileText(added);
      set.WriteRecord(self, 0, "a.txt 5");
      return 0;
    });
    StageRef stage = run.AddEntry(0, "TAILWRITER", entry);
    run.Connect(data, stage);
    RunResult result = run.Run();
    EXPECT_EQ(result.Code(stage.pipe, stage.stage), 0);
    EXPECT_EQ(Read(Path("a.txt")), FileText("1" + added + (added == "Y" ? "\n5" : "5")));
  }
}

// While a file is in the set its share is held: another stage cannot append
// to it in between, as it could not while the stage appended to it.
TEST_F(OpenFileSetTest, AFileInTheSetKeepsItsLock) {
  TestRun run;
  // A writes a.txt and moves on to b.txt; then B, of another pipe, asks for
  // a.txt; once B has ended, A comes back to a.txt.
  StageRef producerA = run.Add(0, "PRODUCER", [&run](CProcess& self, CPipeSet& set) {
    set.WriteRecord(self, 0, "a.txt 1");
    set.WriteRecord(self, 0, "b.txt 2");
    for (int i = 0; i < 20000 && run.set.pipes[1].stages[1].state.load() != kStateComplete; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    set.WriteRecord(self, 0, "a.txt 3");
    return 0;
  });
  StageRef stageA = run.AddEntry(0, "TAILWRITER", entry);
  StageRef producerB = run.Add(1, "PRODUCER", [&run](CProcess& self, CPipeSet& set) {
    const CStage& a = run.set.pipes[0].stages[1];
    for (int i = 0; i < 20000 && (a.inputs[0].recordCount.load() < 2 ||
                                  a.state.load() != kStateReadPending);
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    set.WriteRecord(self, 0, "a.txt from B");
    return 0;
  });
  StageRef stageB = run.AddEntry(1, "TAILWRITER", entry);
  run.Connect(producerA, stageA);
  run.Connect(producerB, stageB);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(stageA.pipe, stageA.stage), 0);
  EXPECT_EQ(result.Code(stageB.pipe, stageB.stage), 3);
  EXPECT_EQ(Read(Path("a.txt")), FileText("1\n3"));
  EXPECT_EQ(Read(Path("b.txt")), "2");
  EXPECT_NE(Console().find("Type(TAILWRITER): 2002RE: Stream: 0, Rec: 1, Output file: 'a.txt' "
                           "failed to open, Rc: " + InUse()),
            std::string::npos)
      << Console();
}

// One file under two names (a hard link; on Windows also letter case): the
// set's own lock must not keep the second name out.
TEST_F(OpenFileSetTest, OneFileUnderTwoNames) {
  Write(Path("h1.txt"), "old\n");
  std::error_code linked;
  fs::create_hard_link(Path("h1.txt"), Path("h2.txt"), linked);
  if (linked) GTEST_SKIP() << "no hard links here: " << linked.message();
  Outcome outcome = RunStage("", {"h1.txt a", "h2.txt b", "h1.txt c"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(Read(Path("h1.txt")), FileText("old\na\nb\nc"));
  outcome = RunNames({"h2.txt", "h1.txt", "h2.txt"}, {"d", "e", "f"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(Read(Path("h1.txt")), FileText("old\na\nb\nc\nd\ne\nf"));
}

TEST_F(OpenFileSetTest, ARefusedNameLeavesEveryOpenFileCompleteAndRestored) {
  Write(Path("r1.txt"), "old\n", perms::owner_read);
  Write(Path("r2.txt"), "old", perms::owner_read);
  Outcome outcome =
      RunStage("", {"r1.txt a", "r2.txt b", "w.txt c", "r1.txt d", "bad|name x", "r2.txt never"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2005u);
  EXPECT_EQ(Read(Path("r1.txt")), FileText("old\na\nd"));
  EXPECT_EQ(Read(Path("r2.txt")), FileText("old\nb"));
  EXPECT_EQ(Read(Path("w.txt")), "c");
  EXPECT_EQ(Mode(Path("r1.txt")), Shown(perms::owner_read));
  EXPECT_EQ(Mode(Path("r2.txt")), Shown(perms::owner_read));
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b", "c", "d"}));
}

#if !defined(_WIN32)
// A device that fails every write (/dev/full made in the working folder,
// where names from records live): 2999 for it, and the other files of the
// set are closed with all their records.
TEST_F(OpenFileSetTest, AWriteFailureStopsTheStageAfterTheOthersAreClosed) {
  if (::mknod("full", S_IFCHR | 0666, ::makedev(1, 7)) != 0) GTEST_SKIP() << "cannot make a device";
  Write(Path("r.txt"), "old", perms::owner_read);
  std::vector<std::string> records = {"r.txt a", "w.txt b"};
  for (int i = 0; i < 100; ++i) records.push_back("full " + std::string(1000, 'f'));
  records.push_back("w.txt never");
  Outcome outcome = RunStage("", records);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2999u);
  EXPECT_EQ(Read(Path("r.txt")), "old\na");
  EXPECT_EQ(Read(Path("w.txt")), "b");
  EXPECT_EQ(Mode(Path("r.txt")), perms::owner_read);
  const std::string& text = outcome.console;
  EXPECT_NE(text.find("2999RE: Stream: 0, Rec: "), std::string::npos) << text;
  EXPECT_NE(text.find("Failure writing file: 'full', Rc: " + std::to_string(ENOSPC)), std::string::npos) << text;
  EXPECT_EQ(text.find("2999RE:"), text.rfind("2999RE:")) << text;
}

// Targets that are no regular file: a device is appended to without a probe
// of its last byte; a folder named by a record is reported as a folder.
TEST_F(TailwriterTest, DevicesAreWrittenWithoutPositioning) {
  Outcome outcome = RunStage("/dev/null", {"a", "b"});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b"}));
  fs::create_directory(Path("sub"));
  outcome = RunStage("", {"sub x"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.console, StageMessage("2002RE: Stream: 0, Rec: 1, Output file: 'sub' failed to "
                                          "open, Rc: " + std::to_string(EISDIR) + ",\n" + kIndent +
                                          "Reason: Is a directory"));
}

// A FIFO whose reader comes late: the stage waits for it off its own thread
// of control and then writes; the probe never opens the FIFO for reading.
TEST_F(TailwriterTest, AFifoIsWaitedForUntilItsReaderComes) {
  ASSERT_EQ(::mkfifo("ff", 0600), 0);
  std::string got;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int fd = ::open("ff", O_RDONLY);
    char buffer[256];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) ::close(fd);
  });
  Outcome outcome = RunStage("ff", {"a", "b"});
  reader.join();
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(outcome.console, "");
  EXPECT_EQ(got, "a\nb");
  EXPECT_EQ(outcome.output, (std::vector<std::string>{"a", "b"}));
}
#endif

// Names from records stay names in the working folder: every check of mode 2
// for mode 3 too, no NUL or control character, and no symbolic link.
struct RefusedName {
  const char* label;
  std::string name;   // as it arrives
  std::string shown;  // in the message
};

class RefusedNameTest : public TailwriterTest, public ::testing::WithParamInterface<RefusedName> {};

TEST_P(RefusedNameTest, IsRefusedInBothModes) {
  const RefusedName& c = GetParam();
  const std::string message = "Invalid argument: '" + c.shown + "', valid filename expected.";
  // Mode 3: the whole record is the name.
  Outcome outcome = RunNames({"ok.txt", c.name}, {"a", "b"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2005u);
  EXPECT_EQ(outcome.console, StageMessage("2005RE: Stream: 1, Rec: 2, " + message));
  EXPECT_EQ(Read(Path("ok.txt")), "a");
  EXPECT_EQ(outcome.output, std::vector<std::string>{"a"});
  // Mode 2: the name at the front of the record, quoted where it has blanks.
  if (c.name.empty() || c.name.find(' ') != std::string::npos) return;
  outcome = RunStage("", {"ok.txt c", c.name + " data"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2005u);
  EXPECT_EQ(outcome.console, StageMessage("2005RE: Stream: 0, Rec: 2, " + message));
  EXPECT_EQ(Read(Path("ok.txt")), FileText("a\nc"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedNameTest,
    ::testing::Values(RefusedName{"ParentFolder", "../up.txt", "../up.txt"},
                      RefusedName{"Absolute", "/tmp/abs.txt", "/tmp/abs.txt"},
                      RefusedName{"Folder", "sub/x.txt", "sub/x.txt"},
                      RefusedName{"Nul", std::string("a\0b.txt", 7), "a?b.txt"},
                      RefusedName{"Escape", "a\x1b[2J.txt", "a?[2J.txt"},
                      RefusedName{"Tab", "a\tb.txt", "a?b.txt"},
                      RefusedName{"Delete", "a\x7f.txt", "a?.txt"},
                      RefusedName{"Blanks", "   ", "   "},
                      RefusedName{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

// A link planted where names from records point: never followed, nothing
// written through it. An operand is the user's own word and may be a link.
TEST_F(TailwriterTest, NamesFromRecordsDoNotFollowLinks) {
  Write(Path("outside.txt"), "secret\n");
  std::error_code made;
  fs::create_symlink(Path("outside.txt"), Path("link.txt"), made);
  if (made) GTEST_SKIP() << "no symbolic links here: " << made.message();
  fs::create_symlink(Path("nowhere.txt"), Path("dangling.txt"), made);
  const std::string refused =
      "Invalid argument: 'link.txt', a file that is not a symbolic link expected.";
  Outcome outcome = RunStage("", {"ok.txt a", "link.txt b"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.console, StageMessage("2005RE: Stream: 0, Rec: 2, " + refused));
  outcome = RunNames({"link.txt"}, {"c"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.console, StageMessage("2005RE: Stream: 1, Rec: 1, " + refused));
  outcome = RunStage("", {"dangling.txt d"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_FALSE(fs::exists(Path("nowhere.txt")));
  EXPECT_EQ(Read(Path("outside.txt")), FileText("secret\n"));
  EXPECT_EQ(Read(Path("ok.txt")), "a");
  // The operand's link is followed.
  EXPECT_EQ(RunStage(Path("link.txt"), {"e"}).rc, 0);
  EXPECT_EQ(Read(Path("outside.txt")), FileText("secret\ne"));
}

}  // namespace
}  // namespace ductrine::test

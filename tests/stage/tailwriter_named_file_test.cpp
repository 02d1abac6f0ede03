// A file named by the operand: line ends, odd records, read-only files and
// everything that can go wrong with the file.
#include <cstdio>
#include <optional>

#include "tests/stage/tailwriter_fixture.h"

namespace ductrine::test {
namespace {

using fs::perms;

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
  EXPECT_EQ(Read(file), c.after);
  EXPECT_EQ(outcome.output, c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LineEndTest,
    ::testing::Values(
        LineEndCase{"NewFile", std::nullopt, {"a", "b", "c"}, "a\nb\nc"},
        LineEndCase{"EndsInLineFeed", "old\n", {"x", "y"}, "old\nx\ny"},
        LineEndCase{"LacksLineFeed", "old", {"x", "y"}, "old\nx\ny"},
        LineEndCase{"OneByteNoLineFeed", "o", {"x"}, "o\nx"},
        LineEndCase{"OnlyALineFeed", "\n", {"x"}, "\nx"},
        LineEndCase{"Empty", "", {"x", "y"}, "x\ny"},
        // An empty record is an empty line; first in a new file it is nothing.
        LineEndCase{"EmptyRecordsInNewFile", std::nullopt, {"", "a", "", ""}, "\na\n\n"},
        LineEndCase{"EmptyRecordAfterLine", "old\n", {""}, "old\n"},
        LineEndCase{"EmptyRecordAfterPartLine", "old", {"", "z"}, "old\n\nz"},
        // The file gets the part before a NUL; the output the whole record.
        LineEndCase{"NulByte", std::nullopt, {std::string("ab\0cd", 5), "e"}, "ab\ne"},
        LineEndCase{"LeadingNul", std::nullopt, {std::string("\0x", 2), "e"}, "\ne"},
        LineEndCase{"CarriageReturnIsData", "old\r", {"x"}, "old\r\nx"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(TailwriterTest, SecondRunContinuesTheFirstOnANewLine) {
  const std::string file = Path("log.txt");
  ASSERT_EQ(RunStage(file, {"one", "two"}).rc, 0);
  ASSERT_EQ(RunStage(file, {"three"}).rc, 0);
  EXPECT_EQ(Read(file), "one\ntwo\nthree");
}

TEST_F(TailwriterTest, NoRecordsCreatesNothingAndChangesNothing) {
  const std::string missing = Path("missing.txt");
  Outcome outcome = RunStage(missing, {});
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_FALSE(fs::exists(missing));

  const std::string existing = Path("existing.txt");
  Write(existing, "keep");
  fs::permissions(existing, perms::owner_read | perms::group_read);
  EXPECT_EQ(RunStage(existing, {}).rc, 0);
  EXPECT_EQ(Read(existing), "keep");
  EXPECT_EQ(Mode(existing), perms::owner_read | perms::group_read);
  EXPECT_EQ(Console(), "");
}

TEST_F(TailwriterTest, DeclaresItsStreamLimits) {
  TestRun run;
  StageRef producer = run.Add(0, "PRODUCER", Producer({}));
  StageRef stage = run.AddEntry(0, "TAILWRITER", entry, Path("limits.txt"));
  run.Connect(producer, stage);
  std::uint32_t limits[3] = {};
  run.Run([&](CPipeSet& set) {
    CStage& declared = set.pipes[stage.pipe].stages[stage.stage];
    limits[0] = declared.inputRequired;
    limits[1] = declared.maxInputStreams;
    limits[2] = declared.maxOutputStreams;
  });
  EXPECT_EQ(limits[0], 1u);
  EXPECT_EQ(limits[1], 2u);
  EXPECT_EQ(limits[2], 1u);
}

// A collector that notes the target file's mode whenever a record arrives,
// that is while the stage holds the file open.
RunFn ModeWatcher(const std::string& file, std::vector<perms>* seen,
                  std::vector<std::string>* records) {
  return [file, seen, records](CProcess& self, CPipeSet& set) {
    std::string record;
    while (set.PeekRecord(self, 0, record)) {
      seen->push_back(fs::status(file).permissions() & perms::mask);
      records->push_back(record);
      set.ConsumeRecord(self, 0);
    }
    return 0;
  };
}

class ReadOnlyTest : public TailwriterTest, public ::testing::WithParamInterface<perms> {};

TEST_P(ReadOnlyTest, IsWritableWhileAppendedToAndReadOnlyAgainAfter) {
  const perms mode = GetParam();
  const std::string file = Path("ro.txt");
  Write(file, "old\n");
  fs::permissions(file, mode);
  std::vector<perms> seen;
  std::vector<std::string> records;
  Outcome outcome = RunStage(file, {"x", "y"}, ModeWatcher(file, &seen, &records));
  EXPECT_EQ(outcome.rc, 0);
  EXPECT_EQ(Read(file), "old\nx\ny");
  // Only the owner write bit is added, and only while the stage appends.
  EXPECT_EQ(seen, (std::vector<perms>{mode | perms::owner_write, mode | perms::owner_write}));
  EXPECT_EQ(Mode(file), mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadOnlyTest,
                         ::testing::Values(perms::owner_read | perms::group_read | perms::others_read,
                                           perms::owner_read,
                                           perms::owner_read | perms::owner_exec |
                                               perms::group_read | perms::group_write |
                                               perms::others_exec),
                         [](const auto& info) {
                           char octal[8];
                           std::snprintf(octal, sizeof octal, "Mode%03o",
                                         static_cast<unsigned>(info.param));
                           return std::string(octal);
                         });

TEST_F(TailwriterTest, WritableAndCreatedFilesStayWritable) {
  const std::string writable = Path("rw.txt");
  Write(writable, "old\n");
  const perms mode = perms::owner_read | perms::owner_write | perms::others_read;
  fs::permissions(writable, mode);
  ASSERT_EQ(RunStage(writable, {"x"}).rc, 0);
  EXPECT_EQ(Mode(writable), mode);
  EXPECT_EQ(Read(writable), "old\nx");

  const std::string created = Path("new.txt");
  ASSERT_EQ(RunStage(created, {"x"}).rc, 0);
  EXPECT_TRUE((Mode(created) & perms::owner_write) != perms::none);
}

TEST_F(TailwriterTest, MissingFolderIsReportedBeforeAnyRecordIsRead) {
  const std::string file = Path("no/such/folder.txt");
  Outcome outcome = RunStage(file, {"a"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2002u);
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
  EXPECT_EQ(outcome.console,
            StageMessage("2002RE: Output file: '" + file + "' failed to open, Rc: 2,\n" +
                         kIndent + "Reason: No such file or directory"));
}

TEST_F(TailwriterTest, ExistingFileThatCannotBeReadIsNeverCreatedOver) {
  const std::string file = Path("held.txt");
  Write(file, "precious\n");
  std::FILE* holder = platform::OpenFileShared(file.c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  Outcome outcome = RunStage(file, {"a"});
  std::fclose(holder);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(file), "precious\n");
  EXPECT_EQ(outcome.console,
            StageMessage("2002RE: Output file: '" + file + "' failed to open, Rc: 11,\n" +
                         kIndent + "Reason: Resource temporarily unavailable"));
}

TEST_F(TailwriterTest, FolderAsTargetIsAProbeFailure) {
  const std::string folder = Path("folder");
  fs::create_directory(folder);
  Outcome outcome = RunStage(folder, {"a"});
  EXPECT_EQ(outcome.rc, 3);
  // Where the probe fails on a folder depends on the file system.
  EXPECT_TRUE(outcome.highest == 2029u || outcome.highest == 2003u) << outcome.console;
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
}

TEST_F(TailwriterTest, TwoStagesAppendingToOneFileDoNotInterleave) {
  const std::string file = Path("shared.txt");
  Write(file, "old\n");
  TestRun run;
  // Stage A's record comes once B holds its probe; B's once A has ended.
  // Neither has an output stream: the records only go to the file.
  StageRef producerA = run.Add(0, "PRODUCER", [&run](CProcess& self, CPipeSet& set) {
    if (!WaitFor([&] { return run.set.pipes[1].stages[1].state.load() == kStateReadPending; }))
      return 1;
    set.WriteRecord(self, 0, "from A");
    return 0;
  });
  StageRef stageA = run.AddEntry(0, "TAILWRITER", entry, file);
  StageRef producerB = run.Add(1, "PRODUCER", [&run](CProcess& self, CPipeSet& set) {
    if (!WaitFor([&] { return run.set.pipes[0].stages[1].state.load() == kStateComplete; }))
      return 1;
    set.WriteRecord(self, 0, "from B");
    return 0;
  });
  StageRef stageB = run.AddEntry(1, "TAILWRITER", entry, file);
  run.Connect(producerA, stageA);
  run.Connect(producerB, stageB);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(producerA.pipe, producerA.stage), 0);
  EXPECT_EQ(result.Code(producerB.pipe, producerB.stage), 0);
  EXPECT_EQ(result.Code(stageA.pipe, stageA.stage), 3);
  EXPECT_EQ(result.Code(stageB.pipe, stageB.stage), 0);
  EXPECT_EQ(Read(file), "old\nfrom B");
  EXPECT_EQ(Console(),
            StageMessage("2002RE: Stream: 0, Rec: 1, Input file: '" + file +
                         "' failed to open, Rc: 11,\n" + kIndent +
                         "Reason: Resource temporarily unavailable"));
}

TEST_F(TailwriterTest, OperandWithSecondaryStreamIsRefusedUnread) {
  Outcome outcome = RunNameStream({"names.txt"}, {"a"}, "out.txt");
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2033u);
  EXPECT_EQ(outcome.console, StageMessage("2033RE: Unexpected argument: 'out.txt'."));
  EXPECT_EQ(outcome.output, std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(Path("out.txt")));
  EXPECT_FALSE(fs::exists(Path("names.txt")));
}

// /dev/full takes every byte into the buffer and fails every real write.
// Other processes may hold its lock for a moment, so a busy device is
// waited out.
class WriteFailureTest : public TailwriterTest {
 protected:
  Outcome RunToFullDevice(std::vector<std::string> records) {
    Outcome outcome;
    for (int attempt = 0; attempt < 200; ++attempt) {
      outcome = RunStage("/dev/full", records);
      if (outcome.highest != 2002u) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return outcome;
  }
};

TEST_F(WriteFailureTest, RecordsLostAtCloseAreReported) {
  Outcome outcome = RunToFullDevice({"a", "b", "c"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2999u);
  EXPECT_EQ(outcome.console,
            StageMessage("2999RE: Stream: 0, Rec: 3, Failure writing file: '/dev/full', Rc: 28,\n" +
                         kIndent + "Reason: No space left on device"));
}

TEST_F(WriteFailureTest, FailedWriteStopsTheStageAtOnce) {
  // Enough records to overflow the stream buffer many times over.
  std::vector<std::string> records(2000, std::string(1000, 'r'));
  Outcome outcome = RunToFullDevice(records);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2999u);
  EXPECT_LT(outcome.output.size(), records.size());
  // Reported once, at the failing write, not again at the close.
  const std::string& text = outcome.console;
  EXPECT_EQ(text.find("2999RE:"), text.rfind("2999RE:")) << text;
  EXPECT_NE(text.find("Failure writing file: '/dev/full', Rc: 28,"), std::string::npos) << text;
}

TEST_F(TailwriterTest, OverlongRecordIsAppendedBeforeTheRunStops) {
  // Relative, so that the name itself stays under the lowered limit.
  const std::string file = "long.txt";
  const std::string overlong = "abcdefghijklmnopqrst";
  TestRun run;
  StageRef data = run.Add(0, "DATA", Producer({overlong, "never"}));
  StageRef stage = run.AddEntry(0, "TAILWRITER", entry);
  std::vector<std::string> output;
  StageRef collector = run.Add(0, "COLLECTOR", Collector(&output));
  // The data record is offered under the run's limit; once it is, the limit
  // drops below its length before its name lets the stage take it.
  StageRef names = run.Add(1, "NAMES", [&run, file](CProcess& self, CPipeSet& set) {
    const std::string eventName = run.set.pipes[0].stages[0].outputs[0].recordEventName;
    platform::Handle offered = platform::NamedEvent::OpenOrCreate(eventName, true, false);
    platform::NamedEvent::Wait(offered);
    platform::CloseObject(offered);
    set.recordLimit = 10;
    set.WriteRecord(self, 0, file);
    set.WriteRecord(self, 0, file);
    return 0;
  });
  run.Connect(data, stage);
  run.Connect(stage, collector);
  run.Connect(names, stage);
  RunResult result = run.Run();
  EXPECT_EQ(result.Code(stage.pipe, stage.stage), 0);
  EXPECT_EQ(result.highestReturnCode, 2072u);
  EXPECT_EQ(Read(file), overlong);
  EXPECT_EQ(output, std::vector<std::string>{});
  EXPECT_NE(Console().find("2072RE: Stream: 0, Rec: 1, The record of length: 20,"),
            std::string::npos)
      << Console();
}

}  // namespace
}  // namespace ductrine::test

// The trace console over real traced pipelines. Raised trace events stay
// raised, so each test gets a console (and, under CTest, a process) of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/trace/trace_fixture.h"
#include "trace/trace_command.h"

namespace ductrine::test {
namespace {

template <typename Case>
class TraceConsoleP : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { UseFreshConsole(); }
  void TearDown() override { platform::SetConsoleIdentityForTesting(-1); }
};

// Every case below has a name, for the test's name and its printing.
template <typename Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
template <typename Case>
std::string NameOf(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

const std::string kHelp =
    "Ductrine v" DUCTRINE_VERSION ", tracing source: take 50% of it, 5%% more\n\nUsage:\n\n"
    "  <enter>       - run the next input/output record request.\n"
    "  End           - stop tracing and quiesce the pipeline.\n"
    "  HeLP          - display this help list.\n"
    "  Off           - stop tracing and allow the pipeline to run to completion.\n"
    "  SouRCe        - display the source pipeline.\n"
    "  Run <count|*> - run <count> number or all of the next input/output record requests.\n"
    "\n";
const std::string kListing = "> PIPE < in.txt\n> | 100%s sure\n\n\n";
const std::string P = kPromptSeen;

enum Fault { kNone, kReadMissing, kReadTooShort, kWriteHandle };

// One traced pipeline and the lines typed; a segment fault stops the run with
// code 1031 before any record passes.
struct Dialogue {
  std::string name, before;
  std::vector<std::string> records, script;
  std::string screen;  // stamps and the segment's name masked
  std::string after;   // the segment's text
  int reads;           // of the console
  std::vector<std::string> seen = {};  // the segment as each record arrived, when given
  Fault fault = kNone;
  bool traceProducer = true, traceCollector = false;
  const char* pipeName = nullptr;
  int deliveredAtFirstRead = 0;  // records passed when the console was first read
};

using TraceDialogue = TraceConsoleP<Dialogue>;

TEST_P(TraceDialogue, ShowsAndCountsEachTracedRequest) {
  const Dialogue& d = GetParam();
  TraceSegment segment(d.before);
  TraceSegment tooShort("0;0;", 16);
  TracedPipe pipe(d.records, segment, d.traceProducer, d.traceCollector, d.pipeName);
  CPipeSet& set = pipe.run.set;
  set.traceSource = "take 50% of it, 5%% more";
  set.sourceLines = {"PIPE < in.txt", "| 100%s sure"};
  if (d.fault == kReadMissing) set.traceSegmentName = segment.name + "-missing";
#if defined(_WIN32)
  // Views are made of whole pages there, so a short segment maps all the
  // same; the driver's handle that maps nothing is a closed one.
  if (d.fault == kReadTooShort) GTEST_SKIP() << "a short segment maps whole pages";
  if (d.fault == kWriteHandle) set.traceSegment = nullptr;  // the name reads fine
#else
  if (d.fault == kReadTooShort) set.traceSegmentName = tooShort.name;
  if (d.fault == kWriteHandle) set.traceSegment = tooShort.handle;  // the name reads fine
#endif
  std::atomic<int> delivered{-1};
  ScriptedConsole console(d.script, [&] {
    if (delivered < 0) delivered = static_cast<int>(pipe.collected.size());
  });
  ConsoleCapture capture;

  RunResult result = pipe.Run();

  std::string text = MaskStamps(capture.Text());
  for (std::size_t at; (at = text.find(set.traceSegmentName)) != std::string::npos;)
    text.replace(at, set.traceSegmentName.size(), "<segment>");
  EXPECT_EQ(text, d.screen);
  EXPECT_EQ(segment.Text(), d.after);
  EXPECT_EQ(console.reads, d.reads);
  EXPECT_EQ(delivered, d.reads > 0 ? d.deliveredAtFirstRead : -1) << "records passed the prompt";
  if (!d.seen.empty()) {
    EXPECT_EQ(pipe.seen, d.seen);
  }
  bool fails = d.fault != kNone;
  EXPECT_EQ(pipe.collected, fails ? std::vector<std::string>{} : d.records);
  EXPECT_EQ(result.highestReturnCode, fails ? 1031u : 0u);
  EXPECT_EQ(bool(set.stopping), fails);
  EXPECT_EQ(set.IsTraceOn(), !fails);
  EXPECT_EQ(set.traceSegmentReader, nullptr) << "nothing stays open between requests";
  EXPECT_TRUE(ConsoleLockCanBeTaken());
}

// Cut at 999 characters this is "Run 2" and blanks; whole it would be refused.
const std::string kCutToRun2 = "Run 2" + std::string(994, ' ') + std::string(4001, 'z');
std::string Error1031(const char* access) {
  return std::string("<stamp>PIPE: Error 1031: Cannot ") + access +
         " TRACE shared segment: <segment>.\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TraceDialogue,
    ::testing::Values(
        Dialogue{"EnterAfterThePrompt", "0;0;", {"hello"}, {""}, P + WriteDump(1, 1, "hello"),
                 "0;1;", 1},
        Dialogue{"Run3", "0;0;", {"r1", "r2", "r3", "r4"}, {"Run 3"},
                 P + WriteDump(1, 1, "r1") + WriteDump(2, 2, "r2") + WriteDump(3, 3, "r3") + P +
                     WriteDump(4, 4, "r4"),
                 "0;4;", 2, {"2;1;", "1;2;", "0;3;", "0;4;"}},
        Dialogue{"RefusedCount", "0;0;", {"only"}, {"Run 0"},
                 P + Refusal("Run 0", CountRangeSentence()) + P + WriteDump(1, 1, "only"),
                 "0;1;", 2},
        Dialogue{"FiveThousandCharactersCut", "0;0;", {"r"}, {std::string(5000, 'x')},
                 P + Refusal(std::string(kCommandLineCapacity, 'x'), "") + P +
                     WriteDump(1, 1, "r"),
                 "0;1;", 2},
        Dialogue{"OnlyTheFirst999CharactersCount", "0;0;", {"a", "b", "c"}, {kCutToRun2},
                 P + WriteDump(1, 1, "a") + WriteDump(2, 2, "b") + P + WriteDump(3, 3, "c"),
                 "0;3;", 2},
        // The request number is raised once however often the user asks.
        Dialogue{"HelpAndSource", "0;6;", {"r"}, {"HeLP", "SouRCe", "h", "src", ""},
                 P + kHelp + P + kListing + P + kHelp + P + kListing + P + WriteDump(7, 1, "r"),
                 "0;7;", 5},
        // Past the largest number it starts again at 1; the write leaves the tail.
        Dialogue{"RequestNumberStartsAgainAtOne", "0;2147483647;", {"r"}, {},
                 P + WriteDump(1, 1, "r"), "0;1;47483647;", 1},
        // An untraced stage neither shows, nor counts, nor uses the run count.
        Dialogue{"OnlyTheCollectorTraced", "1;9;", {"a", "b", "c"}, {},
                 PeekDump(10, 1, "a") + P + PeekDump(11, 2, "b") + P + PeekDump(12, 3, "c"),
                 "0;12;", 2, {}, kNone, false, true, nullptr, 1},
        Dialogue{"NoStageTraced", "0;9;", {"a", "b"}, {"End"}, "", "0;9;", 0, {}, kNone, false},
        // Each record is written, then peeked; "%" in a record is data.
        Dialogue{"BothStagesTraced", "-1;40;", {"x%sy", ""}, {},
                 WriteDump(41, 1, "x%sy", "0,main") + PeekDump(42, 1, "x%sy", "0,main") +
                     WriteDump(43, 2, "", "0,main") + PeekDump(44, 2, "", "0,main"),
                 "-1;44;", 0, {}, kNone, true, true, "main"},
        Dialogue{"ReadMissing", "0;0;", {"a", "b"}, {}, Error1031("read from"), "0;0;", 0, {},
                 kReadMissing},
        Dialogue{"ReadTooShort", "0;0;", {"a", "b"}, {}, Error1031("read from"), "0;0;", 0, {},
                 kReadTooShort},
        Dialogue{"WriteAfterEnter", "0;0;", {"a", "b"}, {""},
                 P + WriteDump(1, 1, "a") + Error1031("write to"), "0;0;", 1, {}, kWriteHandle},
        Dialogue{"WriteAfterRun", "0;0;", {"a", "b"}, {"Run 3"}, P + Error1031("write to"), "0;0;",
                 1, {}, kWriteHandle}),
    NameOf<Dialogue>);

// What the user types to one set, and a second set on the same console
// afterwards: on the same segment, or on a new one holding `secondBefore`.
struct TwoSets {
  std::string name, before, command, firstScreen, firstAfter;
  std::string secondBefore, secondScreen, secondAfter;
  bool stops, traceOn;  // for each set
};

using TraceTwoSets = TraceConsoleP<TwoSets>;

TEST_P(TraceTwoSets, TheCommandCarriesToTheNextSet) {
  const TwoSets& c = GetParam();
  TraceSegment first(c.before), second(c.secondBefore);
  ScriptedConsole console({c.command});
  ConsoleCapture capture;
  auto run = [&](std::vector<std::string> records, const TraceSegment& segment,
                 const std::string& screen, const std::string& after) {
    TracedPipe pipe(records, segment);
    EXPECT_EQ(pipe.Run().highestReturnCode, 0u);  // End is a stop without error
    EXPECT_EQ(capture.Text(), screen);
    EXPECT_EQ(segment.Text(), after);
    EXPECT_EQ(pipe.collected, c.stops ? std::vector<std::string>{} : records);
    EXPECT_EQ(bool(pipe.run.set.stopping), c.stops);
    EXPECT_EQ(pipe.run.set.IsTraceOn(), c.traceOn);
    EXPECT_TRUE(ConsoleLockCanBeTaken());
  };
  run({"a", "b", "c"}, first, c.firstScreen, c.firstAfter);
  run({"d", "e", "f", "g"}, c.secondBefore.empty() ? first : second,
      c.firstScreen + c.secondScreen, c.secondAfter);
  EXPECT_EQ(console.reads, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TraceTwoSets,
    ::testing::Values(
        // Run * never prompts again while the segment keeps it.
        TwoSets{"RunStar", "0;0;", "Run *",
                P + WriteDump(1, 1, "a") + WriteDump(2, 2, "b") + WriteDump(3, 3, "c"), "-1;3;", "",
                WriteDump(4, 1, "d") + WriteDump(5, 2, "e") + WriteDump(6, 3, "f") +
                    WriteDump(7, 4, "g"),
                "-1;7;", false, true},
        // Off: this set runs on untraced; the next keeps a run count given
        // earlier and goes off where it would prompt.
        TwoSets{"Off", "0;4;", "OFF", P, "0;4;", "2;10;",
                WriteDump(11, 1, "d") + WriteDump(12, 2, "e"), "0;12;", false, false},
        // End stops this set, and the next at its first trace point.
        TwoSets{"End", "0;4;", "eNd", P, "0;4;", "-1;20;", "", "-1;20;", true, false}),
    NameOf<TwoSets>);

// A stage that already holds the console lock makes a traced request: after
// it, the stage must still hold the lock exactly once, whatever path the
// request took. Released too often lets another thread in early; too rarely
// keeps it out after the stage lets go.
using Script = std::vector<std::string>;
using TraceLockBalance = TraceConsoleP<Script>;

TEST_P(TraceLockBalance, EveryPathGivesTheLockBackOnce) {
  TraceSegment segment;
  std::atomic<bool> takenWhileHeld{true}, takenAfterwards{false};
  TracedPipe pipe({}, segment, true, false, nullptr, [&](CProcess& self, CPipeSet& set) {
    platform::Handle mutex = platform::NamedMutex::OpenOrCreate(ConsoleMutexName());
    platform::NamedMutex::Acquire(mutex);
    set.WriteRecord(self, 0, "r");
    takenWhileHeld = ConsoleLockCanBeTaken(std::chrono::milliseconds(150));
    platform::NamedMutex::Release(mutex);
    platform::CloseObject(mutex);
    takenAfterwards = ConsoleLockCanBeTaken();
    return 0;
  });
  ScriptedConsole console(GetParam());
  ConsoleCapture capture;

  pipe.Run();

  EXPECT_FALSE(takenWhileHeld) << "the request gave the lock back more often than it took it";
  EXPECT_TRUE(takenAfterwards) << "the request kept the lock";
  EXPECT_GE(console.reads, 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, TraceLockBalance,
                         ::testing::Values(Script{""}, Script{"Run 2"}, Script{"Run *"},
                                           Script{"HeLP", ""}, Script{"s", ""}, Script{"EN", ""},
                                           Script{"Off"}, Script{"End"}));

}  // namespace
}  // namespace ductrine::test

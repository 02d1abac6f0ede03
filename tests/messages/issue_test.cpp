// Issuing numbered messages: the two tables and their loading, the exact
// console lines of both series, the phase and position of the issuing stage,
// and the side effects of each severity on tracing and the return code.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "messages/catalogue.h"
#include "platform/platform.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

// A value taken from data: conversions, a terminal title (OSC 0), a
// clipboard write (OSC 52), a screen clear, C1 controls (CSI as one byte,
// NEL), C0 controls, and what must stay: a continuation line's layout, the
// first byte past C1 and UTF-8.
const std::string kHostile = "%s%n%d%%\x1b]0;t\x07\x1b]52;c;SGk=\x07\x1b[2J\x9b" "1m\x80\x85\x9f"
                             "\r\t\x7f\n                    \xa0~\xc3\xa9\n.";
// kHostile as every message line shows it.
const std::string kShown = "%s%n%d%%?]0;t??]52;c;SGk=??[2J?1m???"
                           "???\n                    \xa0~\xc3\xa9?.";

// The console's lines, each with its stamp masked.
std::string Masked(const ConsoleCapture& capture) {
  std::string text;
  for (const std::string& line : capture.Lines()) text += MaskStamp(line) + "\n";
  return text;
}

// The trace end event stays raised for the life of the process, so every
// check takes a console of its own.
struct FreshConsole {
  FreshConsole() { platform::SetConsoleIdentityForTesting(id); }
  bool TraceEnded() const { return EventExists("TraceEndLock-" + std::to_string(id)); }
  static inline std::atomic<long> next{91000000};  // eight digits: the name needs no padding
  const long id = next++;
};

// One pipe: SOURCE feeding TAILWRITER on two streams.
struct Fixture {
  explicit Fixture(const std::string& pipeName = "") {
    SetBuilder builder(set);
    builder.AddPipe(pipeName);
    StageRef a = builder.AddStage(0, "SOURCE");
    StageRef b = builder.AddStage(0, "TAILWRITER");
    builder.Connect(a, b);
    builder.Connect(a, b);
  }
  CStage& Stage(std::uint32_t index) { return set.pipes[0].stages[index]; }
  CPipeSet set;
};

// Continuation lines start in the column behind the 20-character stamp; the
// usage texts 1028 and 1033 have a layout of their own.
TEST(MessageTables, LineUpContinuationsAndKeepTextsAsWritten) {
  std::size_t continuations = 0;
  for (const char* const* table : {kSystemMessageTable, kStageMessageTable})
    for (std::string_view text; !(text = *table).empty(); ++table) {
      if (text.starts_with("1028") || text.starts_with("1033")) continue;
      for (std::size_t at = text.find('\n'); at != text.npos; at = text.find('\n', at + 1)) {
        ++continuations;
        EXPECT_EQ(text.find_first_not_of(' ', at + 1), at + 21) << text;
      }
    }
  EXPECT_EQ(continuations, 19u);
  EXPECT_STREQ(kSystemMessageTable[0],
               "1000 Rc: %d, Missing, invalid or empty registry entry, for: '%s\\%s\\%s'.");
  EXPECT_STREQ(kSystemMessageTable[28],
               "1028 Valid filename or pipeline expected!\n\n PIPE filename[.rex] [arguments]\n"
               " PIPE \"file name[.rex]\" [arguments]\n PIPE \"stage|stage|stage|..\"\n\n"
               "      [arguments]\n          [[arg1] [\"arg 2\"] ..]");
}

// Stages issuing their first message at the same moment fill the list of
// that series once, with every text of its table (a lost comma joins two);
// the other series is loaded only when one of its messages is wanted.
TEST(FirstIssue, EachSeriesFillsOnlyItsOwnListOnce) {
  ConsoleCapture capture;
  Fixture f;
  Caller caller(f.set, 0, 0);
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      // All at once, so that the fills would overlap without the guard.
      for (++ready; ready.load() < 8;) std::this_thread::yield();
      EXPECT_TRUE(f.set.IssueMessage(caller, 2033, kSeverityNone, {"x"}));
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(f.set.stageMessages.size(), 72u);
  EXPECT_TRUE(f.set.systemMessages.empty());
  // A number the series lacks brings in the system list for message 1999.
  EXPECT_FALSE(f.set.IssueMessage(caller, 2016, kSeverityNone));
  f.set.IssueSystemMessage(1029, kSeverityNone, {"x"});
  EXPECT_EQ(f.set.systemMessages.size(), 37u);  // 1000 to 1035 and 1999
  EXPECT_EQ(f.set.stageMessages.size(), 72u);
}

// A stage message ends tracing only when it is on, whatever its severity;
// only an error raises the return code.
TEST(IssueMessage, StageMessageLines) {
  struct Case {
    bool started;
    std::int32_t lastInput;
    std::uint32_t count0, count1, severity;
    bool traceOn;
    std::string expected;  // behind the stamp and the stage header
  };
  const std::string text = "Unexpected argument: '" + kShown + "'.";
  const Case cases[] = {
      {false, 0, 12, 0, kSeverityError, true, "2033IE: " + text},  // streams seen before start
      {true, -1, 0, 0, kSeverityError, false, "2033RE: " + text},
      {true, 0, 12, 0, kSeverityError, false, "2033RE: Stream: 0, Rec: 12, " + text},
      {true, 1, 12, 1, kSeverityError, false, "2033RE: Stream: 1, Rec: 1, " + text},
      {true, 1, 12, 0, kSeverityError, false, "2033RE: " + text},  // nothing fetched there yet
      {true, 5, 12, 3, kSeverityError, false, "2033RE: " + text},  // no such stream
      {true, 0, 3, 0, kSeverityWarning, true, "2033RW: Stream: 0, Rec: 3, " + text},
      {true, -1, 0, 0, kSeverityNone, true, "2033R " + text},
      {true, -1, 0, 0, kSeverityConsoleError, false, "2033R " + text},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    FreshConsole console;
    ConsoleCapture capture;
    Fixture f("p");
    CStage& stage = f.Stage(1);
    stage.started = c.started ? 1 : 0;
    stage.lastInputStream = c.lastInput;
    stage.inputs[0].recordCount = c.count0;
    stage.inputs[1].recordCount = c.count1;
    f.set.traceOn = c.traceOn ? 1 : 0;
    Caller caller(f.set, 0, 1);
    EXPECT_TRUE(f.set.IssueMessage(caller, 2033, c.severity, {kHostile}));
    EXPECT_EQ(Masked(capture),
              "<stamp>PIPE: Pipe(0,p),Stage(1),Type(TAILWRITER): " + c.expected + "\n");
    EXPECT_EQ(f.set.highestReturnCode, c.severity == kSeverityError ? 2033u : 0u);
    EXPECT_EQ(console.TraceEnded(), c.traceOn);
  }
}

// A running stage's messages say R; the position note appears only once the
// stage has fetched a record on the stream it peeked last, and counts the
// records fetched there.
TEST(IssueMessage, PositionNoteFollowsRealPeeks) {
  ConsoleCapture capture;
  TestRun run;
  StageRef producer = run.Add(0, "SOURCE", Producer({"a", "b"}));
  StageRef reader = run.Add(
      0, "READER",
      [](CProcess& self, CPipeSet& set) {
        set.IssueMessage(self, 2033, kSeverityWarning, {"run"});
        std::string record;
        while (set.PeekRecord(self, 0, record)) {
          set.IssueMessage(self, 2033, kSeverityWarning, {record});
          set.ConsumeRecord(self, 0);
        }
        return 0;
      });
  run.Connect(producer, reader);
  run.Run();
  const std::string header = "<stamp>PIPE: Pipe(0),Stage(1),Type(READER): 2033";
  EXPECT_EQ(Masked(capture), header + "RW: Unexpected argument: 'run'.\n" + header +
                                 "RW: Stream: 0, Rec: 1, Unexpected argument: 'a'.\n" + header +
                                 "RW: Stream: 0, Rec: 2, Unexpected argument: 'b'.\n");
}

// A number missing from the stage series is reported as system error 1999,
// with the letters the message would have had; names in it are data.
TEST(IssueMessage, MissingStageMessagesAreReportedWith1999) {
  FreshConsole console;
  ConsoleCapture capture;
  Fixture f(kHostile);
  Caller caller(f.set, 0, 0);
  EXPECT_FALSE(f.set.IssueMessage(caller, 7, kSeverityWarning));
  f.Stage(0).started = 1;
  EXPECT_FALSE(f.set.IssueMessage(caller, 20331, kSeverityNone));  // not 2033
  const std::string request = "<stamp>PIPE: Error 1999: Request made by: Pipe(0," + kShown +
                              "),Stage(0),Type(SOURCE) to issue ";
  EXPECT_EQ(Masked(capture), request + "IW: message no: 007 failed, message not found!\n" +
                                 request + "R message no: 20331 failed, message not found!\n");
  EXPECT_EQ(f.set.highestReturnCode, 1999u);
  EXPECT_TRUE(console.TraceEnded());
  f.set.IssueSystemMessage(1005, kSeverityError);  // the highest return code stays
  EXPECT_EQ(f.set.highestReturnCode, 1999u);
}

// Only an error ends tracing, even when it is off, and raises the return code.
TEST(IssueSystemMessage, LinesBySeverity) {
  using Case = std::pair<std::uint32_t, std::string>;
  for (auto [severity, word] : {Case{kSeverityNone, ""}, {kSeverityWarning, "PIPE: Warning "},
                                {kSeverityError, "PIPE: Error "},
                                {kSeverityConsoleError, "PIPE: Error "}, {11, ""}}) {
    SCOPED_TRACE(severity);
    FreshConsole console;
    ConsoleCapture capture;
    CPipeSet set;
    set.IssueSystemMessage(1031, severity, {"write to", kHostile}, "\n                    More");
    EXPECT_EQ(Masked(capture), "<stamp>" + word + "1031: Cannot write to TRACE shared segment: " +
                                   kShown + ".\n                    More\n");
    EXPECT_EQ(set.highestReturnCode, severity == kSeverityError ? 1031u : 0u);
    EXPECT_EQ(console.TraceEnded(), severity == kSeverityError);
  }
}

}  // namespace
}  // namespace ductrine::test

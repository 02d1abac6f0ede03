// Issuing numbered messages: the exact console lines of both series, the
// phase and position of the issuing stage, and the side effects of each
// severity on tracing and on the run's return code.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "messages/reason_text.h"
#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

// 14 Nov 2023 22:13:20 UTC.
const std::string kStamp = "14/11/2023 22:13:20 ";
const std::string kIndent(20, ' ');
const std::string kHostile = "%s%n%d%%";

// The trace end event stays raised for the life of the process, so every
// check takes a console of its own.
long UseFreshConsole() {
  static std::atomic<long> next{9100};
  long console = next.fetch_add(1);
  platform::SetConsoleIdentityForTesting(console);
  return console;
}

bool TraceEndRaised(long console) {
  char name[48];
  std::snprintf(name, sizeof name, "TraceEndLock-%.8ld", console);
  platform::Handle event = platform::NamedEvent::OpenExisting(name);
  platform::CloseObject(event);
  return event != nullptr;
}

class IssueTest : public ::testing::Test {
 protected:
  IssueTest() {
    UseUtc();
    platform::SetClockForTesting(1700000000);
  }
  ~IssueTest() override {
    platform::SetClockForTesting(-1);
    platform::SetConsoleIdentityForTesting(-1);
  }
  ConsoleCapture capture;
};

// One pipe: SOURCE feeding TAILWRITER on two streams.
struct Fixture {
  explicit Fixture(const std::string& pipeName = "", const std::string& firstType = "SOURCE") {
    SetBuilder builder(set);
    builder.AddPipe(pipeName);
    StageRef a = builder.AddStage(0, firstType);
    StageRef b = builder.AddStage(0, "TAILWRITER");
    builder.Connect(a, b);
    builder.Connect(a, b);
  }
  CStage& Stage(std::uint32_t index) { return set.pipes[0].stages[index]; }
  CPipeSet set;
};

TEST_F(IssueTest, StageMessageLines) {
  struct Case {
    bool started;
    std::int32_t lastInput;
    std::uint32_t count0, count1, severity;
    std::string expected;  // behind the stamp and the stage header
  };
  const std::string text = "Unexpected argument: 'xyz'.";
  const Case cases[] = {
      {false, -1, 0, 0, kSeverityError, "2033IE: " + text},
      {false, 0, 12, 0, kSeverityError, "2033IE: " + text},  // streams seen before start
      {true, -1, 0, 0, kSeverityError, "2033RE: " + text},
      {true, 0, 12, 0, kSeverityError, "2033RE: Stream: 0, Rec: 12, " + text},
      {true, 1, 12, 1, kSeverityError, "2033RE: Stream: 1, Rec: 1, " + text},
      {true, 1, 12, 0, kSeverityError, "2033RE: " + text},  // last peeked stream fetched nothing
      {true, 5, 12, 3, kSeverityError, "2033RE: " + text},  // last peeked stream does not exist
      {true, 0, 3, 0, kSeverityWarning, "2033RW: Stream: 0, Rec: 3, " + text},
      {true, -1, 0, 0, kSeverityNone, "2033R " + text},
      {true, -1, 0, 0, kSeverityConsoleError, "2033R " + text},
      {false, -1, 0, 0, 9, "2033I " + text},
  };
  for (const Case& c : cases) {
    ConsoleCapture local;
    Fixture f;
    CStage& stage = f.Stage(1);
    stage.started = c.started ? 1 : 0;
    stage.lastInputStream = c.lastInput;
    stage.inputs[0].recordCount = c.count0;
    stage.inputs[1].recordCount = c.count1;
    Caller caller(f.set, 0, 1);
    EXPECT_TRUE(f.set.IssueMessage(caller, 2033, c.severity, {"xyz"})) << c.expected;
    EXPECT_EQ(local.Text(), kStamp + "PIPE: Pipe(0),Stage(1),Type(TAILWRITER): " + c.expected + "\n");
    EXPECT_EQ(f.set.highestReturnCode, c.severity == kSeverityError ? 2033u : 0u) << c.expected;
  }
}

TEST_F(IssueTest, ContinuationLinesCarryExactlyTwentyBlanks) {
  Fixture f;
  f.Stage(1).started = 1;
  Caller caller(f.set, 0, 1);
  f.set.IssueMessage(caller, 2002, kSeverityError,
                     {"Output", "out.txt", 2, "No such file or directory"});
  EXPECT_EQ(capture.Text(), kStamp +
                                "PIPE: Pipe(0),Stage(1),Type(TAILWRITER): 2002RE: Output file: "
                                "'out.txt' failed to open, Rc: 2,\n" +
                                kIndent + "Reason: No such file or directory\n");
  ConsoleCapture system;
  f.set.IssueSystemMessage(1017, kSeverityNone, {"stage", 5, "why"});
  EXPECT_EQ(system.Text(), kStamp + "1017: On stage dispatch. Rc: 5,\n" + kIndent + "Reason: why\n");
}

// The position note appears only once the stage has fetched a record on the
// stream it peeked last, and counts the records fetched there.
TEST_F(IssueTest, PositionNoteFollowsRealPeeks) {
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
      },
      [](CProcess& self, CStage&) {
        self.pipeSet->IssueMessage(self, 2033, kSeverityWarning, {"setup"});
        return true;
      });
  run.Connect(producer, reader);
  run.Run();
  std::vector<std::string> lines;
  for (const std::string& line : capture.Lines()) lines.push_back(MaskStamp(line));
  const std::string header = "<stamp>PIPE: Pipe(0),Stage(1),Type(READER): ";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       header + "2033IW: Unexpected argument: 'setup'.",
                       header + "2033RW: Unexpected argument: 'run'.",
                       header + "2033RW: Stream: 0, Rec: 1, Unexpected argument: 'a'.",
                       header + "2033RW: Stream: 0, Rec: 2, Unexpected argument: 'b'.",
                   }));
  EXPECT_EQ(run.set.highestReturnCode, 0u);
}

TEST_F(IssueTest, StageMessagesEndTracingOnlyWhenItIsOn) {
  for (auto [severity, traceOn] : {std::pair{kSeverityNone, true}, {kSeverityError, true},
                                   {kSeverityWarning, false}, {kSeverityConsoleError, false}}) {
    const long console = UseFreshConsole();
    Fixture f;
    f.set.traceOn = traceOn ? 1 : 0;
    Caller caller(f.set, 0, 0);
    f.set.IssueMessage(caller, 2033, severity, {"x"});
    EXPECT_EQ(f.set.traceOn, 0) << severity;
    EXPECT_EQ(TraceEndRaised(console), traceOn) << severity;
  }
}

TEST_F(IssueTest, MissingStageMessageIsReportedWith1999) {
  const long console = UseFreshConsole();
  Fixture f;
  f.Stage(1).started = 1;
  f.Stage(1).lastInputStream = 0;
  f.Stage(1).inputs[0].recordCount = 4;
  f.set.traceOn = 1;
  Caller caller(f.set, 0, 1);
  EXPECT_FALSE(f.set.IssueMessage(caller, 2016, kSeverityError, {"unused"}));
  EXPECT_EQ(capture.Text(), kStamp +
                                "PIPE: Error 1999: Request made by: Pipe(0),Stage(1),"
                                "Type(TAILWRITER) to issue RE: message no: 2016 failed, message "
                                "not found!\n");
  EXPECT_EQ(f.set.highestReturnCode, 1999u);
  EXPECT_EQ(f.set.traceOn, 0);
  EXPECT_TRUE(TraceEndRaised(console));
}

TEST_F(IssueTest, MissingNumbersShowTheirLettersAndAtLeastThreeDigits) {
  struct Case {
    std::uint32_t number, severity;
    bool started;
    std::string shown;
  };
  const Case cases[] = {{7, kSeverityWarning, false, "IW: message no: 007"},
                        {12001, kSeverityNone, true, "R message no: 12001"},
                        {1029, kSeverityError, true, "RE: message no: 1029"}};
  for (const Case& c : cases) {
    ConsoleCapture local;
    Fixture f("p");
    f.Stage(0).started = c.started ? 1 : 0;
    Caller caller(f.set, 0, 0);
    EXPECT_FALSE(f.set.IssueMessage(caller, c.number, c.severity));
    EXPECT_EQ(local.Text(), kStamp + "PIPE: Error 1999: Request made by: Pipe(0,p),Stage(0),"
                                     "Type(SOURCE) to issue " +
                                c.shown + " failed, message not found!\n");
  }
}

TEST_F(IssueTest, HighestReturnCodeOnlyGrows) {
  Fixture f;
  Caller caller(f.set, 0, 1);
  f.set.IssueMessage(caller, 2002, kSeverityError, {"Input", "f", 2, "r"});
  f.set.IssueMessage(caller, 2001, kSeverityError);
  f.set.IssueMessage(caller, 2016, kSeverityError);
  f.set.IssueMessage(caller, 2072, kSeverityWarning, {1, 2, "x"});
  EXPECT_EQ(f.set.highestReturnCode, 2002u);
  f.set.IssueMessage(caller, 2072, kSeverityError, {1, 2, "x"});
  EXPECT_EQ(f.set.highestReturnCode, 2072u);
}

// Only an error ends tracing, and it does so even when tracing is off.
TEST_F(IssueTest, SystemMessageLinesBySeverity) {
  struct Case {
    std::uint32_t severity;
    const char* word;
    std::uint32_t returnCode;
  };
  const Case cases[] = {{kSeverityNone, "", 0},
                        {kSeverityWarning, "PIPE: Warning ", 0},
                        {kSeverityError, "PIPE: Error ", 1031},
                        {kSeverityConsoleError, "PIPE: Error ", 0},
                        {11, "", 0}};
  for (const Case& c : cases) {
    const long console = UseFreshConsole();
    ConsoleCapture local;
    CPipeSet set;
    set.IssueSystemMessage(1031, c.severity, {"write to", "X"});
    EXPECT_EQ(local.Text(), kStamp + c.word + "1031: Cannot write to TRACE shared segment: X.\n");
    EXPECT_EQ(set.highestReturnCode, c.returnCode);
    EXPECT_EQ(TraceEndRaised(console), c.severity == kSeverityError) << c.severity;
  }
}

TEST_F(IssueTest, ConsoleError1033LeavesTracingAndReturnCodeAlone) {
  const long console = UseFreshConsole();
  CPipeSet set;
  set.traceOn = 1;
  set.IssueSystemMessage(1033, kSeverityConsoleError, {"bogus 12", ""});
  EXPECT_EQ(capture.Text(), kStamp +
                                "PIPE: Error 1033: Invalid TRACE command: 'bogus 12'. \n\n  "
                                "Usage: <enter>|End|HeLP|Off|SouRCe|Run <count|*>\n\n");
  EXPECT_EQ(set.traceOn, 1);
  EXPECT_EQ(set.highestReturnCode, 0u);
  EXPECT_FALSE(TraceEndRaised(console));
}

// Names and records full of conversions are data on every path.
TEST_F(IssueTest, ConversionsInValuesShowLiterally) {
  {
    Fixture f(kHostile);
    Caller caller(f.set, 0, 1);
    f.set.IssueMessage(caller, 2002, kSeverityError, {"Input", kHostile, 2, kHostile});
    EXPECT_EQ(capture.Text(), kStamp + "PIPE: Pipe(0," + kHostile +
                                  "),Stage(1),Type(TAILWRITER): 2002IE: Input file: '" + kHostile +
                                  "' failed to open, Rc: 2,\n" + kIndent + "Reason: " + kHostile +
                                  "\n");
  }
  {
    ConsoleCapture local;
    CPipeSet set;
    set.IssueSystemMessage(1031, kSeverityError, {kHostile, kHostile});
    EXPECT_EQ(local.Text(), kStamp + "PIPE: Error 1031: Cannot " + kHostile +
                                " TRACE shared segment: " + kHostile + ".\n");
  }
  {
    ConsoleCapture local;
    Fixture f("", kHostile);
    Caller caller(f.set, 0, 0);
    f.set.IssueMessage(caller, 2016, kSeverityError);
    f.set.IssueMessage(caller, 2999, kSeverityError, {kHostile + " 100%"});
    EXPECT_EQ(local.Text(), kStamp + "PIPE: Error 1999: Request made by: Pipe(0),Stage(0),Type(" +
                                kHostile + ") to issue IE: message no: 2016 failed, message not "
                                           "found!\n" +
                                kStamp + "PIPE: Pipe(0),Stage(0),Type(" + kHostile + "): 2999IE: " +
                                kHostile + " 100%\n");
  }
}

TEST(ReasonText, IsReadableForEveryCode) {
  std::string text = "previous";
  GetReasonText(2, text);  // a file that does not exist, on either system
  EXPECT_EQ(text, platform::ReasonText(2));
  EXPECT_NE(text.find_last_not_of("\r\n"), std::string::npos);
  EXPECT_EQ(text.find_last_not_of("\r\n"), text.size() - 1) << "no line end at the end";
  GetReasonText(987654, text);  // a code the system has no text for
  EXPECT_NE(text.find("987654"), std::string::npos) << text;
}

}  // namespace
}  // namespace ductrine::test

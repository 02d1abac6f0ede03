// Issuing numbered messages: the exact console lines of both series, the
// phase and position of the issuing stage, and the side effects of each
// severity on tracing and on the run's return code.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "messages/reason_text.h"
#include "platform/platform.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

// 14 Nov 2023 22:13:20 UTC.
constexpr std::int64_t kFixedClock = 1700000000;
const std::string kStamp = "14/11/2023 22:13:20 ";
const std::string kIndent(20, ' ');

class Caller : public CProcess {
 public:
  Caller(CPipeSet& set, std::uint32_t pipe, std::uint32_t stage)
      : CProcess(CStageCall{0, &set, pipe, stage}) {}
  bool Setup() override { return true; }
  std::int32_t Run() override { return 0; }
};

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
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SetClockForTesting(kFixedClock);
  }
  ~IssueTest() override {
    platform::SetClockForTesting(-1);
    platform::SetConsoleIdentityForTesting(-1);
  }
  ConsoleCapture capture;
};

// A pipeline set with one pipe of `stages` stages named by type; stage 1 has
// two input streams when there are at least two stages.
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

TEST_F(IssueTest, StageMessageLines) {
  struct Case {
    const char* what;
    bool started;
    std::int32_t lastInput;
    std::uint32_t count0;
    std::uint32_t count1;
    std::uint32_t severity;
    std::string expected;  // behind the stamp and the stage header
  };
  const Case cases[] = {
      {"before start", false, -1, 0, 0, kSeverityError, "2033IE: Unexpected argument: 'xyz'."},
      {"before start, streams seen", false, 0, 12, 0, kSeverityError,
       "2033IE: Unexpected argument: 'xyz'."},
      {"started, nothing peeked", true, -1, 0, 0, kSeverityError,
       "2033RE: Unexpected argument: 'xyz'."},
      {"started, stream 0 fetched 12", true, 0, 12, 0, kSeverityError,
       "2033RE: Stream: 0, Rec: 12, Unexpected argument: 'xyz'."},
      {"started, stream 1 fetched 1", true, 1, 12, 1, kSeverityError,
       "2033RE: Stream: 1, Rec: 1, Unexpected argument: 'xyz'."},
      {"last peeked stream fetched nothing", true, 1, 12, 0, kSeverityError,
       "2033RE: Unexpected argument: 'xyz'."},
      {"last peeked stream does not exist", true, 5, 12, 3, kSeverityError,
       "2033RE: Unexpected argument: 'xyz'."},
      {"warning", true, 0, 3, 0, kSeverityWarning,
       "2033RW: Stream: 0, Rec: 3, Unexpected argument: 'xyz'."},
      {"no severity", true, -1, 0, 0, kSeverityNone, "2033R Unexpected argument: 'xyz'."},
      {"console error", true, -1, 0, 0, kSeverityConsoleError,
       "2033R Unexpected argument: 'xyz'."},
      {"unknown severity", false, -1, 0, 0, 9, "2033I Unexpected argument: 'xyz'."},
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
    EXPECT_TRUE(f.set.IssueMessage(caller, 2033, c.severity, {"xyz"})) << c.what;
    EXPECT_EQ(local.Text(),
              kStamp + "PIPE: Pipe(0),Stage(1),Type(TAILWRITER): " + c.expected + "\n")
        << c.what;
    EXPECT_EQ(f.set.highestReturnCode, c.severity == kSeverityError ? 2033u : 0u) << c.what;
  }
}

TEST_F(IssueTest, HeaderNamesPipeByNumberAndName) {
  Fixture f("main");
  Caller caller(f.set, 0, 0);
  f.set.IssueMessage(caller, 2001, kSeverityError);
  EXPECT_EQ(capture.Text(),
            kStamp + "PIPE: Pipe(0,main),Stage(0),Type(SOURCE): 2001IE: Missing argument, "
                     "Filename expected.\n");
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
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].find_first_not_of(' '), 20u);

  ConsoleCapture system;
  f.set.IssueSystemMessage(1017, kSeverityNone, {"stage", 5, "why"});
  EXPECT_EQ(system.Text(), kStamp + "1017: On stage dispatch. Rc: 5,\n" + kIndent + "Reason: why\n");
}

// The position note appears only once the stage has fetched a record on the
// stream it peeked last, and counts the records fetched there.
TEST_F(IssueTest, PositionNoteFollowsRealPeeks) {
  TestRun run;
  std::vector<std::string> lines;
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
  struct Case {
    std::uint32_t severity;
    bool traceOn;
    long console;
  };
  const Case cases[] = {{kSeverityWarning, true, 9101},      {kSeverityNone, true, 9102},
                        {kSeverityError, true, 9103},        {kSeverityWarning, false, 9104},
                        {kSeverityConsoleError, false, 9105}};
  for (const Case& c : cases) {
    platform::SetConsoleIdentityForTesting(c.console);
    Fixture f;
    f.set.traceOn = c.traceOn ? 1 : 0;
    Caller caller(f.set, 0, 0);
    ASSERT_FALSE(TraceEndRaised(c.console));
    f.set.IssueMessage(caller, 2033, c.severity, {"x"});
    EXPECT_EQ(f.set.traceOn, 0) << c.severity;
    EXPECT_EQ(TraceEndRaised(c.console), c.traceOn) << c.severity;
  }
}

TEST_F(IssueTest, MissingStageMessageIsReportedWith1999) {
  platform::SetConsoleIdentityForTesting(9201);
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
  EXPECT_TRUE(TraceEndRaised(9201));
}

TEST_F(IssueTest, MissingNumbersShowTheirLettersAndAtLeastThreeDigits) {
  struct Case {
    std::uint32_t number;
    std::uint32_t severity;
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
  EXPECT_EQ(f.set.highestReturnCode, 2002u);
  f.set.IssueMessage(caller, 2001, kSeverityError);
  EXPECT_EQ(f.set.highestReturnCode, 2002u);
  f.set.IssueMessage(caller, 2016, kSeverityError);
  EXPECT_EQ(f.set.highestReturnCode, 2002u);
  f.set.IssueMessage(caller, 2072, kSeverityWarning, {1, 2, "x"});
  EXPECT_EQ(f.set.highestReturnCode, 2002u);
  f.set.IssueMessage(caller, 2072, kSeverityError, {1, 2, "x"});
  EXPECT_EQ(f.set.highestReturnCode, 2072u);
}

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
    ConsoleCapture local;
    CPipeSet set;
    set.IssueSystemMessage(1031, c.severity, {"write to", "X"});
    EXPECT_EQ(local.Text(),
              kStamp + c.word + "1031: Cannot write to TRACE shared segment: X.\n");
    EXPECT_EQ(set.highestReturnCode, c.returnCode);
  }
}

TEST_F(IssueTest, SystemErrorEndsTracingEvenWhenItIsOff) {
  platform::SetConsoleIdentityForTesting(9301);
  CPipeSet set;
  set.highestReturnCode = 5000;
  set.IssueSystemMessage(1031, kSeverityError, {"read", "name"});
  EXPECT_TRUE(TraceEndRaised(9301));
  EXPECT_EQ(set.traceOn, 0);
  EXPECT_EQ(set.highestReturnCode, 5000u);
}

TEST_F(IssueTest, ConsoleError1033LeavesTracingAndReturnCodeAlone) {
  platform::SetConsoleIdentityForTesting(9401);
  CPipeSet set;
  set.traceOn = 1;
  set.IssueSystemMessage(1033, kSeverityConsoleError, {"bogus 12", ""});
  EXPECT_EQ(capture.Text(), kStamp +
                                "PIPE: Error 1033: Invalid TRACE command: 'bogus 12'. \n\n  "
                                "Usage: <enter>|End|HeLP|Off|SouRCe|Run <count|*>\n\n");
  EXPECT_EQ(set.traceOn, 1);
  EXPECT_EQ(set.highestReturnCode, 0u);
  EXPECT_FALSE(TraceEndRaised(9401));
}

// Names and records full of conversions are data on every path.
TEST_F(IssueTest, ConversionsInValuesShowLiterally) {
  const std::string hostile = "%s%n%d%%";
  {
    Fixture f(hostile);
    Caller caller(f.set, 0, 1);
    f.set.IssueMessage(caller, 2002, kSeverityError, {"Input", hostile, 2, hostile});
    EXPECT_EQ(capture.Text(), kStamp + "PIPE: Pipe(0," + hostile +
                                  "),Stage(1),Type(TAILWRITER): 2002IE: Input file: '" + hostile +
                                  "' failed to open, Rc: 2,\n" + kIndent + "Reason: " + hostile +
                                  "\n");
  }
  {
    ConsoleCapture local;
    CPipeSet set;
    set.IssueSystemMessage(1031, kSeverityError, {hostile, hostile});
    EXPECT_EQ(local.Text(), kStamp + "PIPE: Error 1031: Cannot " + hostile +
                                " TRACE shared segment: " + hostile + ".\n");
  }
  {
    ConsoleCapture local;
    CPipeSet set;
    SetBuilder builder(set);
    builder.AddStage(0, hostile);
    Caller caller(set, 0, 0);
    set.IssueMessage(caller, 2016, kSeverityError);
    EXPECT_EQ(local.Text(), kStamp + "PIPE: Error 1999: Request made by: Pipe(0),Stage(0),Type(" +
                                hostile + ") to issue IE: message no: 2016 failed, message not "
                                          "found!\n");
  }
  {
    ConsoleCapture local;
    Fixture f;
    Caller caller(f.set, 0, 0);
    f.set.IssueMessage(caller, 2999, kSeverityError, {hostile + " 100%"});
    EXPECT_EQ(local.Text(),
              kStamp + "PIPE: Pipe(0),Stage(0),Type(SOURCE): 2999IE: " + hostile + " 100%\n");
  }
}

TEST(ReasonText, IsReadableForEveryCode) {
  struct Case {
    int code;
    const char* contains;
  };
  const Case cases[] = {{ENOENT, "No such file or directory"},
                        {EACCES, "Permission denied"},
                        {1234, "1234"},
                        {-7, "-7"},
                        {0, ""}};
  for (const Case& c : cases) {
    std::string text = "previous";
    GetReasonText(c.code, text);
    EXPECT_FALSE(text.empty()) << c.code;
    EXPECT_NE(text, "previous") << c.code;
    EXPECT_NE(text.find(c.contains), std::string::npos) << c.code << ": " << text;
    EXPECT_NE(text.back(), '\n') << c.code;
    EXPECT_NE(text.back(), '\r') << c.code;
  }
  std::string exact;
  GetReasonText(ENOENT, exact);
  EXPECT_EQ(exact, "No such file or directory");
}

}  // namespace
}  // namespace ductrine::test

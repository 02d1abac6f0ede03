// The trace console over real traced pipelines: a TRACE segment of the
// test's own, a scripted console, and what the user sees.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "messages/appl_message.h"
#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"
#include "trace/help_text.h"
#include "trace/record_dump.h"
#include "trace/trace_command.h"

namespace ductrine::test {
namespace {

// A TRACE segment created as the driver creates it; removed at the end.
struct TraceSegment {
  explicit TraceSegment(const std::string& initial) {
    static std::atomic<unsigned> counter{0};
    name = "ductrine-trace-test-" + std::to_string(platform::ProcessId()) + "-" +
           std::to_string(counter++);
    platform::SharedSegment::Remove(name);  // left by a killed test with a reused process id
    handle = platform::SharedSegment::CreateExclusive(name, kSize, initial);
    if (handle == nullptr) ADD_FAILURE() << "cannot create the segment " << name;
  }
  ~TraceSegment() {
    platform::CloseObject(handle);
    platform::SharedSegment::Remove(name);
  }
  std::string Text() const {  // up to the first NUL
    void* view = platform::SharedSegment::Map(handle, kSize);
    if (view == nullptr) return "<unmappable>";
    std::string text(static_cast<const char*>(view), strnlen(static_cast<char*>(view), kSize));
    platform::SharedSegment::Unmap(view, kSize);
    return text;
  }
  static constexpr std::size_t kSize = 256;
  std::string name;
  platform::Handle handle = nullptr;
};

// One prompt as seen: the prompt, and the line feed written after the answer.
const std::string P = "trace ?: \n";
const std::string kStamp = "01/01/1970 00:00:00 ";

// The dumps of a write by the PRODUCER (stage 0) and a peek by the COLLECTOR
// (stage 1), both on stream 0.
std::string WriteDump(std::int32_t request, long record, const std::string& data,
                      const std::string& label = "0") {
  return RecordDumpScreenText(
      BuildRecordDump(request, label, 0, "PRODUCER", kTraceWrite, record, 0, data));
}
std::string PeekDump(std::int32_t request, long record, const std::string& data,
                     const std::string& label = "0") {
  return RecordDumpScreenText(
      BuildRecordDump(request, label, 1, "COLLECTOR", kTracePeek, record, 0, data));
}
std::string Refusal(const std::string& commandLine, const std::string& explanation) {
  return kStamp + "PIPE: Error 1033: Invalid TRACE command: '" + commandLine + "'. " +
         explanation + "\n\n  Usage: <enter>|End|HeLP|Off|SouRCe|Run <count|*>\n\n";
}
std::string Error1031(const char* access) {
  return kStamp + "PIPE: Error 1031: Cannot " + access + " TRACE shared segment: <segment>.\n";
}

const std::string kSource = "take 50% of it, 5%% more";
const std::string kListing = "> PIPE < in.txt\n> | 100%s sure\n\n\n";

// How the run ends; the last two are a TRACE segment that fails, which
// stops the run with code 1031 before any record passes.
enum Outcome { kRuns, kOff, kEnds, kReadMissing, kWriteFails };

// One traced pipeline and the lines typed, and optionally a second set on the
// same console afterwards, with a segment of its own holding `secondBefore`.
struct Dialogue {
  std::string name, before;
  std::vector<std::string> records, script;
  std::string screen;  // the segment's name masked
  std::string after;   // the segment's text
  std::size_t reads;   // of the console
  Outcome outcome = kRuns;
  bool traceProducer = true, traceCollector = false;
  const char* pipeName = nullptr;
  std::string secondBefore = "", secondScreen = "", secondAfter = "";
};

// A console of the case's own, so its lock and trace events meet no other
// case's; a fixed clock, for the message stamps; and console input from a
// script, one line per read, then end of input (taken as enter). The console
// lock is kept open throughout, so that one left held stays held.
struct ScriptedConsole {
  explicit ScriptedConsole(const std::vector<std::string>& script) {
    static long next = 0;
    platform::SetConsoleIdentityForTesting(
        70000000L + static_cast<long>(platform::ProcessId() % 10000) * 100 + next++);
    UseUtc();
    platform::SetClockForTesting(0);
    lock = platform::NamedMutex::OpenOrCreate(ConsoleMutexName());
    platform::SetConsoleInputForTesting([this, script](std::string* line) {
      std::size_t at = reads++;
      if (at < script.size()) *line = script[at];
      return at < script.size();
    });
  }
  ~ScriptedConsole() {
    platform::SetConsoleInputForTesting({});
    platform::CloseObject(lock);
    platform::SetConsoleIdentityForTesting(-1);
    platform::SetClockForTesting(-1);
  }
  platform::Handle lock;
  std::size_t reads = 0;
};

// Only the first 999 characters of a line count: cut there, the second line
// is "Run 2" and blanks; whole it would be refused.
const std::string kCutToRun2 = "Run 2" + std::string(994, ' ') + std::string(4001, 'z');

const Dialogue kDialogues[] = {
    // Run * never prompts again while the segment keeps it (see BothStagesTraced).
    {"Run3ThenRunStar", "0;0;", {"r1", "r2", "r3", "r4", "r5"}, {"Run 3", "Run *"},
     P + WriteDump(1, 1, "r1") + WriteDump(2, 2, "r2") + WriteDump(3, 3, "r3") + P +
         WriteDump(4, 4, "r4") + WriteDump(5, 5, "r5"),
     "-1;5;", 2},
    {"RefusedAndCutLines", "0;0;", {"a", "b", "c"}, {"Run 0", std::string(5000, 'x'), kCutToRun2},
     P + Refusal("Run 0", CountRangeSentence()) + P +
         Refusal(std::string(kCommandLineCapacity, 'x'), "") + P + WriteDump(1, 1, "a") +
         WriteDump(2, 2, "b") + P + WriteDump(3, 3, "c"),
     "0;3;", 4},
    // The request number is raised once however often the user asks.
    {"HelpAndSource", "0;6;", {"r"}, {"HeLP", "SouRCe", "h", "src", ""},
     P + TraceHelpScreenText(kSource) + P + kListing + P + TraceHelpScreenText(kSource) + P +
         kListing + P + WriteDump(7, 1, "r"),
     "0;7;", 5},
    // An untraced stage neither shows, nor counts, nor uses the run count.
    // Past the largest number the count starts again at 1; the segment
    // write leaves what follows its text.
    {"OnlyTheCollectorTraced", "1;2147483646;", {"a", "b", "c"}, {},
     PeekDump(2147483647, 1, "a") + P + PeekDump(1, 2, "b") + P + PeekDump(2, 3, "c"),
     "0;2;47483647;", 2, kRuns, false, true},
    // Each record is written, then peeked; "%" in a record is data.
    {"BothStagesTraced", "-1;40;", {"x%sy", ""}, {},
     WriteDump(41, 1, "x%sy", "0,main") + PeekDump(42, 1, "x%sy", "0,main") +
         WriteDump(43, 2, "", "0,main") + PeekDump(44, 2, "", "0,main"),
     "-1;44;", 0, kRuns, true, true, "main"},
    // Off: this set runs on untraced; the next keeps a run count given
    // earlier and goes off where it would prompt.
    {"Off", "0;4;", {"a", "b", "c"}, {"OFF"}, P, "0;4;", 1, kOff, true, false, nullptr, "2;10;",
     WriteDump(11, 1, "d") + WriteDump(12, 2, "e"), "0;12;"},
    // End stops this set, and the next at its first trace point.
    {"End", "0;4;", {"a", "b", "c"}, {"eNd"}, P, "0;4;", 1, kEnds, true, false, nullptr, "-1;20;",
     "", "-1;20;"},
    {"ReadMissing", "0;0;", {"a"}, {}, Error1031("read from"), "0;0;", 0, kReadMissing},
    {"WriteAfterEnter", "0;0;", {"a", "b"}, {""}, P + WriteDump(1, 1, "a") + Error1031("write to"),
     "0;0;", 1, kWriteFails},
    {"WriteAfterRun", "0;0;", {"a", "b"}, {"Run 3"}, P + Error1031("write to"), "0;0;", 1,
     kWriteFails}};

TEST(TraceDialogue, ShowsAndCountsEachTracedRequest) {
  for (const Dialogue& d : kDialogues) {
    SCOPED_TRACE(d.name);
    ScriptedConsole console(d.script);
    ConsoleCapture capture;
    // A PRODUCER feeding a COLLECTOR, traced as the driver sets it up.
    auto run = [&](const std::vector<std::string>& records, const std::string& before,
                   const std::string& screen, const std::string& after, bool first) {
      TraceSegment segment(before);
      TestRun pipe;
      std::vector<std::string> collected;
      if (first && d.pipeName) pipe.builder.AddPipe(d.pipeName);
      StageRef producer = pipe.Add(0, "PRODUCER", Producer(records));
      StageRef collector = pipe.Add(0, "COLLECTOR", Collector(&collected));
      pipe.Connect(producer, collector);
      pipe.Stage(producer).traced = !first || d.traceProducer;
      pipe.Stage(collector).traced = first && d.traceCollector;
      CPipeSet& set = pipe.set;
      // A segment that fails: its name is missing, or the driver's handle
      // (the writer's; the name reads fine) maps nothing.
      set.traceSegmentName = segment.name + (d.outcome == kReadMissing ? "-missing" : "");
      set.traceSegment = d.outcome == kWriteFails ? nullptr : segment.handle;
      set.SetTraceOn(true);
      set.traceSource = kSource;
      set.sourceLines = {"PIPE < in.txt", "| 100%s sure"};
      RunResult result = pipe.Run();

      std::string text = capture.Text();
      for (std::size_t at; (at = text.find(set.traceSegmentName)) != std::string::npos;)
        text.replace(at, set.traceSegmentName.size(), "<segment>");
      EXPECT_EQ(text, screen);
      EXPECT_EQ(segment.Text(), after);
      bool fails = d.outcome >= kReadMissing, stops = fails || d.outcome == kEnds;
      EXPECT_EQ(collected, stops ? std::vector<std::string>{} : records);
      EXPECT_EQ(result.highestReturnCode, fails ? 1031u : 0u) << "End is a stop without error";
      EXPECT_EQ(bool(set.stopping), stops);
      EXPECT_EQ(set.IsTraceOn(), d.outcome == kRuns);
      EXPECT_EQ(set.traceSegmentReader, nullptr) << "nothing stays open between requests";
    };
    run(d.records, d.before, d.screen, d.after, true);
    if (!d.secondBefore.empty())
      run({"d", "e", "f", "g"}, d.secondBefore, d.screen + d.secondScreen, d.secondAfter, false);
    EXPECT_EQ(console.reads, d.reads);
  }
}

}  // namespace
}  // namespace ductrine::test

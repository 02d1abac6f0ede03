// Pieces for tests that run real traced pipelines: a TRACE segment of the
// test's own, a scripted console, and helpers that spell out what the user
// sees. Used on the test thread; the scripted console is called from
// whichever stage thread holds the trace dialogue.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messages/appl_message.h"
#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "tests/harness/harness.h"
#include "trace/record_dump.h"

namespace ductrine::test {

inline std::string UniqueTraceName(const char* stem) {
  static std::atomic<unsigned> counter{0};
  return std::string(stem) + "-" + std::to_string(platform::ProcessId()) + "-" +
         std::to_string(counter.fetch_add(1));
}

// Every test talks to a console of its own, so the console lock and the
// trace events of one test never meet those of another, even when tests
// share a process.
inline void UseFreshConsole() {
  static std::atomic<long> next{0};
  platform::SetConsoleIdentityForTesting(
      70000000L + static_cast<long>(platform::ProcessId() % 10000) * 100 + next.fetch_add(1));
}

// A TRACE segment created as the driver creates it; removed at the end.
class TraceSegment {
 public:
  explicit TraceSegment(const std::string& initial = "0;0;", std::size_t size = 256)
      : name_(UniqueTraceName("ductrine-trace-test")), size_(size) {
    // A test killed at its time limit leaves its segment behind, and a later
    // process may get the same process id.
    platform::SharedSegment::Remove(name_);
    handle_ = platform::SharedSegment::CreateExclusive(name_, size, initial);
    if (handle_ == nullptr) ADD_FAILURE() << "cannot create the segment " << name_;
  }
  ~TraceSegment() {
    platform::CloseObject(handle_);
    platform::SharedSegment::Remove(name_);
  }
  TraceSegment(const TraceSegment&) = delete;
  TraceSegment& operator=(const TraceSegment&) = delete;

  const std::string& name() const { return name_; }
  platform::Handle handle() const { return handle_; }

  // The two fields as stored: the bytes up to and including the second ';'.
  std::string Counts() const {
    std::string bytes = Bytes();
    std::size_t first = bytes.find(';');
    if (first == std::string::npos) return bytes.substr(0, bytes.find('\0'));
    std::size_t second = bytes.find(';', first + 1);
    return second == std::string::npos ? bytes : bytes.substr(0, second + 1);
  }

  std::string Bytes() const {
    void* view = platform::SharedSegment::Map(handle_, size_);
    if (view == nullptr) return "<unmappable>";
    std::string bytes(static_cast<const char*>(view), size_);
    platform::SharedSegment::Unmap(view, size_);
    return bytes;
  }

  void Store(const std::string& text) {
    void* view = platform::SharedSegment::Map(handle_, size_);
    ASSERT_NE(view, nullptr);
    std::memset(view, 0, size_);
    std::memcpy(view, text.data(), text.size());
    platform::SharedSegment::Unmap(view, size_);
  }

 private:
  std::string name_;
  std::size_t size_;
  platform::Handle handle_ = nullptr;
};

// What the driver does before the stages start.
inline void TraceThrough(CPipeSet& set, const TraceSegment& segment) {
  set.traceSegmentName = segment.name();
  set.traceSegment = segment.handle();
  set.SetTraceOn(true);
}

// Console input from a script: one line per read; end of input after the
// last line, which the trace console takes as enter.
class ScriptedConsole {
 public:
  explicit ScriptedConsole(std::vector<std::string> lines,
                           std::function<void()> onRead = {})
      : lines_(lines.begin(), lines.end()), onRead_(std::move(onRead)) {
    platform::SetConsoleInputForTesting([this](std::string* line) {
      std::lock_guard<std::mutex> hold(lock_);
      ++reads_;
      if (onRead_) onRead_();
      if (lines_.empty()) return false;
      *line = lines_.front();
      lines_.pop_front();
      return true;
    });
  }
  ~ScriptedConsole() { platform::SetConsoleInputForTesting({}); }
  ScriptedConsole(const ScriptedConsole&) = delete;
  ScriptedConsole& operator=(const ScriptedConsole&) = delete;

  int reads() const {
    std::lock_guard<std::mutex> hold(lock_);
    return reads_;
  }

 private:
  mutable std::mutex lock_;
  std::deque<std::string> lines_;
  std::function<void()> onRead_;
  int reads_ = 0;
};

// A producer feeding a collector in pipe 0, run through a TRACE segment.
struct TracedPipe {
  TracedPipe(std::vector<std::string> records, const TraceSegment& segment,
             bool traceProducer = true, bool traceCollector = false) {
    producer = run.Add(0, "PRODUCER", Producer(std::move(records)));
    collector = run.Add(0, "COLLECTOR", Collector(&collected));
    run.Connect(producer, collector);
    run.Stage(producer).traced = traceProducer ? 1 : 0;
    run.Stage(collector).traced = traceCollector ? 1 : 0;
    TraceThrough(run.set, segment);
  }
  RunResult Run() { return run.Run(); }

  TestRun run;
  std::vector<std::string> collected;
  StageRef producer;
  StageRef collector;
};

// What the user sees of one prompt: the prompt, then the line feed written
// after the answer (the typed answer itself is the terminal's echo).
inline const std::string kPromptSeen = "trace ?: \n";

// The dump of a write by the PRODUCER (stage 0 of pipe 0) on stream 0.
inline std::string WriteDump(std::int32_t request, long record, const std::string& data) {
  return RecordDumpScreenText(
      BuildRecordDump(request, "0", 0, "PRODUCER", kTraceWrite, record, 0, data));
}

// The dump of a peek by the COLLECTOR (stage 1 of pipe 0) on stream 0.
inline std::string PeekDump(std::int32_t request, long record, const std::string& data,
                            const std::string& label = "0") {
  return RecordDumpScreenText(
      BuildRecordDump(request, label, 1, "COLLECTOR", kTracePeek, record, 0, data));
}

// Console text with the date and time stamp of every line masked.
inline std::string MaskStamps(const std::string& text) {
  std::string masked;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::size_t stop = end == std::string::npos ? text.size() : end;
    masked += MaskStamp(text.substr(start, stop - start));
    if (end == std::string::npos) break;
    masked += '\n';
    start = end + 1;
  }
  return masked;
}

// The line of message 1033 for a refused command, stamp masked.
inline std::string Refusal(const std::string& commandLine, const std::string& explanation) {
  return "<stamp>PIPE: Error 1033: Invalid TRACE command: '" + commandLine + "'. " + explanation +
         "\n\n  Usage: <enter>|End|HeLP|Off|SouRCe|Run <count|*>\n\n";
}

// True when another thread can take the console lock within a few seconds.
// A thread that left the lock held (or a lock leaked by a finished stage
// thread) makes the waiting thread hang; it is then left behind.
inline bool ConsoleLockCanBeTaken(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto taken = std::make_shared<std::atomic<bool>>(false);
  std::string name = ConsoleMutexName();
  std::thread other([taken, name] {
    platform::Handle mutex = platform::NamedMutex::OpenOrCreate(name);
    if (platform::NamedMutex::Acquire(mutex)) {
      *taken = true;
      platform::NamedMutex::Release(mutex);
    }
    platform::CloseObject(mutex);
  });
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!*taken && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (*taken) {
    other.join();
    return true;
  }
  other.detach();
  return false;
}

}  // namespace ductrine::test

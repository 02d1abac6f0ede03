// Real traced pipelines: a TRACE segment of the test's own, a scripted
// console, and what the user sees.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
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

// A console of the test's own, so its lock and trace events meet no other test's.
inline void UseFreshConsole() {
  static std::atomic<long> next{0};
  platform::SetConsoleIdentityForTesting(
      70000000L + static_cast<long>(platform::ProcessId() % 10000) * 100 + next.fetch_add(1));
}

// A TRACE segment created as the driver creates it; removed at the end.
struct TraceSegment {
  explicit TraceSegment(const std::string& initial = "0;0;", std::size_t size = 256)
      : name("ductrine-trace-test-" + std::to_string(platform::ProcessId()) + "-" +
             std::to_string(counter.fetch_add(1))),
        size(size) {
    platform::SharedSegment::Remove(name);  // left by a killed test with a reused process id
    handle = platform::SharedSegment::CreateExclusive(name, size, initial);
    if (handle == nullptr) ADD_FAILURE() << "cannot create the segment " << name;
  }
  ~TraceSegment() {
    platform::CloseObject(handle);
    platform::SharedSegment::Remove(name);
  }
  // What is stored, up to the first NUL.
  std::string Text() const {
    void* view = platform::SharedSegment::Map(handle, size);
    if (view == nullptr) return "<unmappable>";
    std::string text(static_cast<const char*>(view), strnlen(static_cast<char*>(view), size));
    platform::SharedSegment::Unmap(view, size);
    return text;
  }

  static inline std::atomic<unsigned> counter{0};
  const std::string name;
  const std::size_t size;
  platform::Handle handle = nullptr;
};

// Console input from a script: one line per read, then end of input (taken
// as enter). Read by whichever stage thread holds the trace dialogue.
struct ScriptedConsole {
  explicit ScriptedConsole(std::vector<std::string> script, std::function<void()> onRead = {})
      : lines(script.begin(), script.end()) {
    platform::SetConsoleInputForTesting([this, onRead](std::string* line) {
      std::lock_guard<std::mutex> hold(lock);
      ++reads;
      if (onRead) onRead();
      if (lines.empty()) return false;
      *line = lines.front();
      lines.pop_front();
      return true;
    });
  }
  ~ScriptedConsole() { platform::SetConsoleInputForTesting({}); }
  std::mutex lock;
  std::deque<std::string> lines;
  std::atomic<int> reads{0};
};

// A PRODUCER (of `records`, or running `produce`) feeding a COLLECTOR in
// pipe 0, traced through `segment`, which the collector notes at each record.
struct TracedPipe {
  TracedPipe(std::vector<std::string> records, const TraceSegment& segment,
             bool traceProducer = true, bool traceCollector = false,
             const char* pipeName = nullptr, RunFn produce = {}) {
    if (pipeName != nullptr) run.builder.AddPipe(pipeName);
    producer = run.Add(0, "PRODUCER", produce ? produce : Producer(std::move(records)));
    collector = run.Add(0, "COLLECTOR", [this, &segment](CProcess& self, CPipeSet& set) {
      std::string record;
      while (set.PeekRecord(self, 0, record)) {
        collected.push_back(record);
        seen.push_back(segment.Text());
        set.ConsumeRecord(self, 0);
      }
      return 0;
    });
    run.Connect(producer, collector);
    run.Stage(producer).traced = traceProducer ? 1 : 0;
    run.Stage(collector).traced = traceCollector ? 1 : 0;
    run.set.traceSegmentName = segment.name;  // as the driver sets it up
    run.set.traceSegment = segment.handle;
    run.set.SetTraceOn(true);
  }
  RunResult Run() { return run.Run(); }

  TestRun run;
  std::vector<std::string> collected, seen;
  StageRef producer, collector;
};

// One prompt as seen: the prompt, and the line feed written after the answer
// (the typed answer itself is the terminal's echo).
inline const std::string kPromptSeen = "trace ?: \n";

// The dumps of a write by the PRODUCER (stage 0) and a peek by the COLLECTOR
// (stage 1), both on stream 0.
inline std::string WriteDump(std::int32_t request, long record, const std::string& data,
                             const std::string& label = "0") {
  return RecordDumpScreenText(
      BuildRecordDump(request, label, 0, "PRODUCER", kTraceWrite, record, 0, data));
}
inline std::string PeekDump(std::int32_t request, long record, const std::string& data,
                            const std::string& label = "0") {
  return RecordDumpScreenText(
      BuildRecordDump(request, label, 1, "COLLECTOR", kTracePeek, record, 0, data));
}

// Console text with the date and time stamp of every line masked.
inline std::string MaskStamps(const std::string& text) {
  std::string masked;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    masked += MaskStamp(text.substr(start, end - start)) + '\n';
  return masked + MaskStamp(text.substr(start));
}

// Message 1033 for a refused command, stamp masked.
inline std::string Refusal(const std::string& commandLine, const std::string& explanation) {
  return "<stamp>PIPE: Error 1033: Invalid TRACE command: '" + commandLine + "'. " + explanation +
         "\n\n  Usage: <enter>|End|HeLP|Off|SouRCe|Run <count|*>\n\n";
}

// True when another thread can take the console lock within `limit`. A lock
// left held makes that thread hang; it is then left behind.
inline bool ConsoleLockCanBeTaken(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  std::packaged_task<bool()> take([name = ConsoleMutexName()] {
    platform::Handle mutex = platform::NamedMutex::OpenOrCreate(name);
    bool taken = platform::NamedMutex::Acquire(mutex);
    if (taken) platform::NamedMutex::Release(mutex);
    platform::CloseObject(mutex);
    return taken;
  });
  std::future<bool> taken = take.get_future();
  std::thread other(std::move(take));
  bool ready = taken.wait_for(limit) == std::future_status::ready;
  ready ? other.join() : other.detach();
  return ready && taken.get();
}

}  // namespace ductrine::test

// Test harness: pipeline sets whose stages are lambdas of the test, run on
// the real run engine, and a capture of the console device.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/run_engine.h"
#include "engine/set_builder.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine::test {

using RunFn = std::function<std::int32_t(CProcess& self, CPipeSet& set)>;
using SetupFn = std::function<bool(CProcess& self, CStage& stage)>;

class TestRun {
 public:
  TestRun();
  ~TestRun();
  TestRun(const TestRun&) = delete;
  TestRun& operator=(const TestRun&) = delete;

  StageRef Add(std::uint32_t pipe, const std::string& type, RunFn run, SetupFn setup = {});
  // A stage with an entry point of its own (a module's BeginStage).
  StageRef AddEntry(std::uint32_t pipe, const std::string& type, StageEntry entry,
                    std::string operands = {});
  void Connect(StageRef from, StageRef to) { builder.Connect(from, to); }
  CStage& Stage(StageRef ref) { return builder.Stage(ref); }
  RunResult Run(std::function<void(CPipeSet&)> startCheck = {});

  CPipeSet set;
  SetBuilder builder{set};
  // Each stage on a thread of its own; by default as DUCTRINE_TEST_THREADS
  // says (1: on), so one suite runs in both modes.
  bool threadPerStage = ThreadsFromEnvironment();
  // Where a stall's dump goes; empty: the system's temporary folder.
  std::string dumpFolder;

  static bool ThreadsFromEnvironment();

 private:
  std::map<std::pair<std::uint32_t, std::uint32_t>, StageEntry> entries_;
};

// A stage that only lends its identity (pipe and stage index) to framework
// operations called outside a running stage.
class Caller final : public CProcess {
 public:
  Caller(CPipeSet& set, std::uint32_t pipe, std::uint32_t stage)
      : CProcess(CStageCall{0, &set, pipe, stage}) {}
  bool Setup() override { return true; }
  std::int32_t Run() override { return 0; }
};

// Polls `condition` until it holds (true) or `limit` passes (false). On a
// stage's fiber it lets the other stages run between looks.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// Whether a named event exists (the flags between processes are events
// created raised).
bool EventExists(const std::string& name);

// Common stages.
RunFn Producer(std::vector<std::string> records);
// Takes `count` records (all when negative) into `out`, then ends.
RunFn Collector(std::vector<std::string>* out, int count = -1);

// Captures the console device for its lifetime.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  std::string Text() const;
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex lock_;
  std::string text_;
};

// A message line with its 20-character date and time stamp replaced by
// "<stamp>", so tests can compare the rest byte for byte.
std::string MaskStamp(const std::string& line);

}  // namespace ductrine::test

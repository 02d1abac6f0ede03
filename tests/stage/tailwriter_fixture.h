// Runs the loaded tailwriter module through the run engine on real files in
// a temporary folder, which is also the working folder while a test runs
// (names taken from records cannot contain a slash).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/harness/harness.h"
#include "tests/stage/module_loader.h"

namespace ductrine::test {

namespace fs = std::filesystem;

// What one run produced.
struct Outcome {
  std::int32_t rc = -1;         // the tailwriter stage's return code
  std::uint32_t highest = 0;    // the run's highestReturnCode
  std::vector<std::string> output;
  std::string console;          // its console lines, date and time masked
};

class TailwriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    entry = LoadTailwriterEntry(&error);
    ASSERT_NE(entry, nullptr) << TailwriterModulePath() << ": " << error;
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() / ("ductrine-tailwriter-" +
                                       std::to_string(platform::ProcessId()) + "-" +
                                       std::to_string(counter++));
    fs::create_directories(dir);
    previous = fs::current_path();
    fs::current_path(dir);
  }

  void TearDown() override {
    fs::current_path(previous);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static fs::perms Mode(const std::string& path) {
    return fs::status(path).permissions() & fs::perms::mask;
  }

  // The console lines from byte `from` on, date and time masked.
  std::string Console(std::size_t from = 0) const {
    std::string text;
    std::istringstream in(console.Text().substr(from));
    std::string line;
    while (std::getline(in, line)) text += MaskStamp(line) + "\n";
    return text;
  }

  // producer -> TAILWRITER -> collector; `collect` replaces the collector.
  Outcome RunStage(const std::string& operands, std::vector<std::string> records,
                   RunFn collect = {}) {
    TestRun run;
    Outcome outcome;
    const std::size_t from = console.Text().size();
    StageRef producer = run.Add(0, "PRODUCER", Producer(std::move(records)));
    StageRef stage = run.AddEntry(0, "TAILWRITER", entry, operands);
    StageRef collector = run.Add(0, "COLLECTOR", collect ? collect : Collector(&outcome.output));
    run.Connect(producer, stage);
    run.Connect(stage, collector);
    RunResult result = run.Run();
    outcome.rc = result.Code(stage.pipe, stage.stage);
    outcome.highest = result.highestReturnCode;
    outcome.console = Console(from);
    return outcome;
  }

  // Data on the primary input, names on the secondary one.
  Outcome RunNameStream(std::vector<std::string> names, std::vector<std::string> records,
                        const std::string& operands = {}) {
    TestRun run;
    Outcome outcome;
    const std::size_t from = console.Text().size();
    StageRef data = run.Add(0, "DATA", Producer(std::move(records)));
    StageRef stage = run.AddEntry(0, "TAILWRITER", entry, operands);
    StageRef collector = run.Add(0, "COLLECTOR", Collector(&outcome.output));
    StageRef nameSource = run.Add(1, "NAMES", Producer(std::move(names)));
    run.Connect(data, stage);
    run.Connect(stage, collector);
    run.Connect(nameSource, stage);
    RunResult result = run.Run();
    outcome.rc = result.Code(stage.pipe, stage.stage);
    outcome.highest = result.highestReturnCode;
    outcome.console = Console(from);
    return outcome;
  }

  // Waits (bounded) until `ready` holds; a hang would only stall the run.
  static bool WaitFor(const std::function<bool()>& ready) {
    for (int i = 0; i < 20000; ++i) {
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  StageEntry entry = nullptr;
  fs::path dir;
  fs::path previous;
  ConsoleCapture console;
};

// The header of a message issued by the tailwriter stage at stage 1 of pipe 0.
inline std::string StageMessage(const std::string& body) {
  return "<stamp>PIPE: Pipe(0),Stage(1),Type(TAILWRITER): " + body + "\n";
}

inline const std::string kIndent(20, ' ');

}  // namespace ductrine::test

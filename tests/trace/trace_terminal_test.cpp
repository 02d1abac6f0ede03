// The trace console on the real console input: a traced run in a child
// process that has no terminal at all, and one whose controlling terminal
// is a pseudo-terminal that this test types into.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/trace/trace_fixture.h"

namespace ductrine::test {
namespace {

int WaitForExit(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(TraceWithoutTerminal, EveryRequestIsDumpedAndTheRunCompletes) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A session of its own has no controlling terminal: /dev/tty cannot be
    // opened, so each prompt reads end of input.
    setsid();
    int exitCode = 0;
    {
      ConsoleCapture capture;
      TraceSegment segment;
      TracedPipe pipe({"one", "two", "three"}, segment);
      pipe.Run();
      std::string expected = kPromptSeen + WriteDump(1, 1, "one") + kPromptSeen +
                             WriteDump(2, 2, "two") + kPromptSeen + WriteDump(3, 3, "three");
      if (capture.Text() != expected) {
        std::fprintf(stderr, "console text:\n%s\nexpected:\n%s\n", capture.Text().c_str(),
                     expected.c_str());
        exitCode = 1;
      }
      if (pipe.collected.size() != 3 || segment.Counts() != "0;3;") exitCode |= 2;
    }
    _exit(exitCode);
  }
  EXPECT_EQ(WaitForExit(child), 0);
}

// Reads what the child writes to its terminal until `needle` has appeared
// `count` times in all, or the time runs out.
bool ReadUntil(int master, std::string& seen, const std::string& needle, int count) {
  auto occurrences = [&] {
    int n = 0;
    for (std::size_t at = seen.find(needle); at != std::string::npos;
         at = seen.find(needle, at + 1))
      ++n;
    return n;
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (occurrences() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return occurrences() >= count;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

void DrainUntilClosed(int master, std::string& seen) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return;  // the child's side has closed
    seen.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string WithoutCarriageReturns(const std::string& text) {
  std::string plain;
  for (char c : text)
    if (c != '\r') plain += c;
  return plain;
}

TEST(TraceOnATerminal, TheUserStepsRunsAndEndsThroughTheTerminal) {
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Prompt and input on /dev/tty, dumps on the console device (standard
    // error): here all of them are the pseudo-terminal.
    int exitCode = 0;
    {
      TraceSegment segment;
      TracedPipe pipe({"alpha", "beta", "gamma", "delta"}, segment);
      pipe.Run();
      exitCode = static_cast<int>(pipe.collected.size()) + (pipe.run.set.stopping ? 100 : 0);
    }
    _exit(exitCode);
  }

  std::string seen;
  bool ok = ReadUntil(master, seen, "trace ?: ", 1);
  if (ok) ok = write(master, "Run 2\n", 6) == 6 && ReadUntil(master, seen, "trace ?: ", 2);
  if (ok) ok = write(master, "bogus\n", 6) == 6 && ReadUntil(master, seen, "trace ?: ", 3);
  if (ok) ok = write(master, "End\n", 4) == 4;
  if (ok) DrainUntilClosed(master, seen);
  if (!ok) kill(child, SIGKILL);
  int exitCode = WaitForExit(child);
  close(master);
  ASSERT_TRUE(ok) << WithoutCarriageReturns(seen);

  // The terminal echoes what was typed after each prompt.
  std::string expected = "trace ?: Run 2\n\n" + WriteDump(1, 1, "alpha") + WriteDump(2, 2, "beta") +
                         "trace ?: bogus\n\n";
  std::string text = MaskStamps(WithoutCarriageReturns(seen));
  EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
  EXPECT_EQ(text.substr(expected.size()), Refusal("bogus", "") + "trace ?: End\n\n") << text;
  EXPECT_EQ(exitCode, 100 + 2) << "two records delivered, then the run stopped";
}

}  // namespace
}  // namespace ductrine::test

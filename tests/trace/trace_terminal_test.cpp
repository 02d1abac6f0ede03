// The trace console on the real console input: a traced run in a child
// process with no terminal at all, and one whose controlling terminal is a
// pseudo-terminal that this test types into. On Windows a process without a
// console stands for the first; the second is a run of pipe.exe under a
// pseudo-terminal in the end-to-end script.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <string>

#include "tests/trace/trace_fixture.h"

namespace ductrine::test {
namespace {

#if defined(_WIN32)

TEST(TraceWithoutConsole, EachPromptReadsAsEnterAndTheRunCompletes) {
  if (platform::ConsoleIdentity() != 0) GTEST_SKIP() << "this process has a console";
  ConsoleCapture capture;
  TraceSegment segment;
  TracedPipe pipe({"one", "two"}, segment);
  pipe.Run();
  EXPECT_EQ(capture.Text(), kPromptSeen + WriteDump(1, 1, "one") + kPromptSeen + WriteDump(2, 2, "two"));
  EXPECT_EQ(pipe.collected.size(), 2u);
  EXPECT_EQ(segment.Text(), "0;2;");
}

#else

int WaitForExit(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TraceWithoutTerminal, EachPromptReadsAsEnterAndTheRunCompletes) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();  // a session of its own: /dev/tty cannot be opened
    auto run = [] {
      ConsoleCapture capture;
      TraceSegment segment;
      TracedPipe pipe({"one", "two"}, segment);
      pipe.Run();
      std::string text = capture.Text();
      bool ok = text == kPromptSeen + WriteDump(1, 1, "one") + kPromptSeen + WriteDump(2, 2, "two");
      if (!ok) std::fprintf(stderr, "console text:\n%s", text.c_str());
      return ok && pipe.collected.size() == 2 && segment.Text() == "0;2;";
    };
    _exit(run() ? 0 : 1);
  }
  EXPECT_EQ(WaitForExit(child), 0);
}

// Reads what the child writes to its terminal until `needle` has appeared
// `count` times in all, the child's side closes, or 20 seconds pass.
bool ReadUntil(int master, std::string& seen, const std::string& needle, int count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    int n = 0;
    for (std::size_t at = 0; (at = seen.find(needle, at)) != std::string::npos; at += needle.size())
      ++n;
    if (n >= count) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(got));
  }
}

TEST(TraceOnATerminal, TheUserStepsRunsAndEndsThroughTheTerminal) {
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Prompt and input on /dev/tty, dumps on the console device (standard
    // error): here all of them are the pseudo-terminal.
    auto run = [] {
      TraceSegment segment;
      TracedPipe pipe({"alpha", "beta", "gamma", "delta"}, segment);
      pipe.Run();
      return static_cast<int>(pipe.collected.size()) + (pipe.run.set.stopping ? 100 : 0);
    };
    _exit(run());
  }

  std::string seen;
  bool ok = ReadUntil(master, seen, "trace ?: ", 1);
  if (ok) ok = write(master, "Run 2\n", 6) == 6 && ReadUntil(master, seen, "trace ?: ", 2);
  if (ok) ok = write(master, "bogus\n", 6) == 6 && ReadUntil(master, seen, "trace ?: ", 3);
  if (ok) ok = write(master, "End\n", 4) == 4;
  if (ok) ReadUntil(master, seen, "\x01", 1);  // to the end
  if (!ok) kill(child, SIGKILL);
  int exitCode = WaitForExit(child);
  close(master);
  std::erase(seen, '\r');
  ASSERT_TRUE(ok) << seen;

  // The terminal echoes what was typed after each prompt.
  std::string expected = "trace ?: Run 2\n\n" + WriteDump(1, 1, "alpha") + WriteDump(2, 2, "beta") +
                         "trace ?: bogus\n\n";
  std::string text = MaskStamps(seen);
  EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
  EXPECT_EQ(text.substr(expected.size()), Refusal("bogus", "") + "trace ?: End\n\n") << text;
  EXPECT_EQ(exitCode, 100 + 2) << "two records delivered, then the run stopped";
}

#endif

}  // namespace
}  // namespace ductrine::test

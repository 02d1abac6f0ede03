#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/harness/flavour.h"

namespace ductrine::platform {
namespace {

using namespace test;

// The process outlives the signal until the run has been stopped, on a thread
// other than the one that runs it, and then ends as the signal ends it. Asked
// twice, it ends at once, even while the stop still works, and leaves no
// TRACE segment behind, nor a read-only file that it had made writable.
TEST(TerminatingSignal, StopsTheRunThenEndsTheProcessAsTheSignalWould) {
  if (!kCanSendTerminatingSignal) GTEST_SKIP();
  for (bool twice : {false, true}) {
    const std::string name = "DuctrineSignalTest-" + std::to_string(ProcessId());
    const std::string readOnly =
        (std::filesystem::temp_directory_path() / (name + "-read-only.txt")).string();
    std::ofstream(readOnly) << "old";
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read);
    EXPECT_EXIT(
        {
          if (SharedSegment::CreateExclusive(name, 256, "0;0;") == nullptr) std::_Exit(0);
          if (twice) RemoveSegmentOnInterrupt(name);
          AppendFile file;
          if (OpenForAppend(readOnly.c_str(), &file) != AppendOpen::kOpened || !file.madeWritable)
            std::_Exit(0);
          std::atomic<bool> stopped{false};
          std::atomic<bool> elsewhere{false};
          const std::thread::id runner = std::this_thread::get_id();
          OnTerminatingSignal([&] {
            elsewhere = std::this_thread::get_id() != runner;
            stopped = true;
            while (twice) std::this_thread::sleep_for(std::chrono::hours(1));
          });
          if (!SendTerminatingSignal()) std::_Exit(0);
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (!stopped && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
          if (!stopped) std::_Exit(1);  // fails the death test instead of hanging it
          std::fprintf(stderr, elsewhere ? "stopped elsewhere\n" : "stopped here\n");
          if (twice) SendTerminatingSignal();
          while (twice) std::this_thread::sleep_for(std::chrono::hours(1));
          CloseAppendFile(readOnly.c_str(), &file);
          EndIfTerminatingSignal();
          std::_Exit(0);
        },
        EndedByTerminatingSignal, "stopped elsewhere")
        << twice;
    EXPECT_EQ(std::filesystem::status(readOnly).permissions() & std::filesystem::perms::owner_write,
              std::filesystem::perms::none)
        << twice;
    RemoveAll(readOnly);
    Handle left = SharedSegment::OpenExisting(name);
    EXPECT_EQ(left != nullptr, !twice);
    CloseObject(left);
    SharedSegment::Remove(name);
  }
}

}  // namespace
}  // namespace ductrine::platform

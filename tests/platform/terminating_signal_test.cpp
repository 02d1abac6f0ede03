#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/harness/flavour.h"

namespace ductrine::platform {
namespace {

using test::EndedByTerminatingSignal;
using test::kCanSendTerminatingSignal;
using test::SendTerminatingSignal;

// The process outlives the signal until the run has been stopped, on a thread
// other than the one that runs it, and then ends as the signal ends it.
TEST(TerminatingSignal, StopsTheRunThenEndsTheProcessByTheSignal) {
  if (!kCanSendTerminatingSignal) GTEST_SKIP();
  EXPECT_EXIT(
      {
        std::atomic<bool> stopped{false};
        std::atomic<bool> elsewhere{false};
        const std::thread::id runner = std::this_thread::get_id();
        OnTerminatingSignal([&] {
          elsewhere = std::this_thread::get_id() != runner;
          stopped = true;
        });
        if (!SendTerminatingSignal()) std::_Exit(0);
        while (!stopped) std::this_thread::yield();
        std::fprintf(stderr, elsewhere ? "stopped elsewhere\n" : "stopped here\n");
        EndIfTerminatingSignal();
        std::_Exit(0);
      },
      EndedByTerminatingSignal, "stopped elsewhere");
}

// Asked twice, the process ends at once, even while the stop still works,
// and leaves no TRACE segment behind.
TEST(TerminatingSignal, ASecondOneEndsTheProcessAtOnceWithoutTheSegment) {
  if (!kCanSendTerminatingSignal) GTEST_SKIP();
  const std::string name = "DuctrineSignalTest-" + std::to_string(ProcessId());
  EXPECT_EXIT(
      {
        Handle segment = SharedSegment::CreateExclusive(name, 256, "0;0;");
        if (segment == nullptr) std::_Exit(0);
        RemoveSegmentOnInterrupt(name);
        std::atomic<bool> stopping{false};
        OnTerminatingSignal([&] {
          stopping = true;
          for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        });
        if (!SendTerminatingSignal()) std::_Exit(0);
        while (!stopping) std::this_thread::yield();
        SendTerminatingSignal();
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
      },
      EndedByTerminatingSignal, "");
  Handle left = SharedSegment::OpenExisting(name);
  EXPECT_EQ(left, nullptr);
  CloseObject(left);
  SharedSegment::Remove(name);
}

}  // namespace
}  // namespace ductrine::platform

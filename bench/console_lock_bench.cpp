// The console lock, uncontended: in the process alone (a forced identity),
// and shared with the other processes on the console (a file lock besides),
// held by handle, and opened and closed by name around each line as a
// message line does.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {

using namespace ductrine::platform;

std::string LockName() {
  char name[48];
  std::snprintf(name, sizeof name, "CApplMessage-%.8ld", ConsoleIdentity());
  return name;
}

void Join(bool shared) {
  static char folder[] = "/tmp/ductrine-bench-XXXXXX";
  static bool made = mkdtemp(folder) != nullptr;
  if (made) setenv("XDG_RUNTIME_DIR", folder, 1);
  SetConsoleIdentityForTesting(60000000 + ProcessId() % 999999);
  ShareConsoleObjectsForTesting(shared);
}

void BM_LockHeldHandle(benchmark::State& state) {
  Join(state.range(0) != 0);
  Handle lock = NamedMutex::OpenOrCreate(LockName());
  for (auto _ : state) {
    NamedMutex::Acquire(lock);
    NamedMutex::Release(lock);
  }
  CloseObject(lock);
}

void BM_LockPerLine(benchmark::State& state) {
  Join(state.range(0) != 0);
  const std::string name = LockName();
  for (auto _ : state) {
    Handle lock = NamedMutex::OpenOrCreate(name);
    NamedMutex::Acquire(lock);
    NamedMutex::Release(lock);
    CloseObject(lock);
  }
}

BENCHMARK(BM_LockHeldHandle)->ArgName("shared")->Arg(0)->Arg(1)->Repetitions(5);
BENCHMARK(BM_LockPerLine)->ArgName("shared")->Arg(0)->Arg(1)->Repetitions(5);

}  // namespace

BENCHMARK_MAIN();

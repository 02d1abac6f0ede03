// Records per second through the unbuffered handshake: a producer-consumer
// pair of one pipeline set, and a 6-stage chain, with every stage a fiber of
// one dispatcher thread and with a thread per stage. 64-byte records. Beside
// them, this machine's floor in the same run: two threads handing a counter
// back and forth through one atomic each, and one yield of the core (a
// system call, the price of every wait that cannot spin).

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

void RunChain(benchmark::State& state, int stages, bool threadPerStage) {
  const auto records = static_cast<std::size_t>(state.range(0));
  const std::string record(64, 'x');
  for (auto _ : state) {
    TestRun run;
    run.threadPerStage = threadPerStage;
    std::size_t seen = 0;
    StageRef previous = run.Add(0, "P", [&](CProcess& self, CPipeSet& set) {
      for (std::size_t i = 0; i < records; ++i) set.WriteRecord(self, 0, record);
      return 0;
    });
    for (int i = 2; i < stages; ++i) {
      StageRef middle = run.Add(0, "M", [](CProcess& self, CPipeSet& set) {  // passes records on
        const std::string* record = nullptr;
        bool more = set.PeekRecordInPlace(self, 0, record);
        while (more && set.WriteRecord(self, 0, *record))
          more = set.ConsumeAndPeekInPlace(self, 0, record);
        return 0;
      });
      run.Connect(previous, middle);
      previous = middle;
    }
    StageRef last = run.Add(0, "C", [&](CProcess& self, CPipeSet& set) {
      std::string r;
      while (set.PeekRecord(self, 0, r)) {
        ++seen;
        set.ConsumeRecord(self, 0);
      }
      return 0;
    });
    run.Connect(previous, last);
    run.Run();
    if (seen != records) state.SkipWithError("records lost");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
  state.counters["ns_per_record"] = benchmark::Counter(
      static_cast<double>(state.iterations() * records) * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Pair(benchmark::State& state) { RunChain(state, 2, false); }
void BM_Chain6(benchmark::State& state) { RunChain(state, 6, false); }
void BM_PairThreads(benchmark::State& state) { RunChain(state, 2, true); }
void BM_Chain6Threads(benchmark::State& state) { RunChain(state, 6, true); }

void BM_AtomicPingPong(benchmark::State& state) {
  const auto rounds = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    std::atomic<std::uint32_t> ping{0}, pong{0};
    std::thread partner([&] {
      for (std::uint32_t i = 1; i <= rounds; ++i) {
        while (ping.load(std::memory_order_acquire) != i) {
        }
        pong.store(i, std::memory_order_release);
      }
    });
    for (std::uint32_t i = 1; i <= rounds; ++i) {
      ping.store(i, std::memory_order_release);
      while (pong.load(std::memory_order_acquire) != i) {
      }
    }
    partner.join();
  }
  state.counters["ns_per_round_trip"] = benchmark::Counter(
      static_cast<double>(state.iterations() * rounds) * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Yield(benchmark::State& state) {
  for (auto _ : state) std::this_thread::yield();
}

BENCHMARK(BM_AtomicPingPong)->Arg(200000)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_Yield)->Repetitions(5);
BENCHMARK(BM_Pair)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_Chain6)->Arg(200000)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_PairThreads)->Arg(200000)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_Chain6Threads)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

}  // namespace
}  // namespace ductrine::test

BENCHMARK_MAIN();

// The parts of the seam that need nothing of the system: the test hooks,
// the module state and the processor count. Built into ductrine-platform on
// both flavours, so there is one of each per process.

#include "platform/shared_state.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace ductrine::platform {
namespace {

std::mutex g_hooksLock;  // guards the console sink and input
ConsoleSink g_sink;
ConsoleInput g_input;
std::atomic<long> g_identityOverride{-1};
std::atomic<bool> g_shareForced{false};
std::atomic<std::int64_t> g_fixedClock{-1};
std::atomic<long> g_fileLimit{0};
thread_local const void* t_module = nullptr;

}  // namespace

long ForcedConsoleIdentity() { return g_identityOverride.load(std::memory_order_relaxed); }

void SetConsoleIdentityForTesting(long identity) {
  g_identityOverride.store(identity, std::memory_order_relaxed);
}

bool ForcedIdentityShared() { return g_shareForced.load(std::memory_order_relaxed); }

void ShareConsoleObjectsForTesting(bool shared) {
  g_shareForced.store(shared, std::memory_order_relaxed);
}

bool WriteToConsoleSink(std::string_view bytes) {
  ConsoleSink sink;
  {
    std::lock_guard<std::mutex> hold(g_hooksLock);
    sink = g_sink;
  }
  if (!sink) return false;
  sink(bytes);
  return true;
}

void SetConsoleSink(ConsoleSink sink) {
  std::lock_guard<std::mutex> hold(g_hooksLock);
  g_sink = std::move(sink);
}

ConsoleInput TestConsoleInput() {
  std::lock_guard<std::mutex> hold(g_hooksLock);
  return g_input;
}

void SetConsoleInputForTesting(ConsoleInput input) {
  std::lock_guard<std::mutex> hold(g_hooksLock);
  g_input = std::move(input);
}

bool ConsoleRedirected() {
  std::lock_guard<std::mutex> hold(g_hooksLock);
  return g_input || g_sink;
}

std::int64_t FixedClock() { return g_fixedClock.load(std::memory_order_relaxed); }

void SetClockForTesting(std::int64_t seconds) {
  g_fixedClock.store(seconds, std::memory_order_relaxed);
}

long ForcedOpenFileLimit() { return g_fileLimit.load(std::memory_order_relaxed); }

void SetOpenFileLimitForTesting(long limit) {
  g_fileLimit.store(limit > 0 ? limit : 0, std::memory_order_relaxed);
}

namespace {
std::mutex g_reopenLock;
std::function<void()> g_reopenHook;
}  // namespace

void SetReopenHookForTesting(std::function<void()> hook) {
  std::lock_guard<std::mutex> hold(g_reopenLock);
  g_reopenHook = std::move(hook);
}

void RunReopenHook() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> hold(g_reopenLock);
    hook = g_reopenHook;
  }
  if (hook) hook();
}

ModuleStateGuard::ModuleStateGuard(const void* module) : previous_(t_module) {
  t_module = module;
}

ModuleStateGuard::~ModuleStateGuard() { t_module = previous_; }

const void* ModuleStateGuard::Current() { return t_module; }

void SetCurrentModule(const void* module) { t_module = module; }

unsigned ProcessorCount() {
  static const unsigned count = [] {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1u : n;
  }();
  return count;
}

}  // namespace ductrine::platform

// Errors, clock, module state and process facts.

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace ductrine::platform {
namespace {

std::atomic<std::int64_t> g_fixedClock{-1};
thread_local const void* t_module = nullptr;

}  // namespace

int LastErrorCode() { return errno; }

void SetLastErrorCode(int code) { errno = code; }

std::string ReasonText(int code) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
  return text;
}

std::int64_t ClockSeconds() {
  std::int64_t fixed = g_fixedClock.load(std::memory_order_relaxed);
  if (fixed >= 0) return fixed;
  return static_cast<std::int64_t>(std::time(nullptr));
}

void SetClockForTesting(std::int64_t seconds) {
  g_fixedClock.store(seconds, std::memory_order_relaxed);
}

bool ToLocalTime(std::int64_t seconds, std::tm* out) {
  std::time_t value = static_cast<std::time_t>(seconds);
  return localtime_r(&value, out) != nullptr;
}

ModuleStateGuard::ModuleStateGuard(const void* module) : previous_(t_module) {
  t_module = module;
}

ModuleStateGuard::~ModuleStateGuard() { t_module = previous_; }

const void* ModuleStateGuard::Current() { return t_module; }

unsigned ProcessId() { return static_cast<unsigned>(getpid()); }

unsigned ProcessorCount() {
  static const unsigned count = [] {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1u : n;
  }();
  return count;
}

}  // namespace ductrine::platform

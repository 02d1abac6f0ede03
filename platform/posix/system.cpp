// Errors, the clock and process facts.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/shared_state.h"

namespace ductrine::platform {

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
  std::int64_t fixed = FixedClock();
  if (fixed >= 0) return fixed;
  return static_cast<std::int64_t>(std::time(nullptr));
}

bool ToLocalTime(std::int64_t seconds, std::tm* out) {
  std::time_t value = static_cast<std::time_t>(seconds);
  return localtime_r(&value, out) != nullptr;
}

unsigned ProcessId() { return static_cast<unsigned>(getpid()); }

}  // namespace ductrine::platform

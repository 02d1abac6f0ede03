// Errors, the clock and process facts.

#include <ctime>

#include "platform/shared_state.h"
#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

// FormatMessageA: allocate the buffer, text from the system, no inserts.
constexpr DWORD kMessageFlags = 0x1300;
// The neutral language with the default sublanguage.
constexpr DWORD kNeutralLanguage = 0x400;

}  // namespace

int LastErrorCode() { return static_cast<int>(GetLastError()); }

void SetLastErrorCode(int code) { SetLastError(static_cast<DWORD>(code)); }

std::string ReasonText(int code) {
  char* buffer = nullptr;
  DWORD size = FormatMessageA(kMessageFlags, nullptr, static_cast<DWORD>(code), kNeutralLanguage,
                              reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text;
  if (size != 0 && buffer != nullptr) text.assign(buffer, size);
  if (buffer != nullptr) LocalFree(buffer);
  // System texts end in a carriage return and a line feed; cut exactly that,
  // and never more than the text has.
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  if (text.empty()) return "Unknown error " + std::to_string(code);
  return text;
}

std::int64_t ClockSeconds() {
  std::int64_t fixed = FixedClock();
  if (fixed >= 0) return fixed;
  return static_cast<std::int64_t>(_time64(nullptr));
}

bool ToLocalTime(std::int64_t seconds, std::tm* out) {
  __time64_t value = static_cast<__time64_t>(seconds);
  return _localtime64_s(out, &value) == 0;
}

unsigned ProcessId() { return static_cast<unsigned>(GetCurrentProcessId()); }

}  // namespace ductrine::platform

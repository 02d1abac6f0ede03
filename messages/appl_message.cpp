#include "messages/appl_message.h"

#include <cstdio>
#include <ctime>

#include "messages/format.h"
#include "platform/platform.h"

namespace ductrine {

CApplMessage::CApplMessage(const char* text) {
  SetDefaults();
  ResetCounters();
  SetHeader(text);
}

CApplMessage::CApplMessage(bool date, bool time, const char* text) : CApplMessage(text) {
  SetDate(date);
  SetTime(time);
}

void CApplMessage::SetNumbering(bool on) {
  numbered = on;
  if (on) lineNumber = 1;
}

void CApplMessage::ResetCounters() {
  linesFormatted = 0;
  fileWrites = 0;
  consoleWrites = 0;
}

void CApplMessage::SetDefaults() {
  showDate = 0;
  showTime = 0;
  caseMode = CaseAsIs;
  numbered = 0;
  toConsole = 1;
  toStandardOutput = 0;
  showHeader = 1;
  header.clear();
  toFile = 0;
}

void CApplMessage::Write(std::string_view format, const MessageArgs& values) {
  WriteText(FormatText(format, values));
}

void CApplMessage::WriteText(std::string_view body) {
  ++linesFormatted;
  std::string prefix;
  if (numbered) {
    char number[24];
    std::snprintf(number, sizeof number, "%.10u ", lineNumber++);
    prefix += number;
  }
  if (showDate) prefix += FormatLocalTime(platform::ClockSeconds(), "%d/%m/%Y ");
  if (showTime) prefix += FormatLocalTime(platform::ClockSeconds(), "%H:%M:%S ");
  line = prefix;
  if (showHeader && !header.empty()) line += header + ": ";
  std::string text(body);
  if (caseMode == CaseUpper) {
    for (char& c : text)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  } else if (caseMode == CaseLower) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  line += text;
  if (!toStandardOutput) line += '\n';
  Output(line);
}

namespace {

// Releases the console lock on every way out, a throwing console sink included.
class ConsoleLock {
 public:
  ConsoleLock() : mutex_(platform::NamedMutex::OpenOrCreate(ConsoleMutexName())) {
    held_ = platform::NamedMutex::Acquire(mutex_);
  }
  ~ConsoleLock() {
    if (held_) platform::NamedMutex::Release(mutex_);
    platform::CloseObject(mutex_);
  }
  ConsoleLock(const ConsoleLock&) = delete;
  ConsoleLock& operator=(const ConsoleLock&) = delete;

 private:
  platform::Handle mutex_;
  bool held_ = false;
};

}  // namespace

void CApplMessage::Output(const std::string& text) {
  ConsoleLock lock;
  if (toConsole) {
    if (toStandardOutput) {
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    } else {
      platform::ConsoleWrite(text);
    }
    ++consoleWrites;
  }
}

std::string FormatLocalTime(std::int64_t seconds, const char* pattern) {
  if (pattern == nullptr) return "";
  std::tm local{};
  if (!platform::ToLocalTime(seconds, &local)) return "";
  char buffer[128];
  std::size_t size = std::strftime(buffer, sizeof buffer, pattern, &local);
  return std::string(buffer, size);
}

std::string ConsoleMutexName() {
  char name[48];
  std::snprintf(name, sizeof name, "CApplMessage-%.8ld", platform::ConsoleIdentity());
  return name;
}

}  // namespace ductrine

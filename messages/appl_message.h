// CApplMessage: the one way a line reaches the user. Builds a line (line
// number, date and time stamps, header, body in a chosen case) and writes it
// to the console device under the console mutex "CApplMessage-%.8d", so that
// lines of concurrent stages never interleave. One object per line or short
// dialogue, used by one thread.
//
// Lines go to the console only. This system keeps no log file, so `toFile`
// is refused: SetFile(true) leaves it off and returns false, Output never
// looks at it (set by hand, it writes nothing), and `fileWrites` stays 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "messages/message_arg.h"

namespace ductrine {

enum CaseMode : std::uint32_t { CaseUpper = 0, CaseLower = 1, CaseAsIs = 2 };

class CApplMessage {
 public:
  explicit CApplMessage(const char* header = nullptr);
  CApplMessage(bool date, bool time, const char* header);
  CApplMessage(const CApplMessage&) = delete;
  CApplMessage& operator=(const CApplMessage&) = delete;

  void SetDate(bool on) { showDate = on; }
  void SetTime(bool on) { showTime = on; }
  void SetCase(std::uint32_t mode) { caseMode = mode; }
  void SetNumbering(bool on);
  void SetConsole(bool on) { toConsole = on; }
  void SetStandardOutput(bool on) { toStandardOutput = on; }
  void SetShowHeader(bool on) { showHeader = on; }
  void SetHeader(const char* text) { header = text ? text : ""; }
  // Off is the only state: false when asked to switch a log file on.
  bool SetFile(bool on) {
    toFile = 0;
    return !on;
  }
  void ResetCounters();
  void SetDefaults();

  // Builds one line from a printf-style format and its values, and outputs it.
  void Write(std::string_view format, const MessageArgs& values = {});
  // The same for a finished body, taken as data (no conversions).
  void WriteText(std::string_view body);

  std::uint8_t showDate = 0;
  std::uint8_t showTime = 0;
  std::uint32_t caseMode = CaseAsIs;
  std::uint8_t numbered = 0;
  std::uint32_t lineNumber = 0;
  std::uint8_t toConsole = 1;
  std::uint8_t toStandardOutput = 0;
  std::uint8_t showHeader = 1;
  std::string header;
  std::uint8_t toFile = 0;
  std::uint32_t linesFormatted = 0;
  std::uint32_t fileWrites = 0;
  std::uint32_t consoleWrites = 0;
  std::string line;

 private:
  void Output(const std::string& text);
};

// Local time of `seconds` by a strftime pattern; empty when there is no
// pattern, the time cannot be converted or the result exceeds 127 bytes.
std::string FormatLocalTime(std::int64_t seconds, const char* pattern);

// The console mutex name for this process's console, "CApplMessage-%.8d".
std::string ConsoleMutexName();

}  // namespace ductrine

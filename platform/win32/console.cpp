// The console: identity from the console window, the console device "CON"
// (one WriteFile per line), and line input through the runtime's console
// line reads. A process without a console (a service, or wine without a
// terminal) writes its console lines to standard error instead of losing them.

#include <conio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/off_dispatcher.h"
#include "platform/shared_state.h"
#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

// The runtime's console line input reads at most this many characters a time.
constexpr int kPieceSize = 127;
constexpr std::size_t kLongestLine = 65536;

bool HasConsoleInput() {
  HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return false;
  CloseHandle(input);
  return true;
}

}  // namespace

long ConsoleIdentity() {
  long forced = ForcedConsoleIdentity();
  if (forced >= 0) return forced;
  static const long identity =
      static_cast<long>(reinterpret_cast<std::intptr_t>(GetConsoleWindow()));
  return identity;
}

bool ConsoleWrite(std::string_view bytes) {
  if (WriteToConsoleSink(bytes)) return true;
  HANDLE console = CreateFileA("CON", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (console != INVALID_HANDLE_VALUE) {
    bool written = WriteAll(console, bytes);
    CloseHandle(console);
    return written;
  }
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  return error != nullptr && error != INVALID_HANDLE_VALUE && WriteAll(error, bytes);
}

void ConsolePrompt(std::string_view text) {
  if (!ConsoleRedirected()) {
    std::string prompt(text);
    if (_cputs(prompt.c_str()) == 0) return;
  }
  ConsoleWrite(text);
}

namespace {

bool ReadTypedLine(std::string* line) {
  ConsoleInput input = TestConsoleInput();
  if (input) return input(line);
  if (!HasConsoleInput()) return false;
  // A line longer than one read comes in pieces, joined without separators;
  // a piece that does not fill the buffer ends the line.
  for (;;) {
    char buffer[2 + kPieceSize + 1] = {};
    buffer[0] = static_cast<char>(kPieceSize);
    const char* piece = _cgets(buffer);
    if (piece == nullptr) return !line->empty();
    std::size_t got = static_cast<unsigned char>(buffer[1]);
    if (line->size() < kLongestLine) line->append(piece, got);
    if (got < static_cast<std::size_t>(kPieceSize)) return true;
  }
}

}  // namespace

bool ConsoleReadLine(std::string* line) { return ReadLineOffDispatcher(ReadTypedLine, line); }

}  // namespace ductrine::platform

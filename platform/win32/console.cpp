// The console: identity from the console window, the console device "CON"
// (one WriteFile per line), and line input through the runtime's console
// line reads. A process without a console (a service, or wine without a
// terminal) writes its console lines to standard error instead of losing them.

#include <conio.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

std::mutex g_consoleLock;  // guards the sinks
ConsoleSink g_sink;
ConsoleInput g_input;
std::atomic<long> g_identityOverride{-1};

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
  long forced = g_identityOverride.load(std::memory_order_relaxed);
  if (forced >= 0) return forced;
  static const long identity =
      static_cast<long>(reinterpret_cast<std::intptr_t>(GetConsoleWindow()));
  return identity;
}

void SetConsoleIdentityForTesting(long identity) {
  g_identityOverride.store(identity, std::memory_order_relaxed);
}

bool ConsoleWrite(std::string_view bytes) {
  ConsoleSink sink;
  {
    std::lock_guard<std::mutex> hold(g_consoleLock);
    sink = g_sink;
  }
  if (sink) {
    sink(bytes);
    return true;
  }
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

void SetConsoleSink(ConsoleSink sink) {
  std::lock_guard<std::mutex> hold(g_consoleLock);
  g_sink = std::move(sink);
}

void ConsolePrompt(std::string_view text) {
  {
    std::lock_guard<std::mutex> hold(g_consoleLock);
    if (!g_input && !g_sink) {
      std::string prompt(text);
      if (_cputs(prompt.c_str()) == 0) return;
    }
  }
  ConsoleWrite(text);
}

bool ConsoleReadLine(std::string* line) {
  ConsoleInput input;
  {
    std::lock_guard<std::mutex> hold(g_consoleLock);
    input = g_input;
  }
  line->clear();
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

void SetConsoleInputForTesting(ConsoleInput input) {
  std::lock_guard<std::mutex> hold(g_consoleLock);
  g_input = std::move(input);
}

}  // namespace ductrine::platform

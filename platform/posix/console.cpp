// The console: identity from the controlling terminal, the console device
// (standard error, one write per line), and line input from /dev/tty.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/object.h"

namespace ductrine::platform {
namespace {

std::mutex g_consoleLock;  // guards the sinks and the terminal handle
ConsoleSink g_sink;
ConsoleInput g_input;
std::atomic<long> g_identityOverride{-1};

long ReadTtyNumber() {
  std::FILE* stat = std::fopen("/proc/self/stat", "r");
  if (!stat) return 0;
  char buffer[1024];
  std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, stat);
  std::fclose(stat);
  buffer[got] = '\0';
  // The command name may hold blanks and parentheses; fields follow the last ')'.
  char* p = nullptr;
  for (char* q = buffer; *q; ++q)
    if (*q == ')') p = q;
  if (!p) return 0;
  char state = 0;
  int ppid = 0, pgrp = 0, session = 0;
  long tty = 0;
  if (std::sscanf(p + 1, " %c %d %d %d %ld", &state, &ppid, &pgrp, &session, &tty) != 5) return 0;
  return tty;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int Terminal() {
  static int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  return fd;
}

}  // namespace

long ConsoleIdentity() {
  long forced = g_identityOverride.load(std::memory_order_relaxed);
  if (forced >= 0) return forced;
  static const long identity = ReadTtyNumber();
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
  return WriteAll(2, bytes);
}

void SetConsoleSink(ConsoleSink sink) {
  std::lock_guard<std::mutex> hold(g_consoleLock);
  g_sink = std::move(sink);
}

void ConsolePrompt(std::string_view text) {
  {
    std::lock_guard<std::mutex> hold(g_consoleLock);
    if (!g_input && !g_sink && Terminal() >= 0) {
      WriteAll(Terminal(), text);
      return;
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
  int fd = Terminal();
  if (fd < 0) return false;
  // Not cancellable: the reader holds the console lock during the dialogue,
  // and an ended thread would never release it.
  char c = 0;
  bool any = false;
  for (;;) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') break;
    if (line->size() < 65536) line->push_back(c);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

void SetConsoleInputForTesting(ConsoleInput input) {
  std::lock_guard<std::mutex> hold(g_consoleLock);
  g_input = std::move(input);
}

}  // namespace ductrine::platform

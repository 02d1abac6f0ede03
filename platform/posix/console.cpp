// The console: identity from the controlling terminal, the console device
// (standard error, one write per line), and line input from /dev/tty.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/dispatch/off_dispatcher.h"
#include "platform/posix/object.h"
#include "platform/shared_state.h"

namespace ductrine::platform {
namespace {

long ReadTtyNumber() {
  std::FILE* stat = std::fopen("/proc/self/stat", "re");
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

// Readable once console input has ended.
int InputEnded() {
  static int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

}  // namespace

long ConsoleIdentity() {
  long forced = ForcedConsoleIdentity();
  if (forced >= 0) return forced;
  static const long identity = ReadTtyNumber();
  return identity;
}

bool ConsoleWrite(std::string_view bytes) {
  return WriteToConsoleSink(bytes) || WriteAll(2, bytes);
}

void ConsolePrompt(std::string_view text) {
  if (!ConsoleRedirected() && Terminal() >= 0) {
    WriteAll(Terminal(), text);
    return;
  }
  ConsoleWrite(text);
}

namespace {

bool ReadTypedLine(std::string* line) {
  ConsoleInput input = TestConsoleInput();
  if (input) return input(line);
  int fd = Terminal();
  if (fd < 0) return false;
  // Not cancellable: the reader holds the console lock during the dialogue,
  // and an ended thread would never release it.
  char c = 0;
  bool any = false;
  for (;;) {
    pollfd ready[2] = {{fd, POLLIN, 0}, {InputEnded(), POLLIN, 0}};
    if (::poll(ready, InputEnded() >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A half-typed line is not a command of the user's once the run stops.
    if (ready[1].revents != 0) return false;
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

}  // namespace

bool ConsoleReadLine(std::string* line) { return ReadLineOffDispatcher(ReadTypedLine, line); }

void EndConsoleInput() {
  std::uint64_t one = 1;
  if (InputEnded() >= 0) (void)!::write(InputEnded(), &one, sizeof one);
}

}  // namespace ductrine::platform

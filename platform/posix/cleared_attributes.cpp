#include "platform/posix/cleared_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace ductrine::platform {
namespace {

// More than the files one process has open at once under usual limits.
constexpr int kSlots = 4096;

enum : int { kFree, kFilling, kHeld, kTaken };

struct Slot {
  std::atomic<int> state{kFree};
  int fd = -1;
  bool followLink = true;
  mode_t mode = 0;
  char* path = nullptr;  // owned while held; read by the restorer
};

Slot g_slots[kSlots];

}  // namespace

int NoteAttributeCleared(int fd, const char* path, bool followLink, mode_t mode) {
  char* copy = nullptr;
  if (fd < 0) {
    if (path == nullptr) return -1;
    copy = strdup(path);
    if (copy == nullptr) return -1;
  }
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire))
      continue;
    Slot& slot = g_slots[i];
    slot.fd = fd;
    slot.followLink = followLink;
    slot.mode = mode;
    slot.path = copy;
    slot.state.store(kHeld, std::memory_order_release);
    return i;
  }
  std::free(copy);
  return -1;
}

void NoteAttributeRestored(int ticket) {
  if (ticket < 0 || ticket >= kSlots) return;
  Slot& slot = g_slots[ticket];
  int expected = kHeld;
  // Taken by the restorer: the process is ending, and the slot stays as it is.
  if (!slot.state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) return;
  std::free(slot.path);
  slot.path = nullptr;
  slot.fd = -1;
  slot.state.store(kFree, std::memory_order_release);
}

void RestoreClearedAttributes() {
  for (Slot& slot : g_slots) {
    int expected = kHeld;
    if (!slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire)) continue;
    if (slot.fd >= 0) {
      ::fchmod(slot.fd, slot.mode);
      continue;
    }
    // open, fstat, fchmod and close are async-signal-safe.
    int fd = ::open(slot.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (slot.followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) continue;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) ::fchmod(fd, slot.mode);
    ::close(fd);
  }
}

}  // namespace ductrine::platform

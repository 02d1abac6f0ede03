#include "platform/posix/cleared_attributes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace ductrine::platform {
namespace {

// More than the files one process has open at once under usual limits.
constexpr int kSlots = 4096;

enum : int { kFree, kFilling, kHeld, kTaken };

struct Slot {
  std::atomic<int> state{kFree};
  int fd = -1;
  mode_t mode = 0;
};

Slot g_slots[kSlots];

}  // namespace

int NoteAttributeCleared(int fd, mode_t mode) {
  if (fd < 0) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire))
      continue;
    Slot& slot = g_slots[i];
    slot.fd = fd;
    slot.mode = mode;
    slot.state.store(kHeld, std::memory_order_release);
    return i;
  }
  return -1;
}

void NoteAttributeRestored(int ticket) {
  if (ticket < 0 || ticket >= kSlots) return;
  Slot& slot = g_slots[ticket];
  int expected = kHeld;
  // Taken by the restorer: the process is ending, and the slot stays as it is.
  if (!slot.state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) return;
  slot.fd = -1;
  slot.state.store(kFree, std::memory_order_release);
}

void RestoreClearedAttributes() {
  for (Slot& slot : g_slots) {
    int expected = kHeld;
    if (!slot.state.compare_exchange_strong(expected, kTaken, std::memory_order_acquire)) continue;
    ::fchmod(slot.fd, slot.mode);  // async-signal-safe
  }
}

}  // namespace ductrine::platform

// The objects behind platform handles on Windows. Private to platform/win32.
//
// Named events, mutexes and segments are the kernel's own objects; a handle
// here wraps the kernel handle with its kind, so that CloseObject knows what
// it closes. A thread carries the state that its end needs.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace ductrine::platform {

enum class ObjectKind : std::uint32_t { kEvent, kMutex, kSegment, kThread, kFiber };

struct Object {
  Object(ObjectKind k, HANDLE h) : kind(k), handle(h) {}
  virtual ~Object() = default;
  ObjectKind kind;
  HANDLE handle;
};

// Where a stage thread stands towards an end of its life from outside.
enum ThreadRegion : int {
  kOutside = 0,     // running its own code: an end must wait for a region
  kInside = 1,      // blocked in a CancellableRegion: may be terminated
  kEnding = 2,      // being terminated; it must not leave the region
  kEndPending = 3,  // an end was asked for outside a region
  kReturned = 4,    // the body has returned: nothing may end it any more
};

struct ThreadObject : Object {
  ThreadObject() : Object(ObjectKind::kThread, nullptr) {}
  ThreadBody body;
  ThreadBody atEnd;
  DWORD id = 0;
  std::atomic<int> region{kOutside};
  std::atomic<bool> parked{false};  // left its region's call while being ended
  std::atomic<bool> terminated{false};
  // Set once `atEnd` has run, wherever it ran: a join waits for it too, since
  // after a termination it runs on the ending thread, past the handle's signal.
  std::atomic<bool> finished{false};
  bool joined = false;
};

void CloseThread(ThreadObject* thread);

// The CRT's view of a failed call made into the thread's last error code, for
// functions of the runtime library that fail without a system call.
void KeepRuntimeError();

// Writes all of `bytes` to a file, pipe or console handle; false with the
// error code set when any part cannot be written.
bool WriteAll(HANDLE handle, std::string_view bytes);

}  // namespace ductrine::platform

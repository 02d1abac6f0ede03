// Stage threads. A stop ends a console stage with TerminateThread, which
// unwinds nothing, so it is used only where nothing can be left half done:
// at a CancellableRegion (a console stage's read of standard input, a bare
// ReadFile without locks). The read is cancelled first and the thread ended
// where it then parks: a thread ended inside the read itself can leave the
// process's own I/O bookkeeping locked (wine's is), so that the next close of
// a handle hangs. The thread that ended it then runs what the stage's own
// thread would have run at its end.

#include <process.h>

#include "platform/dispatch/fiber.h"
#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

thread_local ThreadObject* t_self = nullptr;

// How often, a millisecond apart, an end tries to cancel the read it waits for.
constexpr int kCancelAttempts = 200;

// Called on the thread itself when an end waits for it at a region: it ends
// where it stands, as a termination would have ended it.
[[noreturn]] void EndHere(ThreadObject* self) {
  self->terminated.store(true, std::memory_order_release);
  if (self->atEnd) self->atEnd();
  self->finished.store(true, std::memory_order_release);
  ExitThread(0);
}

unsigned __stdcall Trampoline(void* argument) {
  auto* self = static_cast<ThreadObject*>(argument);
  t_self = self;
  try {
    self->body();
  } catch (...) {
    // An exception must never end the process and lose other stages' data.
  }
  // From here on no end from outside may touch the thread.
  int state = self->region.load(std::memory_order_acquire);
  while (!self->region.compare_exchange_weak(state, kReturned, std::memory_order_acq_rel)) {
  }
  try {
    if (self->atEnd) self->atEnd();
  } catch (...) {
  }
  self->finished.store(true, std::memory_order_release);
  return 0;
}

}  // namespace

Handle StartThread(ThreadBody body, ThreadBody atEnd) {
  auto* thread = new ThreadObject();
  thread->body = std::move(body);
  thread->atEnd = std::move(atEnd);
  unsigned id = 0;
  // Suspended until its id is stored, so that no one reads it half written.
  auto handle = _beginthreadex(nullptr, 0, Trampoline, thread, CREATE_SUSPENDED, &id);
  if (handle == 0) {
    delete thread;
    return nullptr;
  }
  thread->handle = reinterpret_cast<HANDLE>(handle);
  thread->id = id;
  ResumeThread(thread->handle);
  return thread;
}

void JoinThread(Handle handle) {
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return;
  auto* thread = static_cast<ThreadObject*>(handle);
  if (!thread->joined) {
    WaitForSingleObject(thread->handle, INFINITE);
    while (!thread->finished.load(std::memory_order_acquire)) Sleep(1);
    thread->joined = true;
  }
}

bool TerminateThreadAt(Handle handle) {
  if (handle != nullptr && handle->kind == ObjectKind::kFiber)
    return EndFiber(static_cast<FiberObject*>(handle), false);
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return false;
  auto* thread = static_cast<ThreadObject*>(handle);
  if (thread->id == GetCurrentThreadId()) return false;
  int state = thread->region.load(std::memory_order_acquire);
  for (;;) {
    if (state == kReturned || state == kEnding) return false;
    if (state == kEndPending) return true;
    int next = state == kInside ? kEnding : kEndPending;
    if (thread->region.compare_exchange_weak(state, next, std::memory_order_acq_rel)) break;
  }
  if (state == kOutside) return true;  // it ends at its next region, if it comes to one
  // Blocked in its region: it holds no lock and owns nothing half done. Out
  // of its read first, into the wait where it parks; a read that cannot be
  // cancelled is ended where it stands after a while.
  for (int i = 0; i < kCancelAttempts && !thread->parked.load(std::memory_order_acquire); ++i) {
    CancelSynchronousIo(thread->handle);
    Sleep(1);
  }
  if (!TerminateThread(thread->handle, 0)) return false;
  WaitForSingleObject(thread->handle, INFINITE);
  thread->terminated.store(true, std::memory_order_release);
  if (thread->atEnd) thread->atEnd();
  thread->finished.store(true, std::memory_order_release);
  return true;
}

bool IsCurrentThread(Handle handle) {
  if (handle != nullptr && handle->kind == ObjectKind::kFiber) return RunningFiber() == handle;
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return false;
  return static_cast<ThreadObject*>(handle)->id == GetCurrentThreadId();
}

bool ThreadWasTerminated(Handle handle) {
  if (handle != nullptr && handle->kind == ObjectKind::kFiber)
    return static_cast<FiberObject*>(handle)->terminated.load(std::memory_order_acquire);
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return false;
  return static_cast<ThreadObject*>(handle)->terminated.load(std::memory_order_acquire);
}

void CloseThread(ThreadObject* thread) {
  JoinThread(thread);
  CloseHandle(thread->handle);
  delete thread;
}

// On a fiber a region only marks where the fiber may be ended: the thread
// under it runs other fibers and must never be terminated.
CancellableRegion::CancellableRegion() : previous_(0) {
  if (EnterFiberRegion(&previous_)) return;
  ThreadObject* self = t_self;
  if (self == nullptr) return;  // not a stage thread: nothing ends it
  int state = kOutside;
  if (self->region.compare_exchange_strong(state, kInside, std::memory_order_acq_rel)) {
    previous_ = 1;
    return;
  }
  if (state == kEndPending) EndHere(self);
  // Already inside an enclosing region: it stays the one that counts.
}

CancellableRegion::~CancellableRegion() {
  if (LeaveFiberRegion(previous_)) return;
  ThreadObject* self = t_self;
  if (self == nullptr || previous_ == 0) return;
  int state = kInside;
  if (self->region.compare_exchange_strong(state, kOutside, std::memory_order_acq_rel)) return;
  // Being terminated: stay here until the end arrives.
  self->parked.store(true, std::memory_order_release);
  for (;;) Sleep(INFINITE);
}

}  // namespace ductrine::platform

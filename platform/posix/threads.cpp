// Stage threads. Asynchronous ends are disabled on every stage thread and
// enabled only inside a CancellableRegion (a console stage's blocking read),
// so an end never lands inside a lock or a noexcept frame.

#include <cxxabi.h>
#include <pthread.h>

#include "platform/dispatch/fiber.h"
#include "platform/posix/object.h"

namespace ductrine::platform {

std::atomic<int> g_stageThreads{0};
std::atomic<int> g_sleepingStageThreads{0};
thread_local bool t_isStageThread = false;

namespace {

// The unwind of an ended thread carries no C++ object: binding the reference
// that lets it pass is not undefined behaviour to report.
__attribute__((no_sanitize("undefined"))) void* Trampoline(void* argument) {
  auto* self = static_cast<ThreadObject*>(argument);
  struct Count {
    explicit Count(ThreadObject* thread) : self(thread) {
      t_isStageThread = true;
      g_stageThreads.fetch_add(1, std::memory_order_relaxed);
    }
    ~Count() {
      g_stageThreads.fetch_sub(1, std::memory_order_relaxed);
      std::lock_guard<std::mutex> hold(self->endLock);
      self->ended = true;
    }
    ThreadObject* self;
  } count(self);
  // On return and in the unwind of an end alike.
  struct AtEnd {
    ~AtEnd() {
      if (self->atEnd) self->atEnd();
    }
    ThreadObject* self;
  } atEnd{self};
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  try {
    self->body();
  } catch (abi::__forced_unwind&) {
    self->terminated.store(true, std::memory_order_release);
    throw;  // the unwind of an ended thread must reach the thread's end
  } catch (...) {
    // An exception must never end the process and lose other stages' data.
  }
  return nullptr;
}

}  // namespace

Handle StartThread(ThreadBody body, ThreadBody atEnd) {
  auto* thread = new ThreadObject();
  thread->body = std::move(body);
  thread->atEnd = std::move(atEnd);
  if (pthread_create(&thread->thread, nullptr, Trampoline, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

void JoinThread(Handle handle) {
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return;
  auto* thread = static_cast<ThreadObject*>(handle);
  if (!thread->joined) {
    pthread_join(thread->thread, nullptr);
    thread->joined = true;
  }
}

bool TerminateThreadAt(Handle handle) {
  if (handle != nullptr && handle->kind == ObjectKind::kFiber)
    return EndFiber(static_cast<FiberObject*>(handle), false);
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return false;
  auto* thread = static_cast<ThreadObject*>(handle);
  if (pthread_equal(thread->thread, pthread_self())) return false;
  std::lock_guard<std::mutex> hold(thread->endLock);
  if (thread->ended) return false;
  return pthread_cancel(thread->thread) == 0;
}

bool IsCurrentThread(Handle handle) {
  if (handle != nullptr && handle->kind == ObjectKind::kFiber) return RunningFiber() == handle;
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return false;
  return pthread_equal(static_cast<ThreadObject*>(handle)->thread, pthread_self()) != 0;
}

bool ThreadWasTerminated(Handle handle) {
  if (handle != nullptr && handle->kind == ObjectKind::kFiber)
    return static_cast<FiberObject*>(handle)->terminated.load(std::memory_order_acquire);
  if (handle == nullptr || handle->kind != ObjectKind::kThread) return false;
  return static_cast<ThreadObject*>(handle)->terminated.load(std::memory_order_acquire);
}

void CloseThread(ThreadObject* thread) {
  JoinThread(thread);
  delete thread;
}

// On a fiber a region only marks where the fiber may be ended: the thread
// under it runs other fibers and must never be cancelled.
CancellableRegion::CancellableRegion() {
  if (EnterFiberRegion(&previous_)) return;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous_);
  pthread_testcancel();
}

CancellableRegion::~CancellableRegion() {
  if (LeaveFiberRegion(previous_)) return;
  int ignored = 0;
  pthread_setcancelstate(previous_, &ignored);
}

}  // namespace ductrine::platform

#include "platform/dispatch/fiber_mutex.h"

#include "platform/dispatch/fiber.h"

namespace ductrine::platform {
namespace {

thread_local const char t_threadToken = 0;

const void* Me() {
  FiberObject* fiber = RunningFiber();
  return fiber ? static_cast<const void*>(fiber) : &t_threadToken;
}

}  // namespace

bool FiberMutex::TryTake(const void* me) {
  if (owner_ != nullptr && owner_ != me) return false;
  owner_ = me;
  ++count_;
  return true;
}

void FiberMutex::Acquire(void (*first)(void*), void* argument) {
  const void* me = Me();
  FiberObject* self = RunningFiber();
  bool fresh = false;
  if (self) {
    for (;;) {
      bool taken = false;
      try {
        fibers_.Park(self, [&] {
          taken = TryTake(me);
          fresh = taken && count_ == 1;
          return taken;
        });
      } catch (const FiberEnd&) {
        // The wake this fiber took must reach the next waiter.
        fibers_.WakeOne();
        throw;
      }
      if (taken) break;
    }
  } else {
    for (;;) {
      {
        std::lock_guard<SpinLock> hold(fibers_.lock);
        if (TryTake(me)) {
          fresh = count_ == 1;
          if (fresh) ownerIsThread_ = true;
          break;
        }
      }
      std::unique_lock<std::mutex> hold(threadLock_);
      ++threadWaiters_;
      threadWake_.wait(hold, [&] {
        std::lock_guard<SpinLock> state(fibers_.lock);
        return owner_ == nullptr;
      });
      --threadWaiters_;
    }
    // Fibers waiting for a plain thread's release must not be taken for a stall.
    if (fresh) AddOutsideWaker();
  }
  if (fresh && first) {
    try {
      first(argument);
    } catch (...) {
      // Ended while it waited for the outer lock: this process's side goes
      // back too, or every other stage would wait for it for ever.
      {
        std::lock_guard<SpinLock> hold(fibers_.lock);
        count_ = 0;
        owner_ = nullptr;
        ownerIsThread_ = false;
      }
      fibers_.WakeOne();
      throw;
    }
  }
}

bool FiberMutex::Release(void (*last)(void*), void* argument) {
  const void* me = Me();
  bool wasThread = false;
  {
    std::lock_guard<SpinLock> hold(fibers_.lock);
    if (owner_ != me || count_ == 0) return false;
    if (count_ > 1) {
      --count_;
      return true;
    }
  }
  // The last release: the outer lock goes first, while this still owns it.
  if (last) last(argument);
  {
    std::lock_guard<SpinLock> hold(fibers_.lock);
    count_ = 0;
    owner_ = nullptr;
    wasThread = ownerIsThread_;
    ownerIsThread_ = false;
  }
  fibers_.WakeOne();
  {
    std::lock_guard<std::mutex> hold(threadLock_);
    if (threadWaiters_ != 0) threadWake_.notify_all();
  }
  if (wasThread) RemoveOutsideWaker();
  return true;
}

}  // namespace ductrine::platform

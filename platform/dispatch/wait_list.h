// A list of fibers waiting for one thing (an event to be set, a mutex to
// be free). Private to platform/; the templates are defined in fiber.h.
#pragma once

#include <atomic>

namespace ductrine::platform {

struct FiberObject;

// Held for a few instructions at a time, and on one thread but for the
// thread-per-stage mode: a spin costs less than a futex-backed mutex here.
class SpinLock {
 public:
  void lock() {
    while (locked_.exchange(true, std::memory_order_acquire))
      while (locked_.load(std::memory_order_relaxed)) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      }
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

// Fibers waiting for one thing (an event to be set, a mutex to be free).
// Park and WakeAll make the test of the condition and the change of the list
// one critical section, so no wake is lost and no stale wake is taken.
struct WaitList {
  SpinLock lock;
  FiberObject* head = nullptr;
  FiberObject* tail = nullptr;

  // Parks the calling fiber unless `ready()` holds (asked under the lock).
  // Returns when it is woken; throws FiberEnd when it is being ended.
  template <class Ready>
  void Park(FiberObject* self, Ready ready, bool countsAsActive = false);
  // Detaches every parked fiber and makes it ready; `change` runs under the lock first.
  template <class Change>
  void WakeAll(Change change);
  // Wakes the first parked fiber; false when there was none.
  bool WakeOne();
  // Takes `fiber` off the list when it is still parked here.
  bool Remove(FiberObject* fiber);
  // Under the lock: when the only fiber parked here is a partner that `self`
  // may hand its turn to (see HandOff), takes it off the list and returns it.
  FiberObject* TakeSolePartner(FiberObject* self);
  bool Empty() const { return head == nullptr; }

  void Append(FiberObject* fiber);
  FiberObject* DetachAll();
};

}  // namespace ductrine::platform

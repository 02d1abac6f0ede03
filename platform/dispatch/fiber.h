// Fibers, the dispatcher that runs them, and the wait list that parks them.
// Private to platform/: events and mutexes of both flavours park fibers here.
//
// A fiber is touched by its own thread only (the thread of its worker),
// except through the worker's inbox and a wait list's lock, which any thread
// may use to make it ready.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/dispatch/context.h"
#include "platform/dispatch/wait_list.h"
#include "platform/platform.h"
#if defined(_WIN32)
#include "platform/win32/object.h"
#else
#include "platform/posix/object.h"
#endif

namespace ductrine::platform {

struct Worker;
struct DispatcherGroup;

// The per-thread state of the C++ runtime that a fiber must carry with it:
// the caught-exception stack and the uncaught count (a switch inside a
// catch block would otherwise hand one fiber's exception to another).
struct ExceptionState {
  void* caught = nullptr;
  unsigned int uncaught = 0;
};

struct FiberObject : Object {
  FiberObject();
  DispatcherGroup* group = nullptr;
  Worker* worker = nullptr;
  ThreadBody body;
  ThreadBody atEnd;
  Context* context = nullptr;
  FiberObject* nextReady = nullptr;
  // The wait list it is parked on; guarded by that list's lock.
  WaitList* parkedOn = nullptr;
  FiberObject* waitNext = nullptr;
  FiberObject* waitPrev = nullptr;
  // Saved across switches: what the system keeps per thread.
  ExceptionState exceptions;
  int lastError = 0;
  const void* module = nullptr;
  // Ending it from outside: see TerminateThreadAt.
  std::atomic<bool> endRequested{false};
  std::atomic<bool> inRegion{false};
  std::atomic<bool> parked{false};
  std::atomic<bool> endAnywhere{false};  // a stall: end it wherever it waits
  bool parkCounted = false;
  bool started = false;  // parked, yet counted active (a reader thread will wake it)
  std::atomic<bool> ended{false};
  std::atomic<bool> terminated{false};
};

// The fibers of one thread: a ready queue only that thread touches, and an
// inbox other threads post to.
struct Worker {
  DispatcherGroup* group = nullptr;
  Context* home = nullptr;  // the worker thread's own context
  FiberObject* current = nullptr;
  FiberObject* readyHead = nullptr;
  FiberObject* readyTail = nullptr;
  std::size_t live = 0;  // fibers of this worker not yet ended
  std::mutex inboxLock;
  std::condition_variable inboxSignal;
  std::vector<FiberObject*> inbox;  // guarded by inboxLock
  bool sleeping = false;            // guarded by inboxLock
  bool kicked = false;              // guarded by inboxLock
  std::vector<FiberObject*> endChecks;  // guarded by inboxLock
  std::atomic<bool> mail{false};        // the inbox may hold something

  void MakeReady(FiberObject* fiber);
  FiberObject* PopReady();
  void Post(FiberObject* fiber);           // from any thread
  void PostEndCheck(FiberObject* fiber);   // from any thread: end it if it waits endably
  void Kick();                             // from any thread: look at the group again
  bool DrainInbox();
  // On this worker's thread, outside its fibers: ends `fiber` where it waits.
  void EndWhereParked(FiberObject* fiber);
  // Runs fibers until this worker's own have all ended, or (when
  // `leaveOnStall`) until the group stalled.
  void Loop(bool leaveOnStall);
};

// The fibers of one run, across its workers: counts the fibers that can
// still make progress, which is how a stall is known.
struct DispatcherGroup {
  std::atomic<long> active{0};  // fibers running or ready, plus reads in flight
  std::atomic<long> live{0};    // fibers not yet ended
  std::atomic<bool> stalled{false};
  std::atomic<int> workerCount{0};
  std::mutex workersLock;
  std::vector<Worker*> workers;  // guarded by workersLock
  std::mutex doneLock;
  std::condition_variable done;  // every fiber ended, or a stall
  void KickAll();
};

// Makes a parked fiber ready from whatever thread: its own worker's queue
// when called there, its inbox otherwise.
void Wake(FiberObject* fiber);
// The fiber running on the calling thread, or null.
FiberObject* RunningFiber();
// Parks the running fiber, already on a wait list. `countsAsActive`: it
// stays counted as able to make progress (a reader thread will wake it).
void ParkRunning(FiberObject* self, bool countsAsActive);
// Ends `fiber` where it waits in a CancellableRegion (`anywhere`: wherever
// it waits); false when it has ended already or is the caller.
bool EndFiber(FiberObject* fiber, bool anywhere);
// Parks `self` on `list` unless `ready()` holds (asked under the lock) and
// switches straight to `partner`, which TakeSolePartner took off another
// list: the partner runs on the turn that `self` gives up, so the count of
// active fibers is left as it is. When `ready()` holds, the partner is made
// ready the ordinary way and `self` runs on. Throws FiberEnd as Park does.
template <class Ready>
void HandOff(FiberObject* self, WaitList& list, Ready ready, FiberObject* partner);
// Throws FiberEnd when the fiber is being ended and may end here.
void EndIfAsked(FiberObject* self);
// A CancellableRegion on a fiber only marks where the fiber may be ended:
// the thread under it runs other fibers and is never ended itself. False on
// a plain thread; entering throws FiberEnd when an end is pending.
bool EnterFiberRegion(int* previous);
bool LeaveFiberRegion(int previous);
// Number of outside wakers alive (stall detection waits for them).
long OutsideWakers();
void AddOutsideWaker();
void RemoveOutsideWaker();

template <class Ready>
void WaitList::Park(FiberObject* self, Ready ready, bool countsAsActive) {
  EndIfAsked(self);
  {
    std::lock_guard<SpinLock> hold(lock);
    if (ready()) return;
    self->parkCounted = countsAsActive;
    self->parked.store(true, std::memory_order_release);
    Append(self);
  }
  ParkRunning(self, countsAsActive);
}

// Switches from `self`, already parked, to `partner`, a fiber of its worker.
void SwitchToPartner(FiberObject* self, FiberObject* partner);

template <class Ready>
void HandOff(FiberObject* self, WaitList& list, Ready ready, FiberObject* partner) {
  bool parked = false;
  {
    std::lock_guard<SpinLock> hold(list.lock);
    if (!ready()) {
      self->parkCounted = false;
      self->parked.store(true, std::memory_order_release);
      list.Append(self);
      parked = true;
    }
  }
  if (!parked) {
    Wake(partner);
    return;
  }
  partner->parkCounted = false;
  partner->parked.store(false, std::memory_order_release);
  SwitchToPartner(self, partner);
  EndIfAsked(self);
}

template <class Change>
void WaitList::WakeAll(Change change) {
  FiberObject* fibers = nullptr;
  {
    std::lock_guard<SpinLock> hold(lock);
    change();
    fibers = DetachAll();
  }
  while (fibers) {
    FiberObject* next = fibers->waitNext;
    fibers->waitNext = nullptr;
    Wake(fibers);
    fibers = next;
  }
}

}  // namespace ductrine::platform

// The process-wide registry of named events and mutexes, and the event wait.
//
// The registry is split into shards by name hash so that the four opens and
// closes of every record handshake on different streams rarely meet on one
// lock. An event waits by a bounded spin and then a futex sleep: a handoff
// through the kernel scheduler costs tens of microseconds here, a spin that
// catches the partner in time costs well under one.

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/fiber.h"
#include "platform/posix/object.h"

namespace ductrine::platform {
namespace {

constexpr std::size_t kShards = 64;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>{}(name);
  }
};

struct Shard {
  std::mutex lock;
  std::unordered_map<std::string, NamedObject*, NameHash, std::equal_to<>> objects;
};

Shard* Shards() {
  // Never destroyed: stage threads of a leaked run may still close handles
  // while the process exits.
  static Shard* shards = new Shard[kShards];
  return shards;
}

std::atomic<std::size_t> g_liveObjects{0};

Shard& ShardFor(std::string_view name) {
  return Shards()[std::hash<std::string_view>{}(name) % kShards];
}

long Futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, nullptr,
                 nullptr, 0);
}

bool TryTake(NamedObject* event) {
  if (event->manualReset) return event->state.load(std::memory_order_seq_cst) != 0;
  std::uint32_t set = 1;
  return event->state.compare_exchange_strong(set, 0, std::memory_order_seq_cst);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A waiter first spins briefly (its partner on the other core is usually
// about to set the event), then yields its core a few times, and only then
// sleeps in the kernel, whose wakeup costs tens of microseconds here. It
// spins only while every awake stage thread can have a core of its own: with
// more stage threads than cores a spinner burns the time its partner needs.
// Both phases are bounded, so a blocked stage soon costs nothing.
// The spin adapts per thread: a spin that runs out means the partner is not
// running (another process may hold the other core), so the next one is
// shorter; a spin that succeeds lets it grow back.
constexpr int kSpinRounds = 400;
constexpr int kMinSpinRounds = 32;
constexpr int kYieldRounds = 8;
thread_local int t_spinRounds = kSpinRounds;

bool CoresToSpare() {
  int awake = g_stageThreads.load(std::memory_order_relaxed) -
              g_sleepingStageThreads.load(std::memory_order_relaxed);
  return awake <= static_cast<int>(ProcessorCount());
}

bool SpinFor(NamedObject* event) {
  if (CoresToSpare()) {
    for (int i = 0; i < t_spinRounds; ++i) {
      if (event->state.load(std::memory_order_relaxed) != 0 && TryTake(event)) {
        t_spinRounds = std::min(kSpinRounds, t_spinRounds * 2);
        return true;
      }
      CpuRelax();
    }
    t_spinRounds = std::max(kMinSpinRounds, t_spinRounds / 2);
  }
  for (int i = 0; i < kYieldRounds; ++i) {
    if (event->state.load(std::memory_order_relaxed) != 0 && TryTake(event)) return true;
    sched_yield();
  }
  return false;
}

NamedObject* AsNamed(Handle handle, ObjectKind kind) {
  if (handle == nullptr || handle->kind != kind) return nullptr;
  return static_cast<NamedObject*>(handle);
}

}  // namespace

namespace {

// Objects that left the registry: kept reachable, never reused.
std::mutex g_graveLock;
std::vector<NamedObject*>* g_grave = new std::vector<NamedObject*>;

// Every record handshake opens and closes its events by name. A thread
// remembers where it found a name last time (keyed by the address of the
// caller's name text, checked against the object's own immutable name), so
// an open is one atomic increment on the object instead of a locked lookup.
struct CacheEntry {
  const char* text = nullptr;
  std::size_t size = 0;
  NamedObject* object = nullptr;
};
constexpr std::size_t kCacheSize = 64;
thread_local CacheEntry t_cache[kCacheSize];

CacheEntry& CacheSlot(std::string_view name) {
  auto key = reinterpret_cast<std::uintptr_t>(name.data());
  return t_cache[(key >> 3 ^ key >> 11 ^ name.size()) % kCacheSize];
}

// Takes one more handle on an object that is alive; fails on one whose
// last handle is going (the slow path decides under the lock).
bool TryAddHandle(NamedObject* object) {
  std::size_t count = object->handles.load(std::memory_order_relaxed);
  while (count != 0) {
    if (object->handles.compare_exchange_weak(count, count + 1, std::memory_order_acquire))
      return true;
  }
  return false;
}

}  // namespace

NamedObject* AcquireNamed(std::string_view name, ObjectKind kind, bool create, bool manualReset,
                          bool initiallySet) {
  CacheEntry& slot = CacheSlot(name);
  if (slot.text == name.data() && slot.size == name.size() && slot.object->kind == kind &&
      slot.object->name == name && TryAddHandle(slot.object))
    return slot.object;

  Shard& shard = ShardFor(name);
  NamedObject* object = nullptr;
  {
    std::lock_guard<std::mutex> hold(shard.lock);
    auto it = shard.objects.find(name);
    if (it != shard.objects.end()) {
      if (it->second->kind != kind) return nullptr;  // one namespace, as on Windows
      object = it->second;
      object->handles.fetch_add(1, std::memory_order_acquire);
    } else {
      int shared = -1;
      if (IsConsoleWideName(name)) {
        // Another process on the console may hold it.
        shared = OpenConsoleObject(name, create, kind == ObjectKind::kMutex);
        if (shared < 0 && !create) return nullptr;
      } else if (!create) {
        return nullptr;
      }
      object = new NamedObject(kind, std::string(name));
      object->shared = shared;
      object->handles.store(1, std::memory_order_relaxed);
      object->manualReset = manualReset;
      object->state.store(initiallySet ? 1 : 0, std::memory_order_relaxed);
      shard.objects.emplace(object->name, object);
      g_liveObjects.fetch_add(1, std::memory_order_relaxed);
    }
  }
  slot = CacheEntry{name.data(), name.size(), object};
  return object;
}

void ReleaseNamed(NamedObject* object) {
  if (object->handles.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Shard& shard = ShardFor(object->name);
  {
    std::lock_guard<std::mutex> hold(shard.lock);
    // Someone may have reopened it by name meanwhile.
    if (object->handles.load(std::memory_order_acquire) != 0 || !object->inRegistry) return;
    object->inRegistry = false;
    shard.objects.erase(object->name);
  }
  if (object->shared >= 0) CloseConsoleObject(object->shared);
  g_liveObjects.fetch_sub(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(g_graveLock);
  g_grave->push_back(object);
}

std::size_t LiveNamedObjects() { return g_liveObjects.load(std::memory_order_relaxed); }

Handle NamedEvent::OpenOrCreate(std::string_view name, bool manualReset, bool initiallySet) {
  return AcquireNamed(name, ObjectKind::kEvent, true, manualReset, initiallySet);
}

Handle NamedEvent::OpenExisting(std::string_view name) {
  return AcquireNamed(name, ObjectKind::kEvent, false);
}

void NamedEvent::Set(Handle handle) {
  NamedObject* event = AsNamed(handle, ObjectKind::kEvent);
  if (!event) return;
  // The flip and the detach of the parked fibers are one step: a fiber that
  // saw the event set and waits again must not take this set's wake.
  event->fibers.WakeAll([event] { event->state.store(1, std::memory_order_seq_cst); });
  if (event->waiters.load(std::memory_order_seq_cst) != 0) {
    // Wake all: for an auto-reset event the losers of the take sleep again.
    Futex(&event->state, FUTEX_WAKE_PRIVATE, INT_MAX);
  }
}

void NamedEvent::Reset(Handle handle) {
  NamedObject* event = AsNamed(handle, ObjectKind::kEvent);
  // The waiter's own reset; the set that follows it comes through the
  // partner's event, which orders the two.
  if (event) event->state.store(0, std::memory_order_release);
}

void NamedEvent::Wait(Handle handle) {
  NamedObject* event = AsNamed(handle, ObjectKind::kEvent);
  if (!event) return;
  if (FiberObject* self = RunningFiber()) {
    // A manual-reset event releases whoever was parked when it was set; an
    // auto-reset one only the fiber that takes it.
    for (;;) {
      bool taken = false;
      event->fibers.Park(self, [&] { return taken = TryTake(event); });
      if (taken || event->manualReset) return;
    }
  }
  if (TryTake(event) || SpinFor(event)) return;
  const bool stage = t_isStageThread;
  if (stage) g_sleepingStageThreads.fetch_add(1, std::memory_order_relaxed);
  event->waiters.fetch_add(1, std::memory_order_seq_cst);
  while (!TryTake(event)) Futex(&event->state, FUTEX_WAIT_PRIVATE, 0);
  event->waiters.fetch_sub(1, std::memory_order_seq_cst);
  if (stage) g_sleepingStageThreads.fetch_sub(1, std::memory_order_relaxed);
}

void NamedEvent::SetAndWait(Handle setHandle, Handle waitHandle) {
  NamedObject* set = AsNamed(setHandle, ObjectKind::kEvent);
  NamedObject* wait = AsNamed(waitHandle, ObjectKind::kEvent);
  FiberObject* self = RunningFiber();
  if (set == nullptr || wait == nullptr || self == nullptr || !wait->manualReset) {
    Set(setHandle);
    Wait(waitHandle);
    return;
  }
  // The set itself is Set's, to the letter: the state flips under the list's
  // lock and plain threads asleep on it are woken. Only the partner's wake
  // differs: it is taken off the list to run on this fiber's turn.
  FiberObject* partner = nullptr;
  set->fibers.WakeAll([&] {
    set->state.store(1, std::memory_order_seq_cst);
    partner = set->fibers.TakeSolePartner(self);
  });
  if (set->waiters.load(std::memory_order_seq_cst) != 0)
    Futex(&set->state, FUTEX_WAKE_PRIVATE, INT_MAX);
  if (partner == nullptr) {
    Wait(waitHandle);
    return;
  }
  HandOff(self, wait->fibers, [wait] { return TryTake(wait); }, partner);
}

Handle NamedMutex::OpenOrCreate(std::string_view name) {
  return AcquireNamed(name, ObjectKind::kMutex, true);
}

bool NamedMutex::Acquire(Handle handle) {
  NamedObject* mutex = AsNamed(handle, ObjectKind::kMutex);
  if (!mutex) return false;
  if (mutex->shared < 0) {
    mutex->mutex.Acquire();
  } else {
    mutex->mutex.Acquire([](void* object) { LockConsoleObject(static_cast<NamedObject*>(object)); },
                         mutex);
  }
  return true;
}

void NamedMutex::Release(Handle handle) {
  NamedObject* mutex = AsNamed(handle, ObjectKind::kMutex);
  if (!mutex) return;
  if (mutex->shared < 0) {
    mutex->mutex.Release();
  } else {
    mutex->mutex.Release(
        [](void* object) { UnlockConsoleObject(static_cast<NamedObject*>(object)); }, mutex);
  }
}

void CloseObject(Handle handle) {
  if (handle == nullptr) return;
  switch (handle->kind) {
    case ObjectKind::kEvent:
    case ObjectKind::kMutex:
      ReleaseNamed(static_cast<NamedObject*>(handle));
      break;
    case ObjectKind::kSegment:
      CloseSegment(static_cast<SegmentObject*>(handle));
      break;
    case ObjectKind::kThread:
      CloseThread(static_cast<ThreadObject*>(handle));
      break;
    case ObjectKind::kFiber:
      break;  // the dispatcher owns it
  }
}

}  // namespace ductrine::platform

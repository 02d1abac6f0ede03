// The objects behind platform handles on POSIX. Private to platform/posix.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/dispatch/fiber_mutex.h"
#include "platform/dispatch/wait_list.h"
#include "platform/platform.h"

namespace ductrine::platform {

enum class ObjectKind : std::uint32_t { kEvent, kMutex, kSegment, kThread, kFiber };

struct Object {
  explicit Object(ObjectKind k) : kind(k) {}
  virtual ~Object() = default;
  ObjectKind kind;
};

// A named event or mutex; lives in the registry while `handles` > 0. Its
// memory is never freed (a thread's lookup cache may still point at it), and
// once it has left the registry it never comes back: a new object of the
// same name is a new object.
struct NamedObject : Object {
  NamedObject(ObjectKind k, std::string n) : Object(k), name(std::move(n)) {}
  std::string name;
  std::atomic<std::size_t> handles{0};
  bool inRegistry = true;  // guarded by the registry shard's lock
  // event
  std::atomic<std::uint32_t> state{0};
  std::atomic<std::uint32_t> waiters{0};  // plain threads asleep on `state`
  WaitList fibers;                         // fibers parked on it
  bool manualReset = true;
  // mutex
  FiberMutex mutex;
  // The console lock and the trace flags: the open file that other
  // processes on the console see (console_objects.cpp), or -1.
  int shared = -1;
  int heldThrough = -1;  // the file through which this process holds the lock
};

// Registry operations (named_objects.cpp).
// Opens (or, with `create`, creates) the object of that name. A new event
// gets its reset kind and state before any other thread can see it.
NamedObject* AcquireNamed(std::string_view name, ObjectKind kind, bool create,
                          bool manualReset = true, bool initiallySet = false);
void ReleaseNamed(NamedObject* object);

// Objects shared by every process on the console (console_objects.cpp).
// True for the names formed with this process's console identity that reach
// other processes (not without a terminal, nor under a forced identity
// unless a test asks, nor when no private folder can be had).
bool IsConsoleWideName(std::string_view name);
// The open file of such an object, holding its presence; -1 when it exists
// in no other process (and `create` is false) or cannot be had. With `keep`
// (the lock) the file stays open when the object is closed, and the next
// open of the name takes it again.
int OpenConsoleObject(std::string_view name, bool create, bool keep);
void CloseConsoleObject(int fd);
// The console lock across processes, taken after this process's own side;
// a wait for another process is made off the dispatcher.
void LockConsoleObject(NamedObject* mutex);
void UnlockConsoleObject(NamedObject* mutex);

struct SegmentObject : Object {
  SegmentObject() : Object(ObjectKind::kSegment) {}
  int fd = -1;
};

struct ThreadObject : Object {
  ThreadObject() : Object(ObjectKind::kThread) {}
  pthread_t thread{};
  ThreadBody body;
  ThreadBody atEnd;  // runs once as the thread ends, however it ends
  std::atomic<bool> terminated{false};
  bool joined = false;
  // Set under endLock as the thread leaves: an ended thread's id may belong
  // to another thread, so it must never be cancelled after that. Atomic as
  // well: ThreadSanitizer does not see the lock taken in the unwind of a
  // cancelled thread.
  std::mutex endLock;
  std::atomic<bool> ended{false};
};

void CloseSegment(SegmentObject* segment);

// Stage threads alive and stage threads asleep in an event wait: spinning
// pays only while every awake stage thread can have a core of its own.
extern std::atomic<int> g_stageThreads;
extern std::atomic<int> g_sleepingStageThreads;
extern thread_local bool t_isStageThread;
void CloseThread(ThreadObject* thread);

// From now on every console line read sees end of input, and one that waits
// now returns (console.cpp). For the end of a run that a signal stops.
void EndConsoleInput();

}  // namespace ductrine::platform

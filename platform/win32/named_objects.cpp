// Named events and mutexes: the kernel's own, by name. Every process of the
// session that uses a name meets the same object, as the console lock and
// the trace events need.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/dispatch/fiber.h"
#include "platform/dispatch/fiber_mutex.h"
#include "platform/dispatch/off_dispatcher.h"
#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

// All access rights of an event, for the "is this flag raised?" test.
constexpr DWORD kEventAllAccess = 0x1F0003;

// Every open of a name in this process shares one kernel handle, counted
// here: a record handshake opens and closes its events by name four times a
// record, and the driver keeps each of them open for the run, so after the
// first open the kernel is asked only to set, reset and wait. The object
// still lives exactly while this process (or another) holds a handle to it.
// Fibers of this process park on the shared handle's own list: a kernel
// wait would stop every fiber of the thread. A set from this process wakes
// them; flags that other processes raise are tested, never waited for.
struct KernelHolder;

struct NamedHandle : Object {
  NamedHandle(ObjectKind k, HANDLE h, std::string n) : Object(k, h), name(std::move(n)) {}
  std::string name;
  std::size_t opens = 1;  // guarded by g_namesLock
  bool manualReset = true;
  WaitList fibers;
  FiberMutex mutex;  // this process's side of a kernel mutex
  std::shared_ptr<KernelHolder> holder;  // holds the kernel mutex for a fiber
};

std::mutex g_namesLock;
std::unordered_map<std::string, NamedHandle*>* g_names =
    new std::unordered_map<std::string, NamedHandle*>;  // never destroyed: closes may come late

Handle OpenNamed(std::string_view name, ObjectKind kind, const std::function<HANDLE(const char*)>& open) {
  std::string text(name);
  std::lock_guard<std::mutex> hold(g_namesLock);
  auto it = g_names->find(text);
  if (it != g_names->end()) {
    if (it->second->kind != kind) {
      SetLastError(ERROR_INVALID_HANDLE);  // one namespace for all kinds, as in the kernel
      return nullptr;
    }
    ++it->second->opens;
    return it->second;
  }
  HANDLE handle = open(text.c_str());
  if (handle == nullptr) return nullptr;
  auto* object = new NamedHandle(kind, handle, text);
  g_names->emplace(text, object);
  return object;
}

void CloseNamed(NamedHandle* object) {
  {
    std::lock_guard<std::mutex> hold(g_namesLock);
    if (--object->opens != 0) return;
    g_names->erase(object->name);
  }
  CloseHandle(object->handle);
  delete object;
}

HANDLE KernelHandle(Handle handle, ObjectKind kind) {
  if (handle == nullptr || handle->kind != kind) return nullptr;
  return handle->handle;
}

}  // namespace

Handle NamedEvent::OpenOrCreate(std::string_view name, bool manualReset, bool initiallySet) {
  bool made = false;
  Handle handle = OpenNamed(name, ObjectKind::kEvent, [&](const char* text) {
    HANDLE event =
        CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, text);
    made = event != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    return event;
  });
  // The kind of an event that existed already stays as it was made.
  if (handle && made) static_cast<NamedHandle*>(handle)->manualReset = manualReset;
  return handle;
}

Handle NamedEvent::OpenExisting(std::string_view name) {
  return OpenNamed(name, ObjectKind::kEvent,
                   [](const char* text) { return OpenEventA(kEventAllAccess, FALSE, text); });
}

void NamedEvent::Set(Handle event) {
  HANDLE h = KernelHandle(event, ObjectKind::kEvent);
  if (h == nullptr) return;
  // The set and the detach of the parked fibers are one step: a fiber that
  // saw the event set and waits again must not take this set's wake.
  static_cast<NamedHandle*>(event)->fibers.WakeAll([h] { SetEvent(h); });
}

void NamedEvent::Reset(Handle event) {
  if (HANDLE h = KernelHandle(event, ObjectKind::kEvent)) ResetEvent(h);
}

void NamedEvent::Wait(Handle event) {
  HANDLE h = KernelHandle(event, ObjectKind::kEvent);
  if (h == nullptr) return;
  if (FiberObject* self = RunningFiber()) {
    auto* named = static_cast<NamedHandle*>(event);
    for (;;) {
      bool taken = false;
      named->fibers.Park(self, [&] { return taken = WaitForSingleObject(h, 0) == WAIT_OBJECT_0; });
      if (taken || named->manualReset) return;
    }
  }
  WaitForSingleObject(h, INFINITE);
}

void NamedEvent::SetAndWait(Handle set, Handle wait) {
  Set(set);
  Wait(wait);
}

Handle NamedMutex::OpenOrCreate(std::string_view name) {
  return OpenNamed(name, ObjectKind::kMutex,
                   [](const char* text) { return CreateMutexA(nullptr, FALSE, text); });
}

namespace {

// A kernel mutex belongs to the thread that took it. When another process
// holds it (for a whole trace dialogue, maybe), a thread of our own waits for
// it and holds it for the fiber until the fiber gives it back, so that the
// other fibers of the dispatcher go on meanwhile.
struct KernelHolder {
  OutsideWake taken;
  std::mutex lock;
  std::condition_variable asked;
  bool release = false;  // guarded by lock
};

// Other processes on the console meet at the kernel's mutex. A mutex whose
// owner ended without releasing it is ours now all the same.
bool Took(DWORD waited) { return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED; }

void TakeKernelMutex(void* argument) {
  auto* named = static_cast<NamedHandle*>(argument);
  if (Took(WaitForSingleObject(named->handle, 0))) return;
  HANDLE mine = nullptr;
  if (!HasCompany() ||
      !DuplicateHandle(GetCurrentProcess(), named->handle, GetCurrentProcess(), &mine, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    WaitForSingleObject(named->handle, INFINITE);
    return;
  }
  // The holder waits on a handle of its own: the fiber's may be closed
  // before the holder has given the mutex back.
  auto holder = std::make_shared<KernelHolder>();
  try {
    std::thread([holder, mine] {
      const bool took = Took(WaitForSingleObject(mine, INFINITE));
      // A fiber ended meanwhile never hears of it: the mutex goes back at once.
      if (holder->taken.Give()) {
        std::unique_lock<std::mutex> hold(holder->lock);
        holder->asked.wait(hold, [&] { return holder->release; });
      }
      if (took) ReleaseMutex(mine);
      CloseHandle(mine);
    }).detach();
  } catch (const std::system_error&) {
    CloseHandle(mine);
    WaitForSingleObject(named->handle, INFINITE);
    return;
  }
  holder->taken.Wait();
  named->holder = std::move(holder);
}

void GiveKernelMutex(void* argument) {
  auto* named = static_cast<NamedHandle*>(argument);
  if (std::shared_ptr<KernelHolder> holder = std::move(named->holder)) {
    {
      std::lock_guard<std::mutex> hold(holder->lock);
      holder->release = true;
    }
    holder->asked.notify_one();
    return;
  }
  ReleaseMutex(named->handle);
}

}  // namespace

bool NamedMutex::Acquire(Handle mutex) {
  if (KernelHandle(mutex, ObjectKind::kMutex) == nullptr) return false;
  auto* named = static_cast<NamedHandle*>(mutex);
  named->mutex.Acquire(TakeKernelMutex, named);
  return true;
}

void NamedMutex::Release(Handle mutex) {
  if (KernelHandle(mutex, ObjectKind::kMutex) == nullptr) return;
  auto* named = static_cast<NamedHandle*>(mutex);
  named->mutex.Release(GiveKernelMutex, named);
}

void CloseObject(Handle handle) {
  if (handle == nullptr) return;
  switch (handle->kind) {
    case ObjectKind::kEvent:
    case ObjectKind::kMutex:
      CloseNamed(static_cast<NamedHandle*>(handle));
      break;
    case ObjectKind::kSegment:
      CloseHandle(handle->handle);
      delete handle;
      break;
    case ObjectKind::kThread:
      CloseThread(static_cast<ThreadObject*>(handle));
      break;
    case ObjectKind::kFiber:
      break;  // the dispatcher owns it
  }
}

std::size_t LiveNamedObjects() {
  std::lock_guard<std::mutex> hold(g_namesLock);
  return g_names->size();
}

}  // namespace ductrine::platform

// The dispatcher: runs fibers on one thread each turn, parks them on wait
// lists, wakes them from any thread, ends them from a wait, and knows when a
// run has stalled (nothing ready, nothing running, nothing outside that can
// still wake a fiber).

#include <cxxabi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <future>
#include <system_error>
#include <memory>
#include <thread>

#include "platform/dispatch/fiber.h"
#include "platform/shared_state.h"

namespace ductrine::platform {
namespace {

// Reserved, not committed: a fiber costs the stack pages it touches.
constexpr std::size_t kFiberStack = 1024 * 1024;
// A worker whose partners run on other threads looks at its inbox this many
// times before it sleeps in the kernel: a wake from a partner on another core
// usually comes within microseconds, a kernel wake costs tens of them.
constexpr std::uint32_t kSpinRounds = 2000;
constexpr int kYieldRounds = 8;

thread_local Worker* t_worker = nullptr;

std::atomic<long> g_outsideWakers{0};
// Workers not asleep in the kernel, across the process: a worker spins for
// its mail only while every awake worker can have a core, or the spinner
// burns the time its partner needs.
std::atomic<int> g_awakeWorkers{0};
std::mutex g_groupsLock;
std::vector<DispatcherGroup*>* g_groups = new std::vector<DispatcherGroup*>;  // never destroyed

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// The runtime's per-thread block never moves: looked up once per thread.
thread_local ExceptionState* t_exceptions = nullptr;

ExceptionState* ThreadExceptionState() {
  if (t_exceptions == nullptr)
    t_exceptions = reinterpret_cast<ExceptionState*>(abi::__cxa_get_globals());
  return t_exceptions;
}

#if defined(_WIN32)
int ThreadLastError() { return LastErrorCode(); }
void SetThreadLastError(int code) { SetLastErrorCode(code); }
#else
// errno's place never moves for a thread: found once, then read and
// written in place at every switch.
thread_local int* t_errno = nullptr;
inline int& ThreadErrno() {
  if (t_errno == nullptr) t_errno = &errno;
  return *t_errno;
}
int ThreadLastError() { return ThreadErrno(); }
void SetThreadLastError(int code) { ThreadErrno() = code; }
#endif

// Saves what the system keeps per thread into the fiber leaving the thread.
void SaveThreadState(FiberObject* fiber) {
  if (fiber == nullptr) return;
  fiber->lastError = ThreadLastError();
  fiber->module = ModuleStateGuard::Current();
  std::memcpy(&fiber->exceptions, ThreadExceptionState(), sizeof(ExceptionState));
}

void RestoreThreadState(FiberObject* fiber) {
  if (fiber == nullptr) return;
  std::memcpy(ThreadExceptionState(), &fiber->exceptions, sizeof(ExceptionState));
  SetCurrentModule(fiber->module);
  SetThreadLastError(fiber->lastError);
}

// The thread's own state while no fiber runs on it.
struct HomeState {
  ExceptionState exceptions;
  int lastError = 0;
  const void* module = nullptr;
};
thread_local HomeState t_home;

void SaveHome() {
  t_home.lastError = ThreadLastError();
  t_home.module = ModuleStateGuard::Current();
  std::memcpy(&t_home.exceptions, ThreadExceptionState(), sizeof(ExceptionState));
}

void RestoreHome() {
  std::memcpy(ThreadExceptionState(), &t_home.exceptions, sizeof(ExceptionState));
  SetCurrentModule(t_home.module);
  SetThreadLastError(t_home.lastError);
}

// Switches from the running fiber (null: the worker's home) to `to` (null:
// home). Returns when something switches back.
void SwitchTo(Worker* worker, FiberObject* from, FiberObject* to) {
  if (from) SaveThreadState(from); else SaveHome();
  worker->current = to;
  if (to) RestoreThreadState(to); else RestoreHome();
  SwitchContext(from ? from->context : worker->home, to ? to->context : worker->home);
}

// The next fiber to run on this worker, or null for its home.
FiberObject* NextToRun(Worker* worker) {
  FiberObject* next = worker->PopReady();
  if (!next && worker->DrainInbox()) next = worker->PopReady();
  return next;
}

void FiberEnded(FiberObject* self) {
  Worker* worker = self->worker;
  DispatcherGroup* group = self->group;
  self->ended = true;
  --worker->live;
  // Whoever brings the count to zero has every worker look for a stall: this
  // worker may leave its loop without looking (its last fiber has ended).
  if (group->active.fetch_sub(1, std::memory_order_seq_cst) == 1) group->KickAll();
  if (group->live.fetch_sub(1, std::memory_order_seq_cst) == 1) {
    std::lock_guard<std::mutex> hold(group->doneLock);
    group->done.notify_all();
  }
}

Context* FiberMain(void* argument) {
  auto* self = static_cast<FiberObject*>(argument);
  self->started = true;
  try {
    self->body();
  } catch (const FiberEnd&) {
    self->terminated.store(true, std::memory_order_release);
  } catch (...) {
    // An exception must never end the process and lose other stages' data.
  }
  try {
    if (self->atEnd) self->atEnd();
  } catch (...) {
  }
  Worker* worker = self->worker;
  FiberEnded(self);
  FiberObject* next = NextToRun(worker);
  worker->current = next;
  if (next) RestoreThreadState(next); else RestoreHome();
  return next ? next->context : worker->home;
}

}  // namespace

#if defined(_WIN32)
FiberObject::FiberObject() : Object(ObjectKind::kFiber, nullptr) {}
#else
FiberObject::FiberObject() : Object(ObjectKind::kFiber) {}
#endif

// ---- wait lists --------------------------------------------------------------

void WaitList::Append(FiberObject* fiber) {
  fiber->waitPrev = tail;
  fiber->waitNext = nullptr;
  if (tail) tail->waitNext = fiber; else head = fiber;
  tail = fiber;
  fiber->parkedOn = this;
}

FiberObject* WaitList::DetachAll() {
  FiberObject* fibers = head;
  head = tail = nullptr;
  for (FiberObject* f = fibers; f; f = f->waitNext) {
    f->parkedOn = nullptr;
    f->waitPrev = nullptr;
  }
  return fibers;
}

bool WaitList::Remove(FiberObject* fiber) {
  std::lock_guard<SpinLock> hold(lock);
  if (fiber->parkedOn != this) return false;
  if (fiber->waitPrev) fiber->waitPrev->waitNext = fiber->waitNext; else head = fiber->waitNext;
  if (fiber->waitNext) fiber->waitNext->waitPrev = fiber->waitPrev; else tail = fiber->waitPrev;
  fiber->waitNext = fiber->waitPrev = nullptr;
  fiber->parkedOn = nullptr;
  return true;
}

bool WaitList::WakeOne() {
  FiberObject* fiber = nullptr;
  {
    std::lock_guard<SpinLock> hold(lock);
    fiber = head;
    if (fiber == nullptr) return false;
    head = fiber->waitNext;
    if (head) head->waitPrev = nullptr; else tail = nullptr;
    fiber->waitNext = fiber->waitPrev = nullptr;
    fiber->parkedOn = nullptr;
  }
  Wake(fiber);
  return true;
}

FiberObject* WaitList::TakeSolePartner(FiberObject* self) {
  FiberObject* fiber = head;
  // Only a fiber that an ordinary wake would put in the ready queue of the
  // caller's own worker, behind nothing: then running it at once is what the
  // dispatcher would do next anyway.
  if (fiber == nullptr || fiber != tail || fiber->worker != self->worker || fiber->parkCounted ||
      self->worker->readyHead != nullptr ||
      self->endRequested.load(std::memory_order_seq_cst))
    return nullptr;
  head = tail = nullptr;
  fiber->parkedOn = nullptr;
  return fiber;
}

// ---- workers -----------------------------------------------------------------

void Worker::MakeReady(FiberObject* fiber) {
  fiber->nextReady = nullptr;
  if (readyTail) readyTail->nextReady = fiber; else readyHead = fiber;
  readyTail = fiber;
}

FiberObject* Worker::PopReady() {
  FiberObject* fiber = readyHead;
  if (fiber) {
    readyHead = fiber->nextReady;
    if (!readyHead) readyTail = nullptr;
    fiber->nextReady = nullptr;
  }
  return fiber;
}

void Worker::Post(FiberObject* fiber) {
  std::lock_guard<std::mutex> hold(inboxLock);
  inbox.push_back(fiber);
  mail.store(true, std::memory_order_release);
  if (sleeping) inboxSignal.notify_one();
}

void Worker::PostEndCheck(FiberObject* fiber) {
  std::lock_guard<std::mutex> hold(inboxLock);
  endChecks.push_back(fiber);
  mail.store(true, std::memory_order_release);
  if (sleeping) inboxSignal.notify_one();
}

void Worker::Kick() {
  std::lock_guard<std::mutex> hold(inboxLock);
  kicked = true;
  mail.store(true, std::memory_order_release);
  if (sleeping) inboxSignal.notify_one();
}

bool Worker::DrainInbox() {
  if (!mail.load(std::memory_order_acquire)) return false;
  std::vector<FiberObject*> posted, checks;
  {
    std::lock_guard<std::mutex> hold(inboxLock);
    posted.swap(inbox);
    checks.swap(endChecks);
    mail.store(false, std::memory_order_relaxed);
  }
  for (FiberObject* fiber : posted) MakeReady(fiber);
  // Here on its own thread, outside every fiber: a parked fiber's wait list
  // is alive (its frame holds it) and only this thread can resume it.
  for (FiberObject* fiber : checks) EndWhereParked(fiber);
  return !posted.empty() || !checks.empty();
}

void Worker::EndWhereParked(FiberObject* fiber) {
  if (fiber->ended || !fiber->parked.load(std::memory_order_acquire)) return;
  if (!fiber->inRegion.load(std::memory_order_seq_cst) && !fiber->endAnywhere.load()) return;
  WaitList* list = fiber->parkedOn;
  if (list && list->Remove(fiber)) Wake(fiber);
}

void Worker::Loop(bool leaveOnStall) {
  Worker* saved = t_worker;
  t_worker = this;
  home = ThreadContext();
  g_awakeWorkers.fetch_add(1, std::memory_order_relaxed);
  struct Asleep {
    ~Asleep() { g_awakeWorkers.fetch_sub(1, std::memory_order_relaxed); }
  } leaving;
  for (;;) {
    DrainInbox();
    if (FiberObject* fiber = PopReady()) {
      SwitchTo(this, nullptr, fiber);
      continue;
    }
    if (live == 0) break;
    const bool stalled = group->stalled.load(std::memory_order_seq_cst);
    if (!stalled && group->active.load(std::memory_order_seq_cst) == 0 &&
        g_outsideWakers.load(std::memory_order_seq_cst) == 0) {
      group->stalled.store(true, std::memory_order_seq_cst);
      group->KickAll();
      continue;
    }
    if (stalled && leaveOnStall) break;
    if (group->workerCount.load(std::memory_order_relaxed) > 1 && !stalled) {
      if (g_awakeWorkers.load(std::memory_order_relaxed) <= static_cast<int>(ProcessorCount())) {
        for (std::uint32_t i = 0; i < kSpinRounds && !mail.load(std::memory_order_acquire); ++i)
          CpuRelax();
      } else {
        // More workers than cores: the partner may be waiting for this
        // core, so give it up a few times before the far dearer kernel sleep.
        for (int i = 0; i < kYieldRounds && !mail.load(std::memory_order_acquire); ++i)
          std::this_thread::yield();
      }
    }
    std::unique_lock<std::mutex> hold(inboxLock);
    if (inbox.empty() && endChecks.empty() && !kicked) {
      sleeping = true;
      g_awakeWorkers.fetch_sub(1, std::memory_order_relaxed);
      inboxSignal.wait(hold, [this] { return !inbox.empty() || !endChecks.empty() || kicked; });
      g_awakeWorkers.fetch_add(1, std::memory_order_relaxed);
      sleeping = false;
    }
    kicked = false;
  }
  t_worker = saved;
}

void DispatcherGroup::KickAll() {
  std::vector<Worker*> all;
  {
    std::lock_guard<std::mutex> hold(workersLock);
    all = workers;
  }
  for (Worker* worker : all) worker->Kick();
  std::lock_guard<std::mutex> hold(doneLock);
  done.notify_all();
}

// ---- parking and waking --------------------------------------------------------

FiberObject* RunningFiber() {
  Worker* worker = t_worker;
  return worker ? worker->current : nullptr;
}

void Wake(FiberObject* fiber) {
  if (!fiber->parkCounted) fiber->group->active.fetch_add(1, std::memory_order_seq_cst);
  fiber->parkCounted = false;
  fiber->parked.store(false, std::memory_order_release);
  Worker* worker = fiber->worker;
  if (t_worker == worker) worker->MakeReady(fiber); else worker->Post(fiber);
}

void EndIfAsked(FiberObject* self) {
  if (!self->endRequested.load(std::memory_order_seq_cst)) return;
  if (!self->inRegion.load(std::memory_order_seq_cst) && !self->endAnywhere.load()) return;
  // A fiber already unwinding waits plainly: a second throw would end the process.
  if (std::uncaught_exceptions() != 0) return;
  throw FiberEnd{};
}

void ParkRunning(FiberObject* self, bool countsAsActive) {
  Worker* worker = self->worker;
  if (!countsAsActive) self->group->active.fetch_sub(1, std::memory_order_seq_cst);
  FiberObject* next = NextToRun(worker);
  if (next != self) SwitchTo(worker, self, next);
  EndIfAsked(self);
}

void SwitchToPartner(FiberObject* self, FiberObject* partner) {
  SwitchTo(self->worker, self, partner);
}

void YieldFiber() {
  FiberObject* self = RunningFiber();
  if (self == nullptr) {
    std::this_thread::yield();
    return;
  }
  Worker* worker = self->worker;
  worker->MakeReady(self);
  FiberObject* next = NextToRun(worker);
  if (next != self) SwitchTo(worker, self, next);
}

Handle CurrentFiber() { return RunningFiber(); }

bool EnterFiberRegion(int* previous) {
  FiberObject* fiber = RunningFiber();
  if (fiber == nullptr) return false;
  *previous = fiber->inRegion.exchange(true) ? 1 : 0;
  try {
    EndIfAsked(fiber);
  } catch (...) {
    fiber->inRegion.store(*previous != 0);
    throw;
  }
  return true;
}

bool LeaveFiberRegion(int previous) {
  FiberObject* fiber = RunningFiber();
  if (fiber == nullptr) return false;
  fiber->inRegion.store(previous != 0);
  return true;
}

long OutsideWakers() { return g_outsideWakers.load(std::memory_order_seq_cst); }

void AddOutsideWaker() { g_outsideWakers.fetch_add(1, std::memory_order_seq_cst); }

void RemoveOutsideWaker() {
  g_outsideWakers.fetch_sub(1, std::memory_order_seq_cst);
  std::lock_guard<std::mutex> hold(g_groupsLock);
  for (DispatcherGroup* group : *g_groups) group->KickAll();
}

OutsideWaker::OutsideWaker() { AddOutsideWaker(); }

OutsideWaker::~OutsideWaker() { RemoveOutsideWaker(); }

// Ends a fiber where it waits in a CancellableRegion (or, after a stall,
// wherever it waits); one that does not wait there ends at its next such wait.
bool EndFiber(FiberObject* fiber, bool anywhere) {
  if (fiber->ended) return false;
  if (RunningFiber() == fiber) return false;
  fiber->endRequested.store(true, std::memory_order_seq_cst);
  Worker* worker = fiber->worker;
  if (t_worker == worker) {
    if (anywhere) fiber->endAnywhere = true;
    worker->EndWhereParked(fiber);
  } else {
    if (anywhere) return false;  // only the run's own thread ends fibers anywhere
    worker->PostEndCheck(fiber);
  }
  return true;
}

// ---- the dispatcher ------------------------------------------------------------

struct Dispatcher::State {
  DispatcherGroup group;
  Worker home;
  std::vector<std::unique_ptr<Worker>> ownWorkers;
  std::vector<std::thread> threads;
  std::vector<std::unique_ptr<FiberObject>> fibers;
  bool running = false;
};

Dispatcher::Dispatcher() : state_(new State()) {
  state_->home.group = &state_->group;
  state_->group.workers.push_back(&state_->home);
  state_->group.workerCount = 1;
  // Until Run starts, fibers with threads of their own may all wait for
  // what a fiber of the caller's thread will do: no stall before then.
  state_->group.active.store(1);
  std::lock_guard<std::mutex> hold(g_groupsLock);
  g_groups->push_back(&state_->group);
}

Dispatcher::~Dispatcher() {
  for (std::thread& thread : state_->threads)
    if (thread.joinable()) thread.join();
  {
    std::lock_guard<std::mutex> hold(g_groupsLock);
    g_groups->erase(std::find(g_groups->begin(), g_groups->end(), &state_->group));
  }
  // A fiber that never ended still has frames on its stack: both are left
  // as they are rather than unwound behind the stage's back.
  for (auto& fiber : state_->fibers)
    if (fiber->ended) FreeContext(fiber->context);
  delete state_;
}

Handle Dispatcher::Spawn(ThreadBody body, ThreadBody atEnd, bool ownThread) {
  auto fiber = std::make_unique<FiberObject>();
  fiber->group = &state_->group;
  fiber->body = std::move(body);
  fiber->atEnd = std::move(atEnd);
  Worker* worker = &state_->home;
  if (ownThread) {
    state_->ownWorkers.push_back(std::make_unique<Worker>());
    worker = state_->ownWorkers.back().get();
    worker->group = &state_->group;
  }
  fiber->worker = worker;
  FiberObject* raw = fiber.get();
  if (!ownThread) {
    raw->context = NewContext(kFiberStack, FiberMain, raw);
    if (raw->context == nullptr) return nullptr;
  }
  ++worker->live;
  state_->group.live.fetch_add(1, std::memory_order_seq_cst);
  state_->group.active.fetch_add(1, std::memory_order_seq_cst);
  state_->fibers.push_back(std::move(fiber));
  if (!ownThread) {
    worker->MakeReady(raw);
    return raw;
  }
  // A thread of its own, which makes the fiber's stack on itself: a context
  // belongs to the thread that runs it.
  {
    std::lock_guard<std::mutex> hold(state_->group.workersLock);
    state_->group.workers.push_back(worker);
    state_->group.workerCount.fetch_add(1, std::memory_order_relaxed);
  }
  auto made = std::make_shared<std::promise<int>>();
  std::future<int> result = made->get_future();
  try {
    state_->threads.emplace_back([worker, raw, made] {
      raw->context = NewContext(kFiberStack, FiberMain, raw);
      if (raw->context == nullptr) {
        made->set_value(LastErrorCode() ? LastErrorCode() : 12);
        return;
      }
      made->set_value(0);
      worker->MakeReady(raw);
      worker->Loop(false);
      ReleaseThreadContext();
    });
  } catch (const std::system_error& error) {
    made->set_value(error.code().value());
  }
  int code = result.get();
  if (code != 0) {
    --worker->live;
    state_->group.live.fetch_sub(1, std::memory_order_seq_cst);
    state_->group.active.fetch_sub(1, std::memory_order_seq_cst);
    raw->ended = true;
    SetLastErrorCode(code);
    return nullptr;
  }
  return raw;
}

bool Dispatcher::Run() {
  DispatcherGroup& group = state_->group;
  if (!state_->running) {
    state_->running = true;
    group.active.fetch_sub(1, std::memory_order_seq_cst);
  }
  // Every worker looks again: for a stall now that the caller runs, or at
  // what woke its fibers after one.
  group.stalled.store(false, std::memory_order_seq_cst);
  group.KickAll();
  state_->home.Loop(true);
  ReleaseThreadContext();
  {
    std::unique_lock<std::mutex> hold(group.doneLock);
    group.done.wait(hold, [&] {
      return group.live.load(std::memory_order_seq_cst) == 0 ||
             group.stalled.load(std::memory_order_seq_cst);
    });
  }
  if (group.live.load(std::memory_order_seq_cst) != 0) return false;
  for (std::thread& thread : state_->threads)
    if (thread.joinable()) thread.join();
  return true;
}

void Dispatcher::EndParked() {
  for (auto& fiber : state_->fibers) {
    if (fiber->ended || fiber->worker != &state_->home) continue;
    fiber->endRequested.store(true, std::memory_order_seq_cst);
    fiber->endAnywhere = true;
  }
  // Ends fibers of the home worker here; those of their own threads at
  // their next look at the inbox.
  Worker* saved = t_worker;
  t_worker = &state_->home;
  for (auto& fiber : state_->fibers)
    if (!fiber->ended && fiber->worker == &state_->home) state_->home.EndWhereParked(fiber.get());
  t_worker = saved;
  for (auto& worker : state_->ownWorkers)
    for (auto& fiber : state_->fibers)
      if (fiber->worker == worker.get() && !fiber->ended) {
        fiber->endAnywhere = true;
        fiber->endRequested.store(true, std::memory_order_seq_cst);
        worker->PostEndCheck(fiber.get());
      }
}

bool Dispatcher::Discard(Handle handle) {
  if (handle == nullptr || handle->kind != ObjectKind::kFiber) return false;
  auto* fiber = static_cast<FiberObject*>(handle);
  Worker& home = state_->home;
  if (fiber->worker != &home || fiber->ended || fiber->started) return false;
  // Out of the ready queue, where every fiber waits before its first turn.
  std::vector<FiberObject*> others;
  while (FiberObject* ready = home.PopReady())
    if (ready != fiber) others.push_back(ready);
  for (FiberObject* ready : others) home.MakeReady(ready);
  fiber->ended = true;
  --home.live;
  state_->group.live.fetch_sub(1, std::memory_order_seq_cst);
  state_->group.active.fetch_sub(1, std::memory_order_seq_cst);
  FreeContext(fiber->context);
  fiber->context = nullptr;
  return true;
}

bool Dispatcher::IsParked(Handle fiber) {
  if (fiber == nullptr || fiber->kind != ObjectKind::kFiber) return false;
  auto* object = static_cast<FiberObject*>(fiber);
  return !object->ended && object->parked.load(std::memory_order_acquire);
}

}  // namespace ductrine::platform

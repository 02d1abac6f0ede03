// Fiber contexts on boost.context: a guarded stack from mmap (reserved, not
// committed: a pipeline of thousands of stages costs only the pages its
// stages touch) and boost's fcontext switch, with the sanitizers told of
// every switch so that they follow the stacks.

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/fiber.hpp>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/dispatch/context.h"

#if defined(__SANITIZE_ADDRESS__)
#define DUCTRINE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DUCTRINE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define DUCTRINE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DUCTRINE_TSAN 1
#endif
#endif
#if defined(DUCTRINE_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(DUCTRINE_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace ductrine::platform {

struct Context {
  boost::context::fiber fiber;
  ContextEntry entry = nullptr;
  void* argument = nullptr;
  void* mapBase = nullptr;
  std::size_t mapLength = 0;
  const void* stackBottom = nullptr;
  std::size_t stackSize = 0;
  void* asanFakeStack = nullptr;
  void* tsanFiber = nullptr;
  bool isThread = false;
};

namespace {

// The context that switched last on this thread: the one that receives the
// suspended fiber when the switch arrives.
thread_local Context* t_switchedFrom = nullptr;
thread_local Context* t_threadContext = nullptr;

void FinishSwitch([[maybe_unused]] Context* self, [[maybe_unused]] bool fresh) {
#if defined(DUCTRINE_ASAN)
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(fresh ? nullptr : self->asanFakeStack, &bottom, &size);
  // The thread's own stack is learnt from the first switch away from it.
  Context* from = t_switchedFrom;
  if (from && from->isThread && from->stackBottom == nullptr) {
    from->stackBottom = bottom;
    from->stackSize = size;
  }
#endif
}

void StartSwitch([[maybe_unused]] Context* from, [[maybe_unused]] Context* to,
                 [[maybe_unused]] bool ending) {
#if defined(DUCTRINE_ASAN)
  __sanitizer_start_switch_fiber(ending ? nullptr : &from->asanFakeStack, to->stackBottom,
                                 to->stackSize);
#endif
#if defined(DUCTRINE_TSAN)
  __tsan_switch_to_fiber(to->tsanFiber, 0);
#endif
}

// Hands boost a stack whose bounds we know; the memory is freed by
// FreeContext, since boost releases it while still running on it.
struct KnownStack {
  Context* context;
  boost::context::stack_context allocate() {
    boost::context::stack_context stack;
    stack.size = context->stackSize;
    stack.sp = static_cast<char*>(const_cast<void*>(context->stackBottom)) + context->stackSize;
    return stack;
  }
  void deallocate(boost::context::stack_context&) noexcept {}
};

}  // namespace

Context* ThreadContext() {
  if (t_threadContext == nullptr) {
    t_threadContext = new Context();
    t_threadContext->isThread = true;
#if defined(DUCTRINE_TSAN)
    t_threadContext->tsanFiber = __tsan_get_current_fiber();
#endif
  }
  return t_threadContext;
}

void ReleaseThreadContext() {
  delete t_threadContext;
  t_threadContext = nullptr;
}

Context* NewContext(std::size_t stackSize, ContextEntry entry, void* argument) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  stackSize = (stackSize + page - 1) / page * page;
  const std::size_t length = stackSize + page;  // the guard page below the stack
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (mprotect(base, page, PROT_NONE) != 0) {
    int code = errno;
    munmap(base, length);
    errno = code;
    return nullptr;
  }
#if defined(DUCTRINE_ASAN)
  // A recycled range may still carry the red zones of frames that never
  // returned on an earlier fiber's stack.
  __asan_unpoison_memory_region(base, length);
#endif
  auto context = std::make_unique<Context>();
  context->entry = entry;
  context->argument = argument;
  context->mapBase = base;
  context->mapLength = length;
  context->stackBottom = static_cast<char*>(base) + page;
  context->stackSize = stackSize;
  Context* self = context.get();
  try {
    context->fiber = boost::context::fiber(
        std::allocator_arg, KnownStack{self},
        [self](boost::context::fiber&& caller) -> boost::context::fiber {
          FinishSwitch(self, true);
          t_switchedFrom->fiber = std::move(caller);
          Context* next = self->entry(self->argument);
          t_switchedFrom = self;
          StartSwitch(self, next, true);
          return std::move(next->fiber);
        });
  } catch (...) {
    munmap(base, length);
    errno = ENOMEM;
    return nullptr;
  }
#if defined(DUCTRINE_TSAN)
  context->tsanFiber = __tsan_create_fiber(0);
#endif
  return context.release();
}

void FreeContext(Context* context) {
  if (context == nullptr) return;
  // A fiber that never ran still holds its start frame; dropping the handle
  // would unwind it through boost, so it is released without a switch.
  context->fiber = {};
#if defined(DUCTRINE_TSAN)
  if (context->tsanFiber) __tsan_destroy_fiber(context->tsanFiber);
#endif
  if (context->mapBase) {
#if defined(DUCTRINE_ASAN)
    __asan_unpoison_memory_region(context->mapBase, context->mapLength);
#endif
    munmap(context->mapBase, context->mapLength);
  }
  delete context;
}

void SwitchContext(Context* from, Context* to) {
  t_switchedFrom = from;
  StartSwitch(from, to, false);
  boost::context::fiber suspended = std::move(to->fiber).resume();
  FinishSwitch(from, false);
  t_switchedFrom->fiber = std::move(suspended);
}

}  // namespace ductrine::platform

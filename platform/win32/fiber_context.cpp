// Fiber contexts on the Win32 fibers API. The system reserves each stack
// with a guard page and commits it as it grows. A fiber routine must never
// return (that would end the thread), so it ends by switching away.

#include "platform/dispatch/context.h"
#include "platform/win32/object.h"

namespace ductrine::platform {

struct Context {
  void* fiber = nullptr;
  ContextEntry entry = nullptr;
  void* argument = nullptr;
  bool converted = false;  // the thread was made a fiber for us
};

namespace {

thread_local Context* t_threadContext = nullptr;

// The thread's fiber when it was one already. GetCurrentFiber reads the
// thread's own block through gs:, which GCC takes for an array out of bounds.
void* FiberOfThread() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
  return GetCurrentFiber();
#pragma GCC diagnostic pop
}

// A fiber's first commit; the rest of its reservation is committed on use.
constexpr SIZE_T kInitialCommit = 16 * 1024;

void WINAPI FiberStart(void* argument) {
  auto* self = static_cast<Context*>(argument);
  Context* next = self->entry(self->argument);
  SwitchToFiber(next->fiber);
}

}  // namespace

Context* ThreadContext() {
  if (t_threadContext == nullptr) {
    auto* context = new Context();
    context->fiber = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
    context->converted = context->fiber != nullptr;
    if (!context->converted) context->fiber = FiberOfThread();  // a fiber already
    t_threadContext = context;
  }
  return t_threadContext;
}

void ReleaseThreadContext() {
  if (t_threadContext == nullptr) return;
  if (t_threadContext->converted) ConvertFiberToThread();
  delete t_threadContext;
  t_threadContext = nullptr;
}

Context* NewContext(std::size_t stackSize, ContextEntry entry, void* argument) {
  auto* context = new Context();
  context->entry = entry;
  context->argument = argument;
  context->fiber =
      CreateFiberEx(kInitialCommit, stackSize, FIBER_FLAG_FLOAT_SWITCH, FiberStart, context);
  if (context->fiber == nullptr) {
    delete context;
    return nullptr;
  }
  return context;
}

void FreeContext(Context* context) {
  if (context == nullptr) return;
  if (context->fiber) DeleteFiber(context->fiber);
  delete context;
}

void SwitchContext(Context*, Context* to) { SwitchToFiber(to->fiber); }

}  // namespace ductrine::platform

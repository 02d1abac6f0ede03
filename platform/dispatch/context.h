// The machine context of a fiber: its stack and the user-mode switch. Each
// flavour has one implementation (boost.context on POSIX, the Win32 fibers
// API on Windows); nothing else in the system touches the switch primitive.
// Private to platform/. A context is used only on the thread that made it.
#pragma once

#include <cstddef>

namespace ductrine::platform {

struct Context;

// What a fiber runs; it returns the context to switch to as the fiber ends.
using ContextEntry = Context* (*)(void* argument);

// The calling thread's own context, for switching back to it. Made once per
// thread; ReleaseThreadContext undoes what it needed (Windows: the thread
// stops being a fiber).
Context* ThreadContext();
void ReleaseThreadContext();

// A new context with a guarded, lazily committed stack of `stackSize`
// bytes; null when the stack or context cannot be had (error code set).
Context* NewContext(std::size_t stackSize, ContextEntry entry, void* argument);
// Frees a context whose entry has returned, or that never ran.
void FreeContext(Context* context);

// Switches from the running context `from` to `to`. Returns when some
// context switches back to `from`.
void SwitchContext(Context* from, Context* to);

}  // namespace ductrine::platform

// Waits that may last as long as a person or another process takes (a typed
// line, a console lock that another process holds), made off the dispatcher
// so that the other fibers of the thread go on. Private to platform/; both
// flavours use it.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace ductrine::platform {

// A wake that a thread of our own gives to the fiber (or plain thread) that
// waits for it. The waiting fiber counts as able to make progress, so no
// stall is reported while it waits. Shared between the two sides.
class OutsideWake {
 public:
  OutsideWake();
  ~OutsideWake();
  OutsideWake(const OutsideWake&) = delete;
  OutsideWake& operator=(const OutsideWake&) = delete;

  // Returns once Give has been called. On a fiber it may throw FiberEnd when
  // the fiber is being ended before the wake comes: the wake is then refused
  // to the giver.
  void Wait();
  // Wakes the waiter; false when it has been ended meanwhile (and the giver
  // must undo what the waiter would have owned).
  bool Give();

 private:
  struct State;
  State* state_;
};

// True when the caller is a fiber that shares its thread with other fibers,
// which a wait on the thread would stop.
bool HasCompany();

// Runs `work` on a thread of its own while the calling fiber waits; on a
// plain thread, on a fiber alone on its thread, or when no thread can be
// had, runs it on the caller. When the
// fiber is ended while it waits, `undo` runs once `work` has returned (on the
// helper thread) and the end goes on; `work` must own what it uses, since the
// caller's frame may be gone by then.
void WaitOffDispatcher(std::function<void()> work, std::function<void()> undo = {});

// Reads a typed line into `line` with `read` (the flavour's own terminal
// read) off the dispatcher: the user may take long to answer, and only the
// stages that wait for the console lock pause meanwhile. One read at a time
// in the process, so that two never share the characters of one line.
// The result of `read`.
bool ReadLineOffDispatcher(bool (*read)(std::string*), std::string* line);

}  // namespace ductrine::platform

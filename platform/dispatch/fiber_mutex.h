// The in-process side of a named mutex: recursive per fiber (two stages on
// one dispatcher thread must still exclude each other), per thread for plain
// threads. A fiber that cannot take it parks; a plain thread sleeps. Private
// to platform/; each flavour's NamedMutex wraps one and adds, for the
// console lock, what other processes on the console meet at (Windows: the
// kernel's mutex; POSIX: a lock on a file).
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/wait_list.h"

namespace ductrine::platform {

class FiberMutex {
 public:
  // `first` runs when the process takes the mutex from free (on the taking
  // thread), `last` when it gives it back (on the same thread). When `first`
  // throws (a fiber ended while it waits), the mutex is free again.
  void Acquire(void (*first)(void*) = nullptr, void* argument = nullptr);
  // False when the caller does not own it.
  bool Release(void (*last)(void*) = nullptr, void* argument = nullptr);

 private:
  bool TryTake(const void* me);

  WaitList fibers_;  // its lock guards owner_ and count_ too
  const void* owner_ = nullptr;
  unsigned count_ = 0;
  bool ownerIsThread_ = false;
  std::mutex threadLock_;
  std::condition_variable threadWake_;
  unsigned threadWaiters_ = 0;  // guarded by threadLock_
};

}  // namespace ductrine::platform

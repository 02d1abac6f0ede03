#include "platform/dispatch/off_dispatcher.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/dispatch/fiber.h"

namespace ductrine::platform {

struct OutsideWake::State {
  WaitList fibers;  // its lock guards the flags too
  bool given = false;
  bool refused = false;  // the waiter was ended before the wake came
  std::mutex threadLock;  // a plain thread's wait
  std::condition_variable threadWake;
};

OutsideWake::OutsideWake() : state_(new State) {}

OutsideWake::~OutsideWake() { delete state_; }

void OutsideWake::Wait() {
  State& s = *state_;
  if (FiberObject* self = RunningFiber()) {
    try {
      for (;;) {
        bool given = false;
        s.fibers.Park(self, [&] { return given = s.given; }, true);
        if (given) return;
      }
    } catch (const FiberEnd&) {
      {
        std::lock_guard<SpinLock> hold(s.fibers.lock);
        if (!s.given) s.refused = true;
      }
      // An end asked for after the wake came is still pending, and comes at
      // the fiber's next wait: this wait is over, and what it was given the
      // caller owns.
      if (s.refused) throw;
    }
    return;
  }
  std::unique_lock<std::mutex> hold(s.threadLock);
  s.threadWake.wait(hold, [&] {
    std::lock_guard<SpinLock> flags(s.fibers.lock);
    return s.given;
  });
}

bool OutsideWake::Give() {
  State& s = *state_;
  bool refused = false;
  {
    std::lock_guard<std::mutex> hold(s.threadLock);
    s.fibers.WakeAll([&] {
      refused = s.refused;
      s.given = !refused;
    });
  }
  s.threadWake.notify_all();
  return !refused;
}

bool HasCompany() {
  FiberObject* self = RunningFiber();
  return self != nullptr && self->worker->live > 1;
}

void WaitOffDispatcher(std::function<void()> work, std::function<void()> undo) {
  // A fiber alone on its thread (a stage run with a thread of its own) stops
  // no other by waiting where it is.
  if (!HasCompany()) {
    work();
    return;
  }
  struct Job {
    std::function<void()> work;
    std::function<void()> undo;
    OutsideWake done;
  };
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  job->undo = std::move(undo);
  try {
    std::thread([job] {
      job->work();
      if (!job->done.Give() && job->undo) job->undo();
    }).detach();
  } catch (const std::system_error&) {
    job->work();
    return;
  }
  job->done.Wait();
}

bool ReadLineOffDispatcher(bool (*read)(std::string*), std::string* line) {
  line->clear();
  struct Answer {
    std::string line;
    bool got = false;
  };
  // Owned by the helper too: an ended fiber's frame may be gone before it returns.
  auto answer = std::make_shared<Answer>();
  WaitOffDispatcher([answer, read] {
    static std::mutex oneReader;
    std::lock_guard<std::mutex> hold(oneReader);
    answer->got = read(&answer->line);
  });
  *line = std::move(answer->line);
  return answer->got;
}

}  // namespace ductrine::platform

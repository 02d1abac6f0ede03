// Reads that can block without limit, made off the dispatcher: a thread of
// the reader's own reads one block at a time while the fiber that asked
// waits, counted as able to make progress (its wake comes from our thread).

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/fiber.h"

namespace ductrine::platform {

struct BlockingReader::State {
  ReadFunction read;
  Handle thread = nullptr;
  std::mutex lock;
  std::condition_variable asked;
  char* buffer = nullptr;  // the request, guarded by lock
  std::size_t size = 0;
  bool requested = false;
  bool stopping = false;
  WaitList done;  // the answer, guarded by done.lock
  bool finished = false;
  long result = 0;
  int error = 0;

  void Serve() {
    for (;;) {
      char* into = nullptr;
      std::size_t room = 0;
      {
        std::unique_lock<std::mutex> hold(lock);
        asked.wait(hold, [this] { return requested || stopping; });
        if (stopping) return;
        requested = false;
        into = buffer;
        room = size;
      }
      long got = 0;
      {
        // The one place where the reader may be ended, as the stage that
        // waits for it is.
        CancellableRegion endable;
        got = read(into, room);
      }
      const int code = LastErrorCode();
      done.WakeAll([&] {
        result = got;
        error = code;
        finished = true;
      });
    }
  }
};

BlockingReader::BlockingReader(ReadFunction read) : state_(new State()) {
  state_->read = std::move(read);
}

BlockingReader::~BlockingReader() {
  if (state_->thread) {
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      state_->stopping = true;
    }
    state_->asked.notify_one();
    TerminateThreadAt(state_->thread);
    JoinThread(state_->thread);
    CloseObject(state_->thread);
  }
  delete state_;
}

long BlockingReader::Read(char* buffer, std::size_t size) {
  FiberObject* self = RunningFiber();
  if (self == nullptr) return state_->read(buffer, size);
  if (state_->thread == nullptr) {
    State* state = state_;
    state_->thread = StartThread([state] { state->Serve(); });
    if (state_->thread == nullptr) return -1;  // error code set by the start
  }
  {
    std::lock_guard<SpinLock> hold(state_->done.lock);
    state_->finished = false;
  }
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->buffer = buffer;
    state_->size = size;
    state_->requested = true;
  }
  state_->asked.notify_one();
  state_->done.Park(self, [this] { return state_->finished; }, true);
  long result = 0;
  {
    std::lock_guard<SpinLock> hold(state_->done.lock);
    result = state_->result;
    SetLastErrorCode(state_->error);
  }
  return result;
}

}  // namespace ductrine::platform

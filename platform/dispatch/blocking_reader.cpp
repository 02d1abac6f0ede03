// Reads that can block without limit, made off the dispatcher: a thread of
// the reader's own reads one block at a time into a buffer of the reader's,
// while the fibers that asked wait, counted as able to make progress (their
// wake comes from that thread). Callers take from the buffer, so a caller
// that is ended while it waits loses nothing: the bytes stay for the next.

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/dispatch/fiber.h"

namespace ductrine::platform {
namespace {

constexpr std::size_t kBlock = 64 * 1024;

}  // namespace

struct BlockingReader::State {
  ReadFunction read;
  // The request to the reader thread, guarded by lock.
  std::mutex lock;
  std::condition_variable asked;
  Handle thread = nullptr;
  bool requested = false;
  bool stopping = false;
  // Filled by whoever reads (the thread, or a plain-thread caller) while
  // inFlight is set, and by nobody else.
  std::string incoming;
  // What has been read and not yet taken; guarded by done.lock.
  WaitList done;
  std::string data;
  std::size_t taken = 0;
  bool inFlight = false;
  bool atEnd = false;
  bool failed = false;
  int error = 0;
  unsigned long generation = 0;  // moves with every answer

  // Under done.lock: the answer of one read.
  void Deliver(long got, int code) {
    if (got > 0) {
      if (taken == data.size()) {
        data.swap(incoming);
        data.resize(static_cast<std::size_t>(got));
      } else {
        data.erase(0, taken);
        data.append(incoming.data(), static_cast<std::size_t>(got));
      }
      taken = 0;
    } else if (got == 0) {
      atEnd = true;  // the end is the end for every caller
    } else {
      failed = true;  // given to one caller; the next one reads again
      error = code;
    }
    inFlight = false;
    ++generation;
  }

  // Under done.lock, with no data to hand out: a failure goes to this one
  // caller (-1); the end is 0 for every caller. False: keep waiting.
  bool NothingToTake(long* result, int* code) {
    if (failed) {
      failed = false;
      *code = error;
      *result = -1;
      return true;
    }
    *result = 0;
    return atEnd;
  }

  long ReadOnce() {
    incoming.resize(kBlock);
    CancellableRegion endable;  // where the reader may be ended, as its caller is
    return read(incoming.data(), incoming.size());
  }

  void Serve() {
    for (;;) {
      {
        std::unique_lock<std::mutex> hold(lock);
        asked.wait(hold, [this] { return requested || stopping; });
        if (stopping) return;
        requested = false;
      }
      const long got = ReadOnce();
      const int code = LastErrorCode();
      done.WakeAll([&] { Deliver(got, code); });
    }
  }

  // Hands the read to the thread, started on first use. False (error code
  // set) when no thread can be had; the read is then not in flight.
  bool Ask() {
    std::lock_guard<std::mutex> hold(lock);
    if (thread == nullptr) {
      State* self = this;
      thread = StartThread([self] { self->Serve(); });
      if (thread == nullptr) {
        const int code = LastErrorCode();
        done.WakeAll([&] { inFlight = false; });
        SetLastErrorCode(code);
        return false;
      }
    }
    requested = true;
    asked.notify_one();
    return true;
  }

  // Calls take(&result) under done.lock until it answers, reading more
  // between the calls. One read at a time is in flight, for every caller.
  template <class Take>
  long Await(Take take) {
    FiberObject* self = RunningFiber();
    for (;;) {
      long result = 0;
      int code = 0;
      bool answered = false, ask = false;
      unsigned long seen = 0;
      {
        std::lock_guard<SpinLock> hold(done.lock);
        answered = take(&result, &code);
        if (!answered && !inFlight) inFlight = ask = true;
        seen = generation;
      }
      if (answered) {
        if (result < 0) SetLastErrorCode(code);
        return result;
      }
      if (self == nullptr) {
        if (ask) {
          // A plain thread reads on its own thread; should it be ended in
          // the read, the read is no longer in flight.
          struct Unwind {
            State* state;
            bool delivered = false;
            ~Unwind() {
              if (!delivered) state->done.WakeAll([this] { state->inFlight = false; });
            }
          } unwind{this};
          const long got = ReadOnce();
          const int error = LastErrorCode();
          unwind.delivered = true;
          done.WakeAll([&] { Deliver(got, error); });
        } else {
          std::this_thread::yield();  // another's read is in flight
        }
        continue;
      }
      if (ask && !Ask()) return -1;
      done.Park(self, [this, seen] { return generation != seen; }, true);
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
  State& s = *state_;
  return s.Await([&](long* result, int* code) {
    const std::size_t left = s.data.size() - s.taken;
    if (left > 0 || size == 0) {
      const std::size_t n = std::min(left, size);
      std::memcpy(buffer, s.data.data() + s.taken, n);
      s.taken += n;
      *result = static_cast<long>(n);
      return true;
    }
    return s.NothingToTake(result, code);
  });
}

long BlockingReader::ReadLine(std::string* line, std::size_t most) {
  State& s = *state_;
  most = std::max<std::size_t>(most, 1);
  return s.Await([&](long* result, int* code) {
    const std::size_t left = s.data.size() - s.taken;
    const char* from = s.data.data() + s.taken;
    const std::size_t window = std::min(left, most);
    const void* end = window > 0 ? std::memchr(from, '\n', window) : nullptr;
    std::size_t n = 0;
    if (end != nullptr) {
      n = static_cast<std::size_t>(static_cast<const char*>(end) - from) + 1;
    } else if (left >= most || (s.atEnd && left > 0)) {
      n = window;  // a line longer than asked for, or the last one without a line feed
    }
    if (n > 0) {
      line->append(from, n);
      s.taken += n;
      // A line of 2 GiB or more still counts as read where a long has 32 bits.
      *result = static_cast<long>(std::min<std::size_t>(n, LONG_MAX));
      return true;
    }
    return s.NothingToTake(result, code);
  });
}

}  // namespace ductrine::platform

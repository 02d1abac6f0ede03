// A field that one stage thread writes while others read it. The named
// events give the ordering between stages; the relaxed atomic only keeps the
// concurrent reads defined. Same size as the plain field it stands for.
#pragma once

#include <atomic>

namespace ductrine {

template <class T>
class Relaxed {
 public:
  Relaxed(T value = T{}) : value_(value) {}
  Relaxed(const Relaxed& other) : value_(other.load()) {}
  Relaxed& operator=(const Relaxed& other) {
    store(other.load());
    return *this;
  }
  Relaxed& operator=(T value) {
    store(value);
    return *this;
  }
  operator T() const { return load(); }

  T load() const { return value_.load(std::memory_order_relaxed); }
  void store(T value) { value_.store(value, std::memory_order_relaxed); }
  // Counters: each has one writer, so a load and a store are exact and
  // cost no locked instruction.
  T Add(T delta) {
    T value = load() + delta;
    store(value);
    return value;
  }
  std::atomic<T>& Atomic() { return value_; }

 private:
  std::atomic<T> value_;
};

static_assert(sizeof(Relaxed<unsigned>) == sizeof(unsigned));
static_assert(sizeof(Relaxed<unsigned char>) == sizeof(unsigned char));

}  // namespace ductrine

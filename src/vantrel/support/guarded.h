// A value behind a leaf lock that remembers a holder's failure (a "poisoned" lock).
#pragma once

#include <mutex>
#include <utility>

#include "vantrel/support/check.h"

namespace vantrel {

// C++ mutexes do not poison, so the guard does it itself: when the function run under the
// lock throws (for example bad_alloc while a value is copied or replaced), the value may be
// half-changed; the guard marks itself poisoned and every later access stops with Panic and
// the guard's fixed message instead of reading that value. The lock is held only while the
// given function runs, and nothing else may be locked or awaited inside it.
template <class T>
class Guarded {
 public:
  Guarded(const char* poisoned_message, T value)
      : poisoned_message_(poisoned_message), value_(std::move(value)) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // Runs `f(value)` under the lock and returns what it returns.
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard lock(mutex_);
    check(!poisoned_, poisoned_message_);
    try {
      return std::forward<F>(f)(value_);
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  // Marks the guard poisoned, as a failed holder would; for tests of the stop.
  void poison() {
    std::lock_guard lock(mutex_);
    poisoned_ = true;
  }

 private:
  const char* poisoned_message_;
  std::mutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace vantrel

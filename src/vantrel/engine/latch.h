// A one-shot result cell that any number of waiters can wait on, before or after it is set.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <utility>

#include "vantrel/runtime/notifier.h"
#include "vantrel/support/guarded.h"

namespace vantrel {

// A one-shot result cell: `set` stores a value and wakes every waiter; `wait` returns it,
// waiting until there is one, as often as asked and by any number of waiters at once. The
// stored value is shared, never moved out. Thread-safe. A failure while its lock was held stops
// later calls with "latch poisoned".
template <class T>
class Latch {
 public:
  Latch() = default;
  Latch(const Latch&) = delete;
  Latch& operator=(const Latch&) = delete;

  // Stores `value` (replacing an earlier one), then wakes the waiters registered now.
  void set(T value) {
    auto shared = std::make_shared<const T>(std::move(value));
    value_.with([&](std::shared_ptr<const T>& held) { held.swap(shared); });
    // The earlier value, if any, is released here, outside the lock.
    shared.reset();
    notify_.notify_waiters();
  }

  // The stored value, shared; waits until there is one. Null when the wait was stopped through
  // its cancellation slot first.
  boost::asio::awaitable<std::shared_ptr<const T>> wait_shared() const {
    for (;;) {
      // Registered before the look, so a set between the look and the wait still wakes us.
      auto epoch = notify_.epoch();
      if (auto held = get()) co_return held;
      if (!co_await notify_.wait(epoch)) co_return nullptr;
    }
  }

  // A copy of the stored value; waits until there is one. None when stopped as wait_shared is.
  boost::asio::awaitable<std::optional<T>> wait() const {
    auto held = co_await wait_shared();
    if (!held) co_return std::nullopt;
    co_return T(*held);
  }

  // The stored value, shared, or null when none is stored yet. Never waits.
  std::shared_ptr<const T> get() const {
    return value_.with([](const std::shared_ptr<const T>& held) { return held; });
  }

  // Marks the lock poisoned, as a failed holder would, and wakes every waiter, so that they
  // stop with "latch poisoned" instead of waiting for a value that will never come. Used when
  // the task that was to set the latch failed.
  void poison() {
    value_.poison();
    notify_.notify_waiters();
  }

 private:
  mutable Guarded<std::shared_ptr<const T>> value_{"latch poisoned", nullptr};
  runtime::Notifier notify_;
};

// Waits on a shared latch for its stored value, holding the share for the whole wait, so the
// waiter need not keep alive the handle the latch came from.
template <class T>
boost::asio::awaitable<std::shared_ptr<const T>> wait_shared(std::shared_ptr<Latch<T>> latch) {
  co_return co_await latch->wait_shared();
}

}  // namespace vantrel

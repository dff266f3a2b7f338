// A notifier: wakes coroutines that wait for "something changed, look again".
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <mutex>

#include "vantrel/runtime/wait_list.h"

namespace vantrel::runtime {

// Copies share one notifier. Thread-safe.
//
// A waiter that must not miss a notification sent between its look at some shared value and
// its wait takes the epoch first:
//
//   for (;;) {
//     auto epoch = notifier.epoch();
//     if (auto value = look()) co_return *value;
//     if (!co_await notifier.wait(epoch)) co_return std::nullopt;  // stopped
//   }
class Notifier {
 public:
  using Epoch = std::uint64_t;

  Notifier();

  // The count of notify_waiters calls so far.
  Epoch epoch() const;
  // Completes when notify_waiters has been called since `since` (at once if it already was), or
  // when this waiter takes a notify_one: true; false when the wait was stopped through its
  // cancellation slot first.
  boost::asio::awaitable<bool> wait(Epoch since) const;
  boost::asio::awaitable<bool> wait() const { return wait(epoch()); }

  // Wakes every current waiter; leaves nothing behind for later ones.
  void notify_waiters();
  // Wakes the oldest waiter, or, with none waiting, leaves one permit that the next wait takes.
  void notify_one();

 private:
  struct State {
    std::mutex mutex;
    Epoch epoch = 0;
    bool permit = false;
    detail::WaitList waiters{mutex};
  };
  std::shared_ptr<State> state_;
};

}  // namespace vantrel::runtime

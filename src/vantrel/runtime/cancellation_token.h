// A cancellation token: a one-way flag that any thread may raise and coroutines may await.
#pragma once

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <memory>
#include <mutex>

#include "vantrel/runtime/wait_list.h"

namespace vantrel::runtime {

// Copies share one flag. Tokens are roots: no token cancels another. Thread-safe.
class CancellationToken {
 public:
  CancellationToken();

  // Raises the flag and wakes every waiter. Only the first call changes anything.
  void cancel() const;
  bool is_cancelled() const;
  // Completes once the token is cancelled: at once if it already is.
  boost::asio::awaitable<void> cancelled() const;

 private:
  struct State {
    std::mutex mutex;
    std::atomic<bool> cancelled{false};
    detail::WaitList waiters{mutex};
  };
  std::shared_ptr<State> state_;
};

}  // namespace vantrel::runtime

// A cancellation token: a one-way flag that any thread may raise and coroutines may await.
#pragma once

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "vantrel/runtime/wait_list.h"

namespace vantrel::runtime {

// Copies share one flag. A token runs an action on its cancel (another token's cancel, say) only
// through a Forwarding. Thread-safe.
class CancellationToken {
  struct State;

 public:
  // While alive, a cancel of the token it was made from runs its action. Dropping it ends the
  // forwarding. It costs no task and no wait: the cancel itself
  // passes it on.
  class Forwarding {
   public:
    Forwarding() = default;
    Forwarding(Forwarding&& other) noexcept
        : from_(std::move(other.from_)), id_(std::exchange(other.id_, 0)) {}
    Forwarding& operator=(Forwarding&& other) noexcept;
    ~Forwarding() { stop(); }

   private:
    friend class CancellationToken;
    Forwarding(std::shared_ptr<State> from, std::uint64_t id) : from_(std::move(from)), id_(id) {}
    void stop();

    std::shared_ptr<State> from_;
    std::uint64_t id_ = 0;
  };

  CancellationToken();

  // Raises the flag and wakes every waiter, then runs the actions of its forwardings. Only the
  // first call changes anything.
  void cancel() const;
  bool is_cancelled() const;
  // Completes once the token is cancelled (at once if it already is): true; false when the wait
  // was stopped through its cancellation slot first.
  boost::asio::awaitable<bool> cancelled() const;
  // Runs `action` on the thread that cancels this token, once, outside the token's lock, while
  // the result lives; at once on this thread when the token is cancelled already. An action
  // that has begun may still be running as the result is dropped, so it holds what it uses.
  Forwarding on_cancel(std::function<void()> action) const;

 private:
  struct State {
    std::mutex mutex;
    std::atomic<bool> cancelled{false};
    detail::WaitList waiters{mutex};
    std::uint64_t last_forwarding = 0;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> forwardings;
  };
  std::shared_ptr<State> state_;
};

}  // namespace vantrel::runtime

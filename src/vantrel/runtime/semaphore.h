// A counting semaphore whose permits are owned by RAII handles.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "vantrel/runtime/wait_list.h"

namespace vantrel::runtime {

// Copies share one semaphore. Waiters are served first come, first served: a release goes to
// the oldest waiter, and a new acquire never overtakes one that waits. Thread-safe.
class Semaphore {
  struct State;

 public:
  // One permit taken from the semaphore; given back when dropped.
  class Permit {
   public:
    Permit(Permit&& other) noexcept : state_(std::move(other.state_)) {}
    Permit& operator=(Permit&&) = delete;
    ~Permit();

   private:
    friend class Semaphore;
    explicit Permit(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  explicit Semaphore(std::size_t permits);

  // Waits for a permit: none when the wait was stopped through its cancellation slot. Stops
  // with Panic "semaphore closed" once the semaphore is closed.
  boost::asio::awaitable<std::optional<Permit>> acquire() const;
  // Fails every waiting and later acquire; permits already out stay valid.
  void close();
  std::size_t available() const;

 private:
  struct State {
    std::mutex mutex;
    std::size_t permits;
    bool closed = false;
    detail::WaitList waiters{mutex};
    void release();
  };
  std::shared_ptr<State> state_;
};

}  // namespace vantrel::runtime

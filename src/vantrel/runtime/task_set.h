// A set of tasks whose results are taken in the order the tasks finish.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

#include "vantrel/runtime/wait_list.h"

namespace vantrel::runtime {

// How one task of a set ended: its value, or the exception that ended it abnormally.
template <class T>
struct Finished {
  std::optional<T> value;
  std::exception_ptr failure;
};

// Owned and drained by one coroutine. The tasks run on the given executor concurrently with
// each other and with the owner. Dropping the set does not stop its tasks: they run to their
// end and their results are discarded.
template <class T>
class TaskSet {
 public:
  explicit TaskSet(boost::asio::any_io_executor executor)
      : executor_(std::move(executor)), state_(std::make_shared<State>()) {}
  TaskSet(const TaskSet&) = delete;
  TaskSet& operator=(const TaskSet&) = delete;

  // Starts `task` at once.
  void spawn(boost::asio::awaitable<T> task) {
    {
      std::lock_guard lock(state_->mutex);
      ++state_->unjoined;
    }
    boost::asio::co_spawn(executor_, run(state_, std::move(task)), boost::asio::detached);
  }

  // Tasks started and not yet joined.
  std::size_t size() const {
    std::lock_guard lock(state_->mutex);
    return state_->unjoined;
  }

  // The next task to have finished, in finishing order, waiting while none has; none when
  // every task started has been joined, or when the wait was stopped through its cancellation
  // slot (nothing joined then).
  boost::asio::awaitable<std::optional<Finished<T>>> join_next() {
    auto state = state_;
    std::optional<Finished<T>> next;
    co_await detail::park_until(std::shared_ptr<detail::WaitList>(state, &state->joiners), [&] {
      if (!state->finished.empty()) {
        next.emplace(std::move(state->finished.front()));
        state->finished.pop_front();
        --state->unjoined;
        return true;
      }
      return state->unjoined == 0;
    });
    co_return next;
  }

 private:
  struct State {
    std::mutex mutex;
    std::size_t unjoined = 0;
    std::deque<Finished<T>> finished;
    detail::WaitList joiners{mutex};
  };

  static boost::asio::awaitable<void> run(std::shared_ptr<State> state,
                                          boost::asio::awaitable<T> task) {
    Finished<T> result;
    try {
      result.value.emplace(co_await std::move(task));
    } catch (...) {
      result.failure = std::current_exception();
    }
    std::lock_guard lock(state->mutex);
    state->finished.push_back(std::move(result));
    state->joiners.wake_first();
  }

  boost::asio::any_io_executor executor_;
  std::shared_ptr<State> state_;
};

}  // namespace vantrel::runtime

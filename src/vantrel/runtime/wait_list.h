// Coroutines parked until a runtime primitive (token, notifier, semaphore, channel) wakes them.
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace vantrel::runtime::detail {

// A parked coroutine: its completion handler and the executor it resumes on.
struct WakeHandler {
  template <class Handler>
  explicit WakeHandler(Handler handler)
      : executor(boost::asio::get_associated_executor(handler)), handler(std::move(handler)) {}
  boost::asio::any_io_executor executor;
  boost::asio::any_completion_handler<void(boost::system::error_code)> handler;
};

// Completes a parked waiter with `ec`, always through its own executor and never inline, so that
// a waker (which may hold a lock, or be a thread outside the runtime) never runs coroutine code.
void wake(WakeHandler waiter, boost::system::error_code ec = {});

// The parked waiters of one condition, oldest first. Every member must be called with the
// mutex held; the mutex belongs to the primitive and also guards the state the condition reads.
class WaitList {
 public:
  explicit WaitList(std::mutex& mutex) : mutex_(mutex) {}
  WaitList(const WaitList&) = delete;
  WaitList& operator=(const WaitList&) = delete;

  std::mutex& mutex() { return mutex_; }
  bool empty() const { return entries_.empty(); }
  std::uint64_t park(WakeHandler handler);
  std::optional<WakeHandler> remove(std::uint64_t id);
  // Wakes the oldest waiter with `ec`; false when there was none.
  bool wake_first(boost::system::error_code ec = {});
  void wake_all(boost::system::error_code ec = {});

 private:
  std::mutex& mutex_;
  std::uint64_t next_id_ = 0;
  // A list, not a deque: removing a waiter from the middle must not move the others, because
  // moving an any_completion_handler by assignment (as a deque's erase does) wraps it anew and
  // re-installs a handler in its cancellation slot, which may be the very slot now emitting.
  std::list<std::pair<std::uint64_t, WakeHandler>> entries_;
};

// Installed in a waiter's cancellation slot: takes the waiter out of its list and completes it
// with operation_aborted. It may run after the waiter was woken (it then finds nothing) and
// after the primitive is gone (the list is only weakly held).
struct CancelParked {
  std::weak_ptr<WaitList> list;
  std::uint64_t id;
  void operator()(boost::asio::cancellation_type_t type);
};

// Runs `try_now` under the list's mutex; when it returns false, parks the caller on the list
// (still under the mutex, so no wake-up between the look and the parking is missed).
template <class TryNow>
struct ParkInitiation {
  std::shared_ptr<WaitList>& list;
  TryNow& try_now;

  template <class Handler>
  void operator()(Handler handler) {
    auto slot = boost::asio::get_associated_cancellation_slot(handler);
    std::unique_lock lock(list->mutex());
    if (try_now()) {
      lock.unlock();
      wake(WakeHandler(std::move(handler)));
      return;
    }
    std::uint64_t id = list->park(WakeHandler(std::move(handler)));
    if (slot.is_connected()) slot.template emplace<CancelParked>(std::weak_ptr(list), id);
  }
};

// Parks the caller on `list` unless `try_now()` (called under the list's mutex) returns true.
// Result: success when `try_now` held or a waker woke the caller, else the waker's error, or
// operation_aborted when the caller was stopped through its cancellation slot (before or while
// it waited: a stopped caller takes nothing and is not parked). A stop is a value here, never an
// exception.
template <class TryNow>
boost::asio::awaitable<boost::system::error_code> park(std::shared_ptr<WaitList> list,
                                                       TryNow try_now) {
  // A stop stays in the coroutine's cancellation state: every wait after it ends at once, and
  // takes nothing even when it could.
  auto state = co_await boost::asio::this_coro::cancellation_state;
  if (state.cancelled() != boost::asio::cancellation_type::none)
    co_return boost::asio::error::operation_aborted;
  {
    std::lock_guard lock(list->mutex());
    if (try_now()) co_return boost::system::error_code{};
  }
  auto token = boost::asio::as_tuple(boost::asio::use_awaitable);
  auto [ec] =
      co_await boost::asio::async_initiate<decltype(token), void(boost::system::error_code)>(
          ParkInitiation<TryNow>{list, try_now}, token);
  co_return ec;
}

// Awaits until `try_now()` returns true, looking again after every wake-up; `try_now` may change
// the primitive's state (take a permit, pop an item) when it succeeds. A waker's error, or a
// stop (operation_aborted), ends the wait with that error.
template <class TryNow>
boost::asio::awaitable<boost::system::error_code> park_until(std::shared_ptr<WaitList> list,
                                                             TryNow try_now) {
  for (;;) {
    bool ready = false;
    auto ec = co_await park(list, [&] { return ready = try_now(); });
    if (ec || ready) co_return ec;
  }
}

// True for the error a stopped wait ends with.
inline bool is_stop(const boost::system::error_code& ec) {
  return ec == boost::asio::error::operation_aborted;
}

}  // namespace vantrel::runtime::detail

// Waiting for whichever of two awaitables finishes first, looking at the first one first.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace vantrel::runtime {

// From here on, a stop of the calling coroutine (its thread: the coroutines it awaits too) through
// its cancellation slot is not thrown at its next co_await, as Asio would: the runtime's waits end
// stopped as values, and the coroutine ends there. Every coroutine that may be stopped this way
// starts with it.
boost::asio::awaitable<void> stops_as_values();

// What select_first saw: the value of each awaitable. The one that finished first has its own;
// the other was stopped and has what its stop returns (each wait of the runtime ends stopped as a
// value: none, false, an empty batch), or a value of its own when it finished before the stop
// reached it (nothing taken from a channel is lost). A caller that handles `first` before
// `second` gives the first awaitable priority when both are ready.
template <class A, class B>
struct Selected {
  A first;
  B second;
};

namespace detail {

// The value of an awaitable<void>.
struct Done {};

template <class T>
using ValueOf = std::conditional_t<std::is_void_v<T>, Done, T>;

// Runs `a` for the group, which needs a default value (a branch that failed has none).
template <class T>
boost::asio::awaitable<std::optional<ValueOf<T>>> as_branch(boost::asio::awaitable<T> a) {
  co_await stops_as_values();
  if constexpr (std::is_void_v<T>) {
    co_await std::move(a);
    co_return Done{};
  } else {
    co_return co_await std::move(a);
  }
}

template <class A, class B>
boost::asio::awaitable<Selected<ValueOf<A>, ValueOf<B>>> select_on_strand(
    boost::asio::awaitable<A> a, boost::asio::awaitable<B> b) {
  auto strand = co_await boost::asio::this_coro::executor;
  auto [order, failure_a, value_a, failure_b, value_b] =
      co_await boost::asio::experimental::make_parallel_group(
          boost::asio::co_spawn(strand, as_branch(std::move(a)), boost::asio::deferred),
          boost::asio::co_spawn(strand, as_branch(std::move(b)), boost::asio::deferred))
          .async_wait(boost::asio::experimental::wait_for_one(), boost::asio::deferred);
  (void)order;
  if (failure_a) std::rethrow_exception(failure_a);
  if (failure_b) std::rethrow_exception(failure_b);
  co_return Selected<ValueOf<A>, ValueOf<B>>{std::move(*value_a), std::move(*value_b)};
}

}  // namespace detail

// Runs `a` and `b` at once and waits for the first to finish; the other is then stopped
// through its cancellation slot (the runtime's waits, channels, pipes and timers all stop that
// way without taking anything, and end with a value that says so) and waited for. `a` is
// started first. An awaitable<void> gives a `Done` value.
//
// Both run, and the group's own completions run, on one strand made for this call: the group
// stops the loser from the winner's completion, which must not overlap the loser's own steps.
// Each call makes its own strand, so selects nest freely: a branch may itself select. A failure
// of either is rethrown (the first awaitable's first); a stop is not a failure.
template <class A, class B>
boost::asio::awaitable<Selected<detail::ValueOf<A>, detail::ValueOf<B>>> select_first(
    boost::asio::awaitable<A> a, boost::asio::awaitable<B> b) {
  auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
  co_return co_await boost::asio::co_spawn(
      strand, detail::select_on_strand(std::move(a), std::move(b)), boost::asio::use_awaitable);
}

// Completes after `duration`: true, or false when stopped first through the caller's
// cancellation slot (a value, not an exception). A deadline past the clock's range saturates: no
// effective limit.
boost::asio::awaitable<bool> sleep_for(std::chrono::nanoseconds duration);

// As sleep_for, until `deadline`.
boost::asio::awaitable<bool> sleep_until(std::chrono::steady_clock::time_point deadline);

// The time `limit` after now, saturated at the clock's end: no effective limit.
std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds limit);

// True when the calling coroutine was stopped through its cancellation slot: for work whose
// waits end stopped as values, to tell its own stopped outcome from the one it reached.
boost::asio::awaitable<bool> was_stopped();

// The first exception of a bundle that Asio's awaitable operators made, however deeply bundled;
// any other exception as it is.
std::exception_ptr first_bundled(std::exception_ptr failure);

// `work`, stopped through its cancellation slot once `limit` has passed (work done when the limit
// passes still counts): its value, which tells by itself whether it was stopped.
template <class T>
boost::asio::awaitable<detail::ValueOf<T>> within(boost::asio::awaitable<T> work,
                                                  std::chrono::nanoseconds limit) {
  auto selected = co_await select_first(std::move(work), sleep_for(limit));
  co_return std::move(selected.first);
}

}  // namespace vantrel::runtime

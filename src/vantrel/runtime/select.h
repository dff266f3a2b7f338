// Waiting for whichever of two awaitables finishes first, looking at the first one first.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantrel::runtime {

// What select_first saw: each awaitable that finished with a value has it here. At least one
// is present; both are when both finished before the other could be stopped. A caller that
// handles `first` before `second` gives the first awaitable priority when both are ready.
template <class A, class B>
struct Selected {
  std::optional<A> first;
  std::optional<B> second;
};

namespace detail {

// The value of an awaitable<void>.
struct Done {};

template <class T>
using ValueOf = std::conditional_t<std::is_void_v<T>, Done, T>;

// Wraps the value so that a stopped branch can leave it empty (the group needs a default).
template <class T>
boost::asio::awaitable<std::optional<ValueOf<T>>> as_optional(boost::asio::awaitable<T> a) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(a);
    co_return Done{};
  } else {
    co_return co_await std::move(a);
  }
}

bool is_stop(const std::exception_ptr& failure);

template <class A, class B>
boost::asio::awaitable<Selected<ValueOf<A>, ValueOf<B>>> select_on_strand(
    boost::asio::awaitable<A> a, boost::asio::awaitable<B> b) {
  auto strand = co_await boost::asio::this_coro::executor;
  auto [order, failure_a, value_a, failure_b, value_b] =
      co_await boost::asio::experimental::make_parallel_group(
          boost::asio::co_spawn(strand, as_optional(std::move(a)), boost::asio::deferred),
          boost::asio::co_spawn(strand, as_optional(std::move(b)), boost::asio::deferred))
          .async_wait(boost::asio::experimental::wait_for_one(), boost::asio::deferred);
  // The one that finished first never stopped because of the other: its failure is real. The
  // other one's operation_aborted only says that it was stopped.
  bool a_first = order[0] == 0;
  if (failure_a && (a_first || !is_stop(failure_a))) std::rethrow_exception(failure_a);
  if (failure_b && (!a_first || !is_stop(failure_b))) std::rethrow_exception(failure_b);
  Selected<ValueOf<A>, ValueOf<B>> selected;
  if (!failure_a) selected.first = std::move(*value_a);
  if (!failure_b) selected.second = std::move(*value_b);
  co_return selected;
}

}  // namespace detail

// Runs `a` and `b` at once and waits for the first to finish; the other is then stopped
// through its cancellation slot (the runtime's waits, channels, pipes and timers all stop that
// way without taking anything) and waited for. `a` is started first. An awaitable<void> gives
// a present `Done` value.
//
// How the first one is looked at first: when the other awaitable also finished before it
// could be stopped, its value is kept too (nothing taken from a channel is lost), and the
// caller reads `first` before `second`. So when both are ready, `first` is always seen.
//
// Both run, and the group's own completions run, on one strand made for this call: the group
// stops the loser from the winner's completion, which must not overlap the loser's own steps.
// A failure of the winner, or a failure of the loser other than being stopped, is rethrown
// (the first awaitable's first).
template <class A, class B>
boost::asio::awaitable<Selected<detail::ValueOf<A>, detail::ValueOf<B>>> select_first(
    boost::asio::awaitable<A> a, boost::asio::awaitable<B> b) {
  auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
  co_return co_await boost::asio::co_spawn(
      strand, detail::select_on_strand(std::move(a), std::move(b)), boost::asio::use_awaitable);
}

// Completes after `duration`. A deadline past the clock's range saturates: no effective limit.
boost::asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration);

// `work` raced against a time limit, looked at first (so work done when the limit passes still
// counts): its value, or none when the limit passed first.
template <class T>
boost::asio::awaitable<std::optional<T>> within(boost::asio::awaitable<T> work,
                                                std::chrono::nanoseconds limit) {
  auto selected = co_await select_first(std::move(work), sleep_for(limit));
  co_return std::move(selected.first);
}

}  // namespace vantrel::runtime

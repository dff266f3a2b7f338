// Waiting for whichever of two awaitables finishes first, looking at the first one first.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/error.hpp>
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

// What a branch ended with: its value, or the operation_aborted that stopped it. The group
// needs a default (a branch that failed otherwise has neither).
template <class T>
struct Branch {
  std::optional<ValueOf<T>> value;
  std::exception_ptr stop;
};

// Runs `a` for the group. A stop is caught here, at the branch, and kept without being thrown
// again: the loser of every select is stopped, and each further throw of the same exception (out
// of the branch's task, and to look at it afterwards) is paid on every run of the engine.
template <class T>
boost::asio::awaitable<Branch<T>> as_branch(boost::asio::awaitable<T> a) {
  Branch<T> branch;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(a);
      branch.value = Done{};
    } else {
      branch.value = co_await std::move(a);
    }
  } catch (const boost::system::system_error& e) {
    if (e.code() != boost::asio::error::operation_aborted) throw;
    branch.stop = std::current_exception();
  }
  co_return branch;
}

template <class A, class B>
boost::asio::awaitable<Selected<ValueOf<A>, ValueOf<B>>> select_on_strand(
    boost::asio::awaitable<A> a, boost::asio::awaitable<B> b) {
  auto strand = co_await boost::asio::this_coro::executor;
  auto [order, failure_a, branch_a, failure_b, branch_b] =
      co_await boost::asio::experimental::make_parallel_group(
          boost::asio::co_spawn(strand, as_branch(std::move(a)), boost::asio::deferred),
          boost::asio::co_spawn(strand, as_branch(std::move(b)), boost::asio::deferred))
          .async_wait(boost::asio::experimental::wait_for_one(), boost::asio::deferred);
  // The one that finished first never stopped because of the other: its stop is real, as is
  // any other failure. The other one's stop only says that it was stopped.
  bool a_first = order[0] == 0;
  if (failure_a) std::rethrow_exception(failure_a);
  if (branch_a.stop && a_first) std::rethrow_exception(branch_a.stop);
  if (failure_b) std::rethrow_exception(failure_b);
  if (branch_b.stop && !a_first) std::rethrow_exception(branch_b.stop);
  co_return Selected<ValueOf<A>, ValueOf<B>>{std::move(branch_a.value), std::move(branch_b.value)};
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
// Each call makes its own strand, so selects nest freely: a branch may itself select. A failure
// of the winner, or a failure of the loser other than being stopped, is rethrown (the first
// awaitable's first).
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

// Throws operation_aborted when the calling coroutine was stopped through its cancellation
// slot: for work whose waits end stopped as values, but which has no value of its own once it
// is stopped from outside.
boost::asio::awaitable<void> pass_on_stop();

// The first exception of a bundle that Asio's awaitable operators made, however deeply bundled;
// any other exception as it is.
std::exception_ptr first_bundled(std::exception_ptr failure);

// `work` raced against a time limit, looked at first (so work done when the limit passes still
// counts): its value, or none when the limit passed first.
template <class T>
boost::asio::awaitable<std::optional<T>> within(boost::asio::awaitable<T> work,
                                                std::chrono::nanoseconds limit) {
  auto selected = co_await select_first(std::move(work), sleep_for(limit));
  co_return std::move(selected.first);
}

}  // namespace vantrel::runtime

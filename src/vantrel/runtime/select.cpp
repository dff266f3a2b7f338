// Waiting for the first of two awaitables.
#include "vantrel/runtime/select.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/multiple_exceptions.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

namespace vantrel::runtime {
namespace {

boost::asio::awaitable<bool> expiry_of(boost::asio::steady_timer& timer) {
  auto [ec] = co_await timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
  co_return !ec;
}

}  // namespace

boost::asio::awaitable<bool> sleep_for(std::chrono::nanoseconds duration) {
  // The timer's own arithmetic saturates a deadline beyond the clock's range.
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
  co_return co_await expiry_of(timer);
}

boost::asio::awaitable<bool> sleep_until(std::chrono::steady_clock::time_point deadline) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, deadline);
  co_return co_await expiry_of(timer);
}

std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::time_point::max() - now);
  if (limit >= room) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(limit);
}

boost::asio::awaitable<void> stops_as_values() {
  co_await boost::asio::this_coro::throw_if_cancelled(false);
}

boost::asio::awaitable<bool> was_stopped() {
  auto state = co_await boost::asio::this_coro::cancellation_state;
  co_return state.cancelled() != boost::asio::cancellation_type::none;
}

std::exception_ptr first_bundled(std::exception_ptr failure) {
  for (;;) {
    try {
      std::rethrow_exception(failure);
    } catch (const boost::asio::multiple_exceptions& bundle) {
      failure = bundle.first_exception();
    } catch (...) {
      return failure;
    }
  }
}

}  // namespace vantrel::runtime

// Waiting for the first of two awaitables.
#include "vantrel/runtime/select.h"

#include <boost/asio/steady_timer.hpp>

namespace vantrel::runtime {

boost::asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration) {
  // The timer's own arithmetic saturates a deadline beyond the clock's range.
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace vantrel::runtime

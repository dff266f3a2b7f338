// Waiting for the first of two awaitables.
#include "vantrel/runtime/select.h"

#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>

namespace vantrel::runtime::detail {

bool is_stop(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

}  // namespace vantrel::runtime::detail

namespace vantrel::runtime {

boost::asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration) {
  // The timer's own arithmetic saturates a deadline beyond the clock's range.
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace vantrel::runtime

// Waiting for the first of two awaitables.
#include "vantrel/runtime/select.h"

#include <boost/asio/error.hpp>

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

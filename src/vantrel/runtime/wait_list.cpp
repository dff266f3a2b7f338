// Parked coroutines of the runtime primitives.
#include "vantrel/runtime/wait_list.h"

#include <boost/asio/post.hpp>

namespace vantrel::runtime::detail {

void wake(WakeHandler waiter, boost::system::error_code ec) {
  boost::asio::post(waiter.executor, [handler = std::move(waiter.handler), ec]() mutable {
    std::move(handler)(ec);
  });
}

std::uint64_t WaitList::park(WakeHandler handler) {
  std::uint64_t id = next_id_++;
  entries_.emplace_back(id, std::move(handler));
  return id;
}

std::optional<WakeHandler> WaitList::remove(std::uint64_t id) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first != id) continue;
    std::optional<WakeHandler> handler(std::move(it->second));
    entries_.erase(it);
    return handler;
  }
  return std::nullopt;
}

bool WaitList::wake_first(boost::system::error_code ec) {
  if (entries_.empty()) return false;
  WakeHandler waiter = std::move(entries_.front().second);
  entries_.pop_front();
  wake(std::move(waiter), ec);
  return true;
}

void WaitList::wake_all(boost::system::error_code ec) {
  while (wake_first(ec)) {
  }
}

void CancelParked::operator()(boost::asio::cancellation_type_t type) {
  if (type == boost::asio::cancellation_type::none) return;
  auto parked = list.lock();
  if (!parked) return;
  std::optional<WakeHandler> handler;
  {
    std::lock_guard lock(parked->mutex());
    handler = parked->remove(id);
  }
  if (handler) wake(std::move(*handler), boost::asio::error::operation_aborted);
}

}  // namespace vantrel::runtime::detail

// The session handle's operations.
#include "vantrel/engine/session.h"

#include "vantrel/support/check.h"

namespace vantrel {

std::string session_thread_id(const SessionHandle& handle) { return handle.thread_id->get(); }

void session_cancel(const SessionHandle& handle) { handle.cancel.cancel(); }

runtime::Receiver<SharedEvent> session_take_events(SessionHandle& handle) {
  return take_event_stream(handle.events);
}

boost::asio::awaitable<std::optional<SharedEvent>> session_next_event(SessionHandle& handle) {
  if (!handle.events) co_return std::nullopt;
  // A queued event is taken at once, without the frames of a wait.
  if (auto event = handle.events->try_receive()) co_return event;
  co_return co_await handle.events->receive();
}

boost::asio::awaitable<Outcome> session_wait(const SessionHandle& handle) {
  auto outcome = co_await handle.latch->wait();
  if (!outcome) co_return Outcome{{}, RunError::cancelled()};
  co_return std::move(*outcome);
}

boost::asio::awaitable<std::shared_ptr<const Outcome>> session_wait_shared(
    const SessionHandle& handle) {
  return wait_shared(handle.latch);
}

}  // namespace vantrel

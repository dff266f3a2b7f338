// The cancellation token.
#include "vantrel/runtime/cancellation_token.h"

namespace vantrel::runtime {

CancellationToken::CancellationToken() : state_(std::make_shared<State>()) {}

void CancellationToken::cancel() const {
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled.exchange(true)) return;
  state_->waiters.wake_all();
}

bool CancellationToken::is_cancelled() const { return state_->cancelled.load(); }

boost::asio::awaitable<void> CancellationToken::cancelled() const {
  auto state = state_;
  co_await detail::park_until(std::shared_ptr<detail::WaitList>(state, &state->waiters),
                              [&state] { return state->cancelled.load(); });
}

}  // namespace vantrel::runtime

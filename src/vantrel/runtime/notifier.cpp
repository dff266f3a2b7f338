// The notifier.
#include "vantrel/runtime/notifier.h"

namespace vantrel::runtime {

Notifier::Notifier() : state_(std::make_shared<State>()) {}

Notifier::Epoch Notifier::epoch() const {
  std::lock_guard lock(state_->mutex);
  return state_->epoch;
}

boost::asio::awaitable<bool> Notifier::wait(Epoch since) const {
  auto state = state_;
  // Any wake-up ends the wait: both notify calls wake only waiters they mean to wake.
  auto ec = co_await detail::park(std::shared_ptr<detail::WaitList>(state, &state->waiters),
                                  [&state, since] {
                                    if (state->epoch != since) return true;
                                    if (!state->permit) return false;
                                    state->permit = false;
                                    return true;
                                  });
  co_return !ec;
}

void Notifier::notify_waiters() {
  std::lock_guard lock(state_->mutex);
  ++state_->epoch;
  state_->waiters.wake_all();
}

void Notifier::notify_one() {
  std::lock_guard lock(state_->mutex);
  if (!state_->waiters.wake_first()) state_->permit = true;
}

}  // namespace vantrel::runtime

// The counting semaphore.
#include "vantrel/runtime/semaphore.h"

#include "vantrel/support/check.h"

namespace vantrel::runtime {

Semaphore::Semaphore(std::size_t permits) : state_(std::make_shared<State>()) {
  state_->permits = permits;
}

Semaphore::Permit::~Permit() {
  if (state_) state_->release();
}

void Semaphore::State::release() {
  std::lock_guard lock(mutex);
  // The permit passes straight to the oldest waiter, so nobody can take it in between.
  if (closed || !waiters.wake_first()) ++permits;
}

boost::asio::awaitable<std::optional<Semaphore::Permit>> Semaphore::acquire() const {
  auto state = state_;
  bool closed = false;
  auto ec = co_await detail::park(std::shared_ptr<detail::WaitList>(state, &state->waiters),
                                  [&state, &closed] {
                                    closed = state->closed;
                                    if (closed || state->permits == 0) return closed;
                                    // Only the fast path sees waiters here; it must queue too.
                                    if (!state->waiters.empty()) return false;
                                    --state->permits;
                                    return true;
                                  });
  if (detail::is_stop(ec)) co_return std::nullopt;
  check(!ec && !closed, "semaphore closed");
  co_return Permit(std::move(state));
}

void Semaphore::close() {
  std::lock_guard lock(state_->mutex);
  state_->closed = true;
  state_->waiters.wake_all(boost::asio::error::shut_down);
}

std::size_t Semaphore::available() const {
  std::lock_guard lock(state_->mutex);
  return state_->permits;
}

}  // namespace vantrel::runtime

// The cancellation token.
#include "vantrel/runtime/cancellation_token.h"

#include <algorithm>
#include <optional>

namespace vantrel::runtime {

CancellationToken::CancellationToken() : state_(std::make_shared<State>()) {}

void CancellationToken::cancel() const {
  std::vector<std::pair<std::uint64_t, std::function<void()>>> forwardings;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled.exchange(true)) return;
    state_->waiters.wake_all();
    forwardings.swap(state_->forwardings);
  }
  // Outside the lock: an action may cancel further tokens.
  for (const auto& [id, action] : forwardings) action();
}

bool CancellationToken::is_cancelled() const { return state_->cancelled.load(); }

boost::asio::awaitable<bool> CancellationToken::cancelled() const {
  auto state = state_;
  auto ec = co_await detail::park_until(std::shared_ptr<detail::WaitList>(state, &state->waiters),
                                        [&state] { return state->cancelled.load(); });
  co_return !ec;
}

CancellationToken::Forwarding CancellationToken::on_cancel(std::function<void()> action) const {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->cancelled.load()) {
      std::uint64_t id = ++state_->last_forwarding;
      state_->forwardings.emplace_back(id, std::move(action));
      return Forwarding(state_, id);
    }
  }
  action();
  return Forwarding();
}

CancellationToken::Forwarding& CancellationToken::Forwarding::operator=(
    Forwarding&& other) noexcept {
  if (this != &other) {
    stop();
    from_ = std::move(other.from_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void CancellationToken::Forwarding::stop() {
  auto from = std::move(from_);
  if (!from) return;
  std::function<void()> action;
  {
    std::lock_guard lock(from->mutex);
    auto& forwardings = from->forwardings;
    auto entry = std::find_if(forwardings.begin(), forwardings.end(),
                              [this](const auto& e) { return e.first == id_; });
    if (entry == forwardings.end()) return;
    // Dropped outside the lock: it may hold the last share of what it cancels.
    action = std::move(entry->second);
    forwardings.erase(entry);
  }
}

}  // namespace vantrel::runtime

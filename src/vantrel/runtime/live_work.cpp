// The registry of live work.
#include "vantrel/runtime/live_work.h"

#include <atomic>
#include <vector>

#include "vantrel/support/never_destroyed.h"

namespace vantrel::runtime {
namespace {

// Shared by every registry and never reset, so that an enrolment made before a fork never
// names one made after it.
std::atomic<std::uint64_t> next_id{1};

}  // namespace

void LiveWork::Enrolment::leave() {
  if (work_ != nullptr) std::exchange(work_, nullptr)->leave(id_);
}

LiveWork::LiveWork() : table_(std::make_unique<Table>()) {}

LiveWork::Enrolment LiveWork::enrol(std::function<void()> cancel) {
  std::uint64_t id = next_id.fetch_add(1);
  {
    std::lock_guard lock(mutex_);
    table_->emplace(id, cancel);
    if (!closed_) return Enrolment(this, id);
  }
  cancel();
  return Enrolment(this, id);
}

std::optional<LiveWork::Enrolment> LiveWork::try_enrol(std::function<void()> cancel) {
  std::uint64_t id = next_id.fetch_add(1);
  std::lock_guard lock(mutex_);
  if (closed_) return std::nullopt;
  table_->emplace(id, std::move(cancel));
  return Enrolment(this, id);
}

bool LiveWork::cancel_all(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::vector<std::function<void()>> cancels;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& [id, cancel] : *table_) cancels.push_back(cancel);
  }
  for (const auto& cancel : cancels) cancel();
  cancels.clear();
  std::unique_lock lock(mutex_);
  return settled_.wait_until(lock, deadline, [&] { return table_->empty(); });
}

std::size_t LiveWork::live_count() {
  std::lock_guard lock(mutex_);
  return table_->size();
}

void LiveWork::leave(std::uint64_t id) {
  std::function<void()> cancel;
  {
    std::lock_guard lock(mutex_);
    auto entry = table_->find(id);
    if (entry == table_->end()) return;
    // Destroyed outside the lock: it may hold the last share of its work's state.
    cancel = std::move(entry->second);
    table_->erase(entry);
    if (table_->empty()) settled_.notify_all();
  }
}

void LiveWork::after_fork_in_child() {
  // Left in memory on purpose: the cancellations it holds share state with the parent's threads.
  (void)table_.release();
  table_ = std::make_unique<Table>();
  closed_ = false;
  mutex_.unlock();
}

LiveWork& live_work() {
  static NeverDestroyed<LiveWork> work;
  return work.get();
}

}  // namespace vantrel::runtime

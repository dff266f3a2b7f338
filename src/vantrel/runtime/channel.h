// Channels between coroutines: unbounded (sending never waits) and bounded (sending waits for
// room). Both deliver in the order sent and never lose an item they accepted.
#pragma once

#include <algorithm>
#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "vantrel/runtime/wait_list.h"
#include "vantrel/support/check.h"

namespace vantrel::runtime {
namespace detail {

// The shared state of one channel. A capacity of 0 means unbounded.
template <class T>
struct ChannelState {
  explicit ChannelState(std::size_t capacity) : capacity(capacity) {}

  std::mutex mutex;
  std::size_t capacity;
  std::deque<T> items;
  std::size_t senders = 1;
  // False once the receiver closed the channel or was dropped: sends fail from then on.
  bool open = true;
  WaitList receivers{mutex};
  WaitList waiting_senders{mutex};

  std::shared_ptr<WaitList> list(std::shared_ptr<ChannelState> self, WaitList& which) {
    return std::shared_ptr<WaitList>(std::move(self), &which);
  }

  // Queues `value` if there is room; the caller holds the mutex.
  bool push(T& value) {
    if (capacity != 0 && items.size() >= capacity) return false;
    items.push_back(std::move(value));
    receivers.wake_first();
    return true;
  }

  // Queues the items of `items` from the front while there is room, removing them from `items`,
  // with one wake-up of a receiver. False when the channel is closed; the caller holds the mutex.
  template <class Items>
  bool push_some(Items& items) {
    if (!open) return false;
    bool queued = false;
    for (; !items.empty() && (capacity == 0 || this->items.size() < capacity); queued = true) {
      this->items.push_back(std::move(items.front()));
      items.pop_front();
    }
    if (queued) receivers.wake_first();
    return true;
  }

  // Wakes a sender parked on a full channel once it has drained to half its capacity (every
  // item, for capacity 1), so a steady stream costs one wake-up per half capacity, not one per
  // item. The caller holds the mutex.
  void wake_sender_if_room() {
    if (!waiting_senders.empty() && items.size() <= capacity / 2) waiting_senders.wake_first();
  }

  // The receiving steps; the caller holds the mutex. Takes the oldest item (there must be one).
  T take_front() {
    T item(std::move(items.front()));
    items.pop_front();
    wake_sender_if_room();
    return item;
  }

  // Moves every queued item to the back of `out`, in order.
  void take_all(std::deque<T>& out) {
    if (items.empty()) return;
    if (out.empty()) {
      out.swap(items);
    } else {
      std::move(items.begin(), items.end(), std::back_inserter(out));
      items.clear();
    }
    waiting_senders.wake_all();
  }

  // True once nothing more can come: every sender is gone or the channel was closed.
  bool ended() const { return senders == 0 || !open; }

  void add_sender() {
    std::lock_guard lock(mutex);
    ++senders;
  }

  void drop_sender() {
    std::lock_guard lock(mutex);
    // The last sender gone ends the stream once the queued items are received.
    if (--senders == 0) receivers.wake_all();
  }

  void close(bool discard) {
    std::deque<T> discarded;
    {
      std::lock_guard lock(mutex);
      open = false;
      if (discard) discarded.swap(items);
      waiting_senders.wake_all();
    }
    // The items are destroyed outside the lock: they may own anything.
  }
};

// What senders of both kinds share: the count of senders, kept by copy, move and drop.
template <class T>
class SenderBase {
 public:
  SenderBase(const SenderBase& other) : state_(other.state_) {
    if (state_) state_->add_sender();
  }
  SenderBase(SenderBase&& other) noexcept : state_(std::move(other.state_)) {}
  SenderBase& operator=(SenderBase other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~SenderBase() {
    if (state_) state_->drop_sender();
  }

  // False once the receiver has closed the channel or is gone.
  bool is_open() const {
    std::lock_guard lock(state_->mutex);
    return state_->open;
  }

 protected:
  explicit SenderBase(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<ChannelState<T>> state_;
};

}  // namespace detail

template <class T>
class Receiver;

// The sending side of an unbounded channel. Copies are further senders of the same channel;
// the stream ends when the last one is dropped. Thread-safe.
template <class T>
class UnboundedSender : public detail::SenderBase<T> {
 public:
  // Queues `value` without waiting. False (and `value` dropped) when the receiver has closed
  // the channel or is gone.
  bool send(T value) const {
    std::lock_guard lock(this->state_->mutex);
    return this->state_->open && this->state_->push(value);
  }

  // Queues every item of `items` in order, with one lock and at most one wake-up, and clears
  // `items`. False (and nothing queued) when the receiver has closed the channel or is gone.
  template <class Items>
  bool send_all(Items& items) const {
    auto& state = *this->state_;
    bool sent = false;
    {
      std::lock_guard lock(state.mutex);
      if (state.open) {
        for (auto& item : items) state.items.push_back(std::move(item));
        state.receivers.wake_first();
        sent = true;
      }
    }
    // Not sent, the items are destroyed outside the lock.
    items.clear();
    return sent;
  }

 private:
  template <class U>
  friend std::pair<UnboundedSender<U>, Receiver<U>> make_unbounded_channel();
  using detail::SenderBase<T>::SenderBase;
};

// The sending side of a bounded channel. Copies are further senders; the stream ends when the
// last one is dropped. Thread-safe.
template <class T>
class BoundedSender : public detail::SenderBase<T> {
 public:
  // Queues `value`, waiting while the channel holds its capacity. False (and `value` dropped)
  // when it was not sent: the receiver has closed the channel or is gone (also while this send
  // waits), or the send was stopped through its cancellation slot.
  boost::asio::awaitable<bool> send(T value) const {
    auto state = this->state_;
    bool sent = false;
    co_await detail::park_until(state->list(state, state->waiting_senders), [&] {
      if (state->open) sent = state->push(value);
      return sent || !state->open;
    });
    co_return sent;
  }

  // Queues the items of `items` from the front, as many as there is room for now, without
  // waiting; the queued ones are removed from `items`. False (and nothing queued) when the
  // receiver has closed the channel or is gone.
  template <class Items>
  bool try_send_some(Items& items) const {
    std::lock_guard lock(this->state_->mutex);
    return this->state_->push_some(items);
  }

  // Queues the items of `items` from the front, as many as there is room for, waiting while the
  // channel is full; the queued ones are removed from `items`. False when nothing more can be
  // sent: the receiver has closed the channel or is gone, or the send was stopped through its
  // cancellation slot (nothing queued then).
  template <class Items>
  boost::asio::awaitable<bool> send_some(Items& items) const {
    auto state = this->state_;
    bool open = true;
    auto ec = co_await detail::park_until(state->list(state, state->waiting_senders), [&] {
      std::size_t before = items.size();
      open = state->push_some(items);
      return items.size() < before || !open || items.empty();
    });
    co_return open && !ec;
  }

 private:
  template <class U>
  friend std::pair<BoundedSender<U>, Receiver<U>> make_bounded_channel(std::size_t capacity);
  using detail::SenderBase<T>::SenderBase;
};

// The receiving side of either channel. Move-only; dropping it closes the channel and discards
// what is still queued. One receiver may be awaited by one coroutine at a time; calls from
// several threads need the caller's own lock.
template <class T>
class Receiver {
 public:
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      drop();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { drop(); }

  // The next item, or none once the channel has ended (every sender is gone, or the channel
  // was closed, and every queued item was received) or when the receive was stopped through its
  // cancellation slot, taking nothing.
  boost::asio::awaitable<std::optional<T>> receive() {
    auto state = state_;
    std::optional<T> item;
    co_await detail::park_until(state->list(state, state->receivers), [&] {
      if (!state->items.empty()) {
        item.emplace(state->take_front());
        return true;
      }
      return state->ended();
    });
    co_return item;
  }

  // The oldest queued item without waiting, or none when nothing is queued (whether or not
  // the channel has ended).
  std::optional<T> try_receive() {
    std::lock_guard lock(state_->mutex);
    if (state_->items.empty()) return std::nullopt;
    return state_->take_front();
  }

  // Every queued item at once, oldest first, waiting while none is queued; empty once the
  // channel has ended, or when stopped as receive is.
  boost::asio::awaitable<std::deque<T>> receive_all() {
    auto state = state_;
    std::deque<T> items;
    co_await detail::park_until(state->list(state, state->receivers), [&] {
      if (!state->items.empty()) {
        state->take_all(items);
        return true;
      }
      return state->ended();
    });
    co_return items;
  }

  // Without waiting: moves every item queued now to the back of `out`, in order, and tells
  // whether the channel has ended (nothing left, and every sender gone or the channel closed).
  // A reader that takes what is buffered in one go needs one wake-up per batch, not per item.
  bool take_ready(std::deque<T>& out) {
    std::lock_guard lock(state_->mutex);
    state_->take_all(out);
    return state_->ended();
  }

  // Refuses further sends; items already queued can still be received.
  void close() { state_->close(false); }

  // How many items are queued now, for a caller that watches the channel fill.
  std::size_t queued() const {
    std::lock_guard lock(state_->mutex);
    return state_->items.size();
  }

 private:
  template <class U>
  friend std::pair<UnboundedSender<U>, Receiver<U>> make_unbounded_channel();
  template <class U>
  friend std::pair<BoundedSender<U>, Receiver<U>> make_bounded_channel(std::size_t capacity);
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  void drop() {
    if (state_) state_->close(true);
  }
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<UnboundedSender<T>, Receiver<T>> make_unbounded_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>(0);
  return {UnboundedSender<T>(state), Receiver<T>(state)};
}

// A channel that holds at most `capacity` items (at least 1) that were sent and not received.
template <class T>
std::pair<BoundedSender<T>, Receiver<T>> make_bounded_channel(std::size_t capacity) {
  check(capacity > 0, "bounded channel of capacity 0");
  auto state = std::make_shared<detail::ChannelState<T>>(capacity);
  return {BoundedSender<T>(state), Receiver<T>(state)};
}

}  // namespace vantrel::runtime

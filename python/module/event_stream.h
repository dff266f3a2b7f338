// The event receiver of a Session or a Group behind its stream lock: how a Python thread waits for
// the next event.
#pragma once

#include <Python.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "blocking.h"
#include "py_class.h"
#include "py_ref.h"
#include "vantrel/check.h"
#include "vantrel/runtime/channel.h"
#include "vantrel/runtime/runtime.h"

namespace vantrel::py {

// A stream's receiver with the events already taken from the channel and not yet handed out.
// Each event goes to exactly one caller, in order, whichever threads ask.
template <class T>
class EventStream {
 public:
  explicit EventStream(runtime::Receiver<T> receiver) : receiver_(std::move(receiver)) {}

  // The next event, or none once the stream has ended. Called with the interpreter lock held.
  // What is already buffered is handed out without releasing it: the stream lock is only tried
  // then, never waited for, so a thread that holds the interpreter lock never waits for one that
  // holds the stream lock. Otherwise the interpreter lock is released first, then the stream
  // lock taken, and everything the channel holds once it holds anything is taken in one go, so a
  // busy stream costs one release and one wake-up per batch, not per event.
  std::optional<T> next() {
    {
      std::unique_lock lock(mutex_, std::try_to_lock);
      if (lock.owns_lock() && !poisoned_) {
        if (auto event = poison_on_failure([&] { return take_buffered(); })) return event;
        if (ended_) return std::nullopt;
      }
    }
    return without_interpreter_lock([&] {
      std::lock_guard lock(mutex_);
      check(!poisoned_, "stream poisoned");
      return poison_on_failure([&] { return next_waiting(); });
    });
  }

 private:
  // The callers of these hold the stream lock.

  // Runs `step`; a failure inside it poisons the stream, as the buffer may have lost an event.
  template <class Step>
  std::optional<T> poison_on_failure(Step step) {
    try {
      return step();
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  std::optional<T> take_buffered() {
    if (ready_.empty() && !ended_) ended_ = receiver_.take_ready(ready_);
    if (ready_.empty()) return std::nullopt;
    T event = std::move(ready_.front());
    ready_.pop_front();
    return event;
  }

  std::optional<T> next_waiting() {
    if (auto event = take_buffered()) return event;
    if (ended_) return std::nullopt;
    // Waits until the channel holds something, then takes all of it (the buffer is empty here).
    ready_ = runtime::block_on(receiver_.receive_all());
    if (ready_.empty()) ended_ = true;
    return take_buffered();
  }

  std::mutex mutex_;
  bool poisoned_ = false;  // a holder failed: the buffer may have lost an event
  bool ended_ = false;
  runtime::Receiver<T> receiver_;
  std::deque<T> ready_;
};

// The next event of `stream`, made into a record by `to_record`, as a new object; an empty
// reference once the stream has ended.
template <class T, class ToRecord = std::identity>
ref next_object(EventStream<T>& stream, ToRecord to_record = {}) {
  std::optional<T> event = stream.next();
  if (!event) return {};
  return new_object(to_record(std::move(*event)));
}

}  // namespace vantrel::py

// The event receiver of a Session or a Group behind its stream lock: how a Python thread waits for
// the next event.
#pragma once

#include <Python.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "blocking.h"
#include "errors.h"
#include "py_class.h"
#include "py_ref.h"
#include "vantrel/runtime/channel.h"
#include "vantrel/runtime/runtime.h"
#include "vantrel/support/check.h"

namespace vantrel::py {

// A stream's receiver with the events already taken from the channel and not yet handed out.
// Each event goes to exactly one caller, in order, whichever threads ask.
template <class T>
class EventStream {
 public:
  explicit EventStream(runtime::Receiver<T> receiver) : receiver_(std::move(receiver)) {}

  // What `to_record` makes of an event.
  template <class ToRecord>
  using record_t = std::invoke_result_t<ToRecord&, T&&>;

  // The next event made into its record by `to_record`, or none once the stream has ended.
  // `to_record` is plain C++ (it runs under the stream lock, maybe without the interpreter lock)
  // and takes the event straight from the buffer, so the event is moved once. Called with the
  // interpreter lock held. What is already buffered is handed out without releasing it: the
  // stream lock is only tried then, never waited for, so a thread that holds the interpreter
  // lock never waits for one that holds the stream lock. Otherwise the interpreter lock is
  // released first, then the stream lock taken, and everything the channel holds once it holds
  // anything is taken in one go, so a busy stream costs one release and one wake-up per batch,
  // not per event. On the main thread a signal handler that raises stops the wait, with
  // nothing lost: what was taken by then stays buffered for the next call.
  template <class ToRecord>
  std::optional<record_t<ToRecord>> next(ToRecord& to_record) {
    // A signal handler runs inside this thread's own wait, which holds the stream lock.
    if (waiting_thread_.load() == PyThread_get_thread_ident())
      raise(PyExc_RuntimeError, "the event stream was read again inside its own wait");
    {
      std::unique_lock lock(mutex_, std::try_to_lock);
      if (lock.owns_lock() && !poisoned_) {
        if (poison_on_failure([&] { return take_ready(); })) return take_front(to_record);
        if (ended_) return std::nullopt;
      }
    }
    Waited<bool> waited;
    bool main = on_main_thread();
    auto record = without_interpreter_lock([&]() -> std::optional<record_t<ToRecord>> {
      std::unique_lock lock = lock_interruptibly(main, waited.interrupted);
      if (waited.interrupted) return std::nullopt;
      check(!poisoned_, "stream poisoned");
      WaitingThread waiting(waiting_thread_);
      if (!poison_on_failure([&] { return wait_ready(main, waited); })) return std::nullopt;
      return take_front(to_record);
    });
    raise_if_cut_short(waited);
    return record;
  }

 private:
  // The stream lock, taken with the interpreter lock released. Another thread may hold it for as
  // long as it waits for events, so on the main thread the wait for it runs the signal handlers
  // too; when one raises, `interrupted` is set and the lock is not taken.
  std::unique_lock<std::timed_mutex> lock_interruptibly(bool main, bool& interrupted) {
    if (!main) return std::unique_lock(mutex_);
    std::unique_lock lock(mutex_, std::defer_lock);
    while (!lock.try_lock_for(signal_check_interval))
      if ((interrupted = signal_handler_raised())) break;
    return lock;
  }

  // Marks the calling thread as the one waiting under the stream lock, for its life.
  class WaitingThread {
   public:
    explicit WaitingThread(std::atomic<unsigned long>& slot) : slot_(slot) {
      slot_.store(PyThread_get_thread_ident());
    }
    ~WaitingThread() { slot_.store(0); }
    WaitingThread(const WaitingThread&) = delete;
    WaitingThread& operator=(const WaitingThread&) = delete;

   private:
    std::atomic<unsigned long>& slot_;
  };

  // The callers of these hold the stream lock.

  // Runs `step`; a failure inside it poisons the stream, as the buffer may have lost an event.
  template <class Step>
  bool poison_on_failure(Step step) {
    try {
      return step();
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  // Whether an event is buffered, taking what the channel holds now when none is.
  bool take_ready() {
    if (ready_.empty() && !ended_) ended_ = receiver_.take_ready(ready_);
    return !ready_.empty();
  }

  // Whether an event is buffered, waiting until the channel holds something or has ended, or
  // until the wait was cut short (`cut` then says how, and false is returned).
  bool wait_ready(bool main, Waited<bool>& cut) {
    if (take_ready()) return true;
    if (ended_) return false;
    // Takes all the channel holds at once (the buffer is empty here).
    auto waited = wait_for(receiver_.receive_all(), runtime::CancellationToken(), main);
    cut.interrupted = waited.interrupted;
    cut.forked = waited.forked;
    // In a forked child nothing of the wait is touched again.
    if (waited.forked || !waited.value) return false;
    ready_ = std::move(*waited.value);
    // A wait stopped by a signal handler took nothing and says nothing of the stream's end.
    if (ready_.empty() && !waited.interrupted) ended_ = true;
    return !waited.interrupted && !ready_.empty();
  }

  // The first buffered event as its record. The event is taken even when its record cannot be
  // made: it is lost and the stream goes on with the next one.
  template <class ToRecord>
  record_t<ToRecord> take_front(ToRecord& to_record) {
    try {
      record_t<ToRecord> record = to_record(std::move(ready_.front()));
      ready_.pop_front();
      return record;
    } catch (...) {
      ready_.pop_front();
      throw;
    }
  }

  std::timed_mutex mutex_;
  std::atomic<unsigned long> waiting_thread_{0};  // the thread that waits under the lock, if any
  bool poisoned_ = false;  // a holder failed: the buffer may have lost an event
  bool ended_ = false;
  runtime::Receiver<T> receiver_;
  std::deque<T> ready_;
};

// The next event of `stream`, made into a record by `to_record` (see EventStream::next), as a new
// object; an empty reference once the stream has ended.
template <class T, class ToRecord>
ref next_object(EventStream<T>& stream, ToRecord to_record) {
  auto record = stream.next(to_record);
  if (!record) return {};
  return new_object(std::move(*record));
}

}  // namespace vantrel::py

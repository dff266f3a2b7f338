// The Session class: two states fixed at creation, a live run or a failed start.
#include "session.h"

#include <deque>
#include <mutex>
#include <variant>

#include "blocking.h"
#include "errors.h"
#include "py_class.h"
#include "result_objects.h"

namespace vantrel::py {
namespace {

// The run's event receiver behind the Session's stream lock, with the events already taken
// from the channel and not yet handed out. Each event goes to exactly one caller, in order.
class EventStream {
 public:
  explicit EventStream(runtime::Receiver<Event> receiver) : receiver_(std::move(receiver)) {}

  // The next event, or none once the stream has ended. Called with the interpreter lock held.
  // What is already buffered is handed out without releasing it: the stream lock is only
  // tried then, never waited for, so a thread holding the interpreter lock never waits for a
  // thread that holds the stream lock. Otherwise the interpreter lock is released first, then
  // the stream lock taken, and everything the channel holds by then is taken in one go.
  std::optional<Event> next() {
    {
      std::unique_lock lock(mutex_, std::try_to_lock);
      if (lock.owns_lock() && !poisoned_) {
        if (auto event = take_buffered()) return event;
        if (ended_) return std::nullopt;
      }
    }
    return without_interpreter_lock([&] {
      std::lock_guard lock(mutex_);
      check(!poisoned_, "stream poisoned");
      try {
        return next_waiting();
      } catch (...) {
        poisoned_ = true;
        throw;
      }
    });
  }

 private:
  // The stream lock is held by the callers of these two.
  std::optional<Event> take_buffered() {
    if (ready_.empty() && !ended_) ended_ = receiver_.take_ready(ready_);
    if (ready_.empty()) return std::nullopt;
    Event event = std::move(ready_.front());
    ready_.pop_front();
    return event;
  }

  std::optional<Event> next_waiting() {
    if (auto event = take_buffered()) return event;
    if (ended_) return std::nullopt;
    runtime::block_on(receive_some());
    return take_buffered();
  }

  // Waits for the channel to hold something, then takes all of it (the buffer is empty here).
  boost::asio::awaitable<void> receive_some() {
    ready_ = co_await receiver_.receive_all();
    if (ready_.empty()) ended_ = true;
  }

  std::mutex mutex_;
  bool poisoned_ = false;  // a holder failed: the buffer may have lost an event
  bool ended_ = false;
  runtime::Receiver<Event> receiver_;
  std::deque<Event> ready_;
};

struct LiveSession {
  SessionHandle handle;
  std::unique_ptr<EventStream> stream;
};

struct SessionState {
  std::variant<LiveSession, ErrorRecord> state;
};

// The live state, or null for a failed start.
LiveSession* live(PyObject* self) {
  return std::get_if<LiveSession>(&record_of<SessionState>(self).state);
}
const ErrorRecord& start_error(PyObject* self) {
  return std::get<ErrorRecord>(record_of<SessionState>(self).state);
}

// The next event as a new PyEvent, or an empty reference at the end of the stream.
ref next_py_event(PyObject* self) {
  LiveSession* session = live(self);
  if (session == nullptr) return {};
  std::optional<Event> event = session->stream->next();
  if (!event) return {};
  return new_object(std::move(*event));
}

PyObject* session_next_event(PyObject* self, PyObject*) {
  return boundary([&] {
    ref event = next_py_event(self);
    return event ? event.release() : none().release();
  });
}

PyObject* session_iternext(PyObject* self) {
  // An empty result with no error set ends the iteration.
  return boundary([&] { return next_py_event(self).release(); });
}

PyObject* session_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* session_wait(PyObject* self, PyObject*) {
  return boundary([&] {
    LiveSession* session = live(self);
    if (session == nullptr) return new_object(failed_outcome(start_error(self))).release();
    auto latch = session->handle.latch;
    OutcomeRecord outcome = run_blocking(
        [](std::shared_ptr<Latch<Outcome>> latch) -> boost::asio::awaitable<OutcomeRecord> {
          co_return outcome_into_py(co_await latch->wait_shared());
        }(std::move(latch)));
    return new_object(std::move(outcome)).release();
  });
}

PyObject* session_id(PyObject* self, void*) {
  return boundary([&] {
    LiveSession* session = live(self);
    return to_py(session ? std::string_view(session->handle.run_id) : std::string_view()).release();
  });
}

PyObject* session_thread_id(PyObject* self, PyObject*) {
  return boundary([&] {
    LiveSession* session = live(self);
    // One copy under the slot's leaf lock, which no holder keeps while it waits for anything.
    return to_py(session ? vantrel::session_thread_id(session->handle) : std::string()).release();
  });
}

PyObject* session_cancel(PyObject* self, PyObject*) {
  return boundary([&] {
    if (LiveSession* session = live(self)) vantrel::session_cancel(session->handle);
    return none().release();
  });
}

PyMethodDef session_methods[] = {
    {"next_event", session_next_event, METH_NOARGS,
     "next_event($self)\n--\n\nAwaits the next event, or `None` once the stream closes."},
    {"wait", session_wait, METH_NOARGS,
     "wait($self)\n--\n\nWaits for the process to exit and returns its outcome."},
    {"thread_id", session_thread_id, METH_NOARGS,
     "thread_id($self)\n--\n\nThe agent thread or session id once known."},
    {"cancel", session_cancel, METH_NOARGS, "cancel($self)\n--\n\nStops the child process."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    {"id", session_id, nullptr, "The wrapper-assigned run id.", nullptr},
    getset_end,
};

TypeCell session_class = record_class<SessionState>(
    "builtins.Session",
    "A running selected-agent process. Iterate it for events; call `wait()` for the\n"
    "final outcome.",
    session_getset,
    {{Py_tp_methods, session_methods},
     {Py_tp_iter, reinterpret_cast<void*>(session_iter)},
     {Py_tp_iternext, reinterpret_cast<void*>(session_iternext)}});

}  // namespace

template <>
PyTypeObject* type_object<SessionState>() {
  return session_class.get();
}

PyTypeObject* session_type_object() { return session_class.get(); }

ref failed_session(ErrorRecord error) { return new_object(SessionState{std::move(error)}); }

ref live_session(SessionHandle handle) {
  auto stream = std::make_unique<EventStream>(vantrel::session_take_events(handle));
  return new_object(SessionState{LiveSession{std::move(handle), std::move(stream)}});
}

}  // namespace vantrel::py

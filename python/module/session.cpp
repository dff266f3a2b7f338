// The Session class: two states fixed at creation, a live run or a failed start.
#include "session.h"

#include <memory>
#include <variant>

#include "blocking.h"
#include "errors.h"
#include "event_stream.h"
#include "fork_bound.h"
#include "py_class.h"
#include "result_objects.h"

namespace vantrel::py {
namespace {

struct LiveSession {
  SessionHandle handle;
  std::unique_ptr<EventStream<SharedEvent>> stream;
};

struct SessionState {
  explicit SessionState(std::variant<ForkBound<LiveSession>, ErrorRecord> state)
      : state(std::move(state)) {}
  SessionState(SessionState&&) = default;
  // The run's latch may hold the last share of its outcome, every event of the run.
  ~SessionState() {
    if (auto* bound = std::get_if<ForkBound<LiveSession>>(&state))
      if (LiveSession* session = bound->owned())
        release_off_thread(std::move(session->handle.latch));
  }

  std::variant<ForkBound<LiveSession>, ErrorRecord> state;
};

// The live state, or null for a failed start. In a forked child a live session raises.
LiveSession* live(PyObject* self) {
  auto* bound = std::get_if<ForkBound<LiveSession>>(&record_of<SessionState>(self).state);
  return bound ? &bound->get("Session") : nullptr;
}
const ErrorRecord& start_error(PyObject* self) {
  return std::get<ErrorRecord>(record_of<SessionState>(self).state);
}

// The next event as a new PyEvent, or an empty reference at the end of the stream.
ref next_py_event(PyObject* self) {
  LiveSession* session = live(self);
  if (session == nullptr) return {};
  // The object shares the run's event as it was published; its items share it too.
  return next_object(*session->stream, [](SharedEvent&& event) { return std::move(event); });
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

PyObject* session_wait(PyObject* self, PyObject*) {
  return boundary([&] {
    LiveSession* session = live(self);
    if (session == nullptr) return new_object(failed_outcome(start_error(self))).release();
    auto outcome = wait_or_raise(session_wait_shared(session->handle));
    return new_object(outcome_into_py(outcome)).release();
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
     {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
     {Py_tp_iternext, reinterpret_cast<void*>(session_iternext)}});

}  // namespace

template <>
PyTypeObject* type_object<SessionState>() {
  return session_class.get();
}

PyTypeObject* session_type_object() { return session_class.get(); }

ref failed_session(ErrorRecord error) { return new_object(SessionState{std::move(error)}); }

ref live_session(SessionHandle handle) {
  auto stream = std::make_unique<EventStream<SharedEvent>>(vantrel::session_take_events(handle));
  return new_object(
      SessionState{ForkBound<LiveSession>(LiveSession{std::move(handle), std::move(stream)})});
}

}  // namespace vantrel::py

// The Session class: two states fixed at creation, a live run or a failed start.
#include "session.h"

#include "blocking.h"
#include "errors.h"
#include "py_class.h"
#include "result_objects.h"
#include "stream_object.h"

namespace vantrel::py {
namespace {

struct SessionKind {
  static constexpr const char* name = "Session";
  using Handle = SessionHandle;
  using Event = SharedEvent;
  struct Extra {};

  static runtime::Receiver<SharedEvent> take_events(SessionHandle& handle) {
    return session_take_events(handle);
  }
  static auto& results(SessionHandle& handle) { return handle.latch; }
  // The object shares the run's event as it was published; its items share it too.
  static SharedEvent record(LiveStream<SessionKind>&, SharedEvent&& event) {
    return std::move(event);
  }
  static ref wait(LiveStream<SessionKind>& live) {
    return new_object(outcome_into_py(wait_or_raise(session_wait_shared(live.handle))));
  }
  static ref failed_wait(const ErrorRecord& error) { return new_object(failed_outcome(error)); }
  static void cancel(const SessionHandle& handle) { session_cancel(handle); }
};

using Methods = StreamMethods<SessionKind>;

PyObject* session_id(PyObject* self, void*) {
  return boundary([&] {
    auto* live = Methods::live(self);
    return to_py(live ? std::string_view(live->handle.run_id) : std::string_view()).release();
  });
}

PyObject* session_thread_id(PyObject* self, PyObject*) {
  return boundary([&] {
    auto* live = Methods::live(self);
    // One copy under the slot's leaf lock, which no holder keeps while it waits for anything.
    return to_py(live ? vantrel::session_thread_id(live->handle) : std::string()).release();
  });
}

PyMethodDef session_methods[] = {
    {"next_event", Methods::next_event, METH_NOARGS,
     "next_event($self)\n--\n\nAwaits the next event, or `None` once the stream closes."},
    {"wait", Methods::wait, METH_NOARGS,
     "wait($self)\n--\n\nWaits for the process to exit and returns its outcome."},
    {"thread_id", session_thread_id, METH_NOARGS,
     "thread_id($self)\n--\n\nThe agent thread or session id once known."},
    {"cancel", Methods::cancel, METH_NOARGS, "cancel($self)\n--\n\nStops the child process."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    {"id", session_id, nullptr, "The wrapper-assigned run id.", nullptr},
    getset_end,
};

TypeCell session_class = Methods::type_cell(
    "builtins.Session",
    "A running selected-agent process. Iterate it for events; call `wait()` for the\n"
    "final outcome.",
    session_getset, session_methods);

}  // namespace

template <>
PyTypeObject* type_object<StreamState<SessionKind>>() {
  return session_class.get();
}

PyTypeObject* session_type_object() { return session_class.get(); }

ref failed_session(ErrorRecord error) { return Methods::failed_object(std::move(error)); }

ref live_session(SessionHandle handle) { return Methods::live_object(std::move(handle)); }

}  // namespace vantrel::py

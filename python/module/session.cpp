// The Session class: two states fixed at creation, a live run or a failed start.
#include "session.h"

#include <variant>

#include "errors.h"
#include "py_class.h"
#include "result_objects.h"

namespace vantrel::py {
namespace {

struct SessionState {
  ErrorRecord failed;
};

SessionState& state_of(PyObject* self) { return record_of<SessionState>(self); }

PyObject* session_next_event(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* session_wait(PyObject* self, PyObject*) {
  return boundary([&] {
    return new_object(OutcomeRecord{empty_run_result(), state_of(self).failed}).release();
  });
}

PyObject* session_id(PyObject*, void*) {
  return boundary([&] { return to_py(std::string_view()).release(); });
}

PyObject* session_thread_id(PyObject*, PyObject*) {
  return boundary([&] { return to_py(std::string_view()).release(); });
}

PyObject* session_cancel(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* session_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* session_iternext(PyObject*) { return nullptr; }

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

}  // namespace vantrel::py

// The exit handlers, the main thread, the admission of new work and the signal handlers of the
// waits.
#include "blocking.h"

#include <cstdint>

#include "py_class.h"

namespace vantrel::py {
namespace {

// The longest an exit handler waits for the cancelled work to settle.
constexpr std::chrono::milliseconds exit_settle_limit{1000};

// The thread that runs the signal handlers, as recorded in the fork generation it was read in.
// Guarded by the interpreter lock.
unsigned long main_thread = 0;
std::uint64_t main_thread_generation = 0;

// Cancels every live run, group and account query (their agents are killed, their temporary
// files deleted), refuses new ones, and waits, lock released, for them to settle.
void stop_live_work() {
  without_interpreter_lock([] { (void)runtime::live_work().cancel_all(exit_settle_limit); });
}

PyObject* cancel_live_work(PyObject*, PyObject*) {
  return boundary([] {
    stop_live_work();
    return none().release();
  });
}

// Whether the main thread ended with KeyboardInterrupt: the interpreter, printing an uncaught
// exception, keeps it as `sys.last_exc` (and `sys.last_value`, before 3.12).
bool ended_by_keyboard_interrupt() {
  for (const char* name : {"last_exc", "last_value"}) {
    PyObject* last = PySys_GetObject(name);  // borrowed, or null
    if (last != nullptr && last != Py_None)
      return PyErr_GivenExceptionMatches(last, PyExc_KeyboardInterrupt) != 0;
  }
  return false;
}

// Runs before Python joins its non-daemon threads. After a Ctrl-C those threads may be waiting
// for agents that never saw it (each runs in a process group of its own); stopping the work now
// ends their waits, so the host exits at once. Any other exit lets them finish their runs.
PyObject* stop_on_keyboard_interrupt(PyObject*, PyObject*) {
  return boundary([] {
    if (ended_by_keyboard_interrupt()) stop_live_work();
    return none().release();
  });
}

PyMethodDef cancel_live_work_def = {"_cancel_live_work", cancel_live_work, METH_NOARGS,
                                    "Cancels all live work of the module at exit."};
PyMethodDef stop_on_keyboard_interrupt_def = {
    "_stop_on_keyboard_interrupt", stop_on_keyboard_interrupt, METH_NOARGS,
    "Cancels all live work of the module before threads are joined after a Ctrl-C."};

void call(const char* module, const char* function, PyMethodDef& handler) {
  ref imported = checked(PyImport_ImportModule(module));
  ref callable = checked(PyCFunction_NewEx(&handler, nullptr, nullptr));
  ref done = checked(PyObject_CallMethod(imported.get(), function, "O", callable.get()));
}

// `threading._register_atexit` is the hook Python itself calls in its shutdown, after the main
// thread ended and before it joins the non-daemon threads; it is what concurrent.futures uses to
// stop its own workers. `atexit` runs only after the join, and the alternatives (a wrapped
// `sys.excepthook`, a SIGINT handler) would take over what belongs to the host or to asyncio.
// Hooks run last registered first: concurrent.futures is imported first, so that its hook, which
// joins the executors' threads, runs after this one has ended their waits. True once registered,
// or once it no longer can be (the threading shutdown has begun); a failure to import is left
// for the next use to try again.
bool register_shutdown_handler() {
  try {
    ref executors = checked(PyImport_ImportModule("concurrent.futures.thread"));
    call("threading", "_register_atexit", stop_on_keyboard_interrupt_def);
    return true;
  } catch (const python_error&) {
    // RuntimeError: the shutdown has begun.
    bool too_late = PyErr_ExceptionMatches(PyExc_RuntimeError) != 0;
    PyErr_Clear();
    return too_late;
  }
}

}  // namespace

void record_main_thread() {
  ref threading = checked(PyImport_ImportModule("threading"));
  ref thread = checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  ref ident = checked(PyObject_GetAttrString(thread.get(), "ident"));
  unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) throw_python_error();
  main_thread = value;
  main_thread_generation = runtime::fork_generation();
}

void prepare_runtime_use() {
  // Guarded by the interpreter lock.
  static bool exit_registered = false;
  static bool shutdown_registered = false;
  if (!exit_registered) {
    call("atexit", "register", cancel_live_work_def);
    exit_registered = true;
  }
  if (!shutdown_registered) shutdown_registered = register_shutdown_handler();
}

std::optional<Admission> admit(std::function<void()> cancel) {
  prepare_runtime_use();
  auto place = runtime::live_work().try_enrol(std::move(cancel));
  if (!place) return std::nullopt;
  return Admission{std::move(*place), runtime::this_process_environment()};
}

bool on_main_thread() {
  // In a forked child the forking thread is the main one; Python records it there.
  if (main_thread_generation != runtime::fork_generation()) record_main_thread();
  return PyThread_get_thread_ident() == main_thread;
}

bool signal_handler_raised() {
  PyGILState_STATE state = PyGILState_Ensure();
  bool raised = PyErr_CheckSignals() < 0;
  PyGILState_Release(state);
  return raised;
}

}  // namespace vantrel::py

// The exit handler, the main thread and the signal handlers of the waits.
#include "blocking.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "py_class.h"
#include "vantrel/runtime/live_work.h"

namespace vantrel::py {
namespace {

// The longest the exit handler waits for the cancelled work to settle.
constexpr std::chrono::milliseconds exit_settle_limit{1000};

std::atomic<unsigned long> main_thread{0};

// The exit handler: cancels every live run, group and account query (their agents are
// killed, their temporary files deleted) and waits, lock released, for them to settle.
PyObject* cancel_live_work(PyObject*, PyObject*) {
  return boundary([] {
    without_interpreter_lock([] { (void)runtime::live_work().cancel_all(exit_settle_limit); });
    return none().release();
  });
}

PyMethodDef cancel_live_work_def = {"_cancel_live_work", cancel_live_work, METH_NOARGS,
                                    "Cancels all live work of the module at exit."};

void register_exit_handler() {
  ref atexit = checked(PyImport_ImportModule("atexit"));
  ref handler = checked(PyCFunction_NewEx(&cancel_live_work_def, nullptr, nullptr));
  ref done = checked(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
}

}  // namespace

void prepare_runtime_use() {
  // Guarded by the interpreter lock.
  static bool registered = false;
  if (registered) return;
  register_exit_handler();
  registered = true;
}

void record_main_thread() {
  static std::once_flag fork_handler;
  std::call_once(fork_handler, [] {
    pthread_atfork(nullptr, nullptr, [] { main_thread.store(PyThread_get_thread_ident()); });
  });
  ref threading = checked(PyImport_ImportModule("threading"));
  ref thread = checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  ref ident = checked(PyObject_GetAttrString(thread.get(), "ident"));
  unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) throw_python_error();
  main_thread.store(value);
}

bool on_main_thread() { return PyThread_get_thread_ident() == main_thread.load(); }

bool signal_handler_raised() {
  PyGILState_STATE state = PyGILState_Ensure();
  bool raised = PyErr_CheckSignals() < 0;
  PyGILState_Release(state);
  return raised;
}

}  // namespace vantrel::py

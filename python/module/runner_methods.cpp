// Runner.run and Runner.start: read the request, launch the run, and hand back its outcome or a
// Session. Failures of the run come back as error records; only a malformed request raises.
#include "runner_methods.h"

#include <chrono>

#include "blocking.h"
#include "errors.h"
#include "fork_bound.h"
#include "py_class.h"
#include "request_intake.h"
#include "result_objects.h"
#include "run_many.h"
#include "runner.h"
#include "session.h"
#include "vantrel/engine/runner.h"

namespace vantrel::py {
namespace {

// Parses the one argument `req` and reads it; a failure to read carries the note for `req`.
std::variant<RunRequest, ErrorRecord> read_request(const char* method, PyObject* args,
                                                   PyObject* kwargs) {
  static const char* keywords[] = {"req", nullptr};
  PyObject* req = nullptr;
  std::string format = std::string("O:") + method;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                   &req))
    throw_python_error();
  return with_note("req", [&] { return req_data_into_request(extract_req_data(req)); });
}

// How long `run`, interrupted, waits for its cancelled run to store its outcome (the agent killed
// and reaped, its temporary files deleted) before the signal's exception goes on.
constexpr std::chrono::milliseconds cancelled_run_settle_limit{1000};

// Cancels the run and waits until it has settled, giving up after the limit.
void cancel_and_settle(const SessionHandle& handle) {
  session_cancel(handle);
  (void)runtime::block_on(session_wait_shared(handle), runtime::CancellationToken(),
                          runtime::Poll{cancelled_run_settle_limit, [] { return false; }});
}

// The wait of `run` for the outcome of the run it launched. The run's result keeps every event
// itself, so its stream is not read: with the receiver gone the run drops the streamed copies
// and still goes on to its end. `run` owns the run: interrupted by a signal handler that raised,
// it cancels the run before the exception goes on. In the child of a fork made by a signal
// handler meanwhile, the run is the parent's and is left untouched.
OutcomeRecord wait_for_outcome(SessionHandle launched) {
  ForkBound<SessionHandle> bound(std::move(launched));
  SessionHandle& handle = bound.get("the run");
  { auto unread = session_take_events(handle); }
  bool main = on_main_thread();
  auto waited = without_interpreter_lock([&] {
    auto outcome = wait_for(session_wait_shared(handle), runtime::CancellationToken(), main);
    if (outcome.interrupted && !outcome.forked) cancel_and_settle(handle);
    return outcome;
  });
  raise_if_cut_short(waited);
  return outcome_into_py(*waited.value);
}

// The outcome of a run refused because the exit's cancel had begun.
OutcomeRecord refused_outcome() { return failed_outcome(error_to_py_error(RunError::cancelled())); }

// Admits the request and launches it; none when it was refused.
std::optional<Result<SessionHandle, RunError>> admitted_launch(PyObject* self, RunRequest request) {
  auto admitted = admit();
  if (!admitted) return std::nullopt;
  request.inherited_env = std::move(admitted->env);
  return run_blocking(launch(config_of(self), std::move(request)), std::move(admitted->place));
}

PyObject* runner_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto request = read_request("run", args, kwargs);
    if (auto* error = std::get_if<ErrorRecord>(&request))
      return new_object(failed_outcome(std::move(*error))).release();
    auto launched = admitted_launch(self, std::get<RunRequest>(std::move(request)));
    if (!launched) return new_object(refused_outcome()).release();
    if (!*launched)
      return new_object(failed_outcome(error_to_py_error(launched->error()))).release();
    return new_object(wait_for_outcome(std::move(*launched).value())).release();
  });
}

PyObject* runner_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto request = read_request("start", args, kwargs);
    if (auto* error = std::get_if<ErrorRecord>(&request))
      return failed_session(std::move(*error)).release();
    auto launched = admitted_launch(self, std::get<RunRequest>(std::move(request)));
    if (!launched) return failed_session(error_to_py_error(RunError::cancelled())).release();
    if (!*launched) return failed_session(error_to_py_error(launched->error())).release();
    return live_session(std::move(*launched).value()).release();
  });
}

}  // namespace

PyMethodDef runner_methods[] = {
    {"run", keyword_method(runner_run), METH_VARARGS | METH_KEYWORDS,
     "run($self, req)\n--\n\nRuns one process to completion and returns its outcome."},
    {"start", keyword_method(runner_start), METH_VARARGS | METH_KEYWORDS,
     "start($self, req)\n--\n\nLaunches one process and returns a [`Session`]."},
    {"run_many", keyword_method(runner_run_many), METH_VARARGS | METH_KEYWORDS,
     "run_many($self, reqs, max_concurrent=None, event_buffer=None)\n--\n\nLaunches many "
     "processes with bounded concurrency."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantrel::py

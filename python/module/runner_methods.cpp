// Runner.run and Runner.start: read the request, launch the run, and hand back its outcome or a
// Session. Failures of the run come back as error records; only a malformed request raises.
#include "runner_methods.h"

#include "blocking.h"
#include "errors.h"
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

// The work of `run`: launch, then wait for the outcome. The run's result keeps every event
// itself, so its stream is not read: with the receiver gone the run drops the streamed copies
// and still goes on to its end.
boost::asio::awaitable<OutcomeRecord> run_to_outcome(std::shared_ptr<const RunnerConfig> config,
                                                     RunRequest request) {
  auto launched = co_await launch(std::move(config), std::move(request));
  if (!launched) co_return failed_outcome(error_to_py_error(launched.error()));
  SessionHandle handle = std::move(launched).value();
  { auto unread = session_take_events(handle); }
  co_return outcome_into_py(co_await session_wait_shared(handle));
}

PyObject* runner_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto request = read_request("run", args, kwargs);
    if (auto* error = std::get_if<ErrorRecord>(&request))
      return new_object(failed_outcome(std::move(*error))).release();
    OutcomeRecord outcome =
        run_blocking(run_to_outcome(config_of(self), std::get<RunRequest>(std::move(request))));
    return new_object(std::move(outcome)).release();
  });
}

PyObject* runner_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto request = read_request("start", args, kwargs);
    if (auto* error = std::get_if<ErrorRecord>(&request))
      return failed_session(std::move(*error)).release();
    auto launched = run_blocking(launch(config_of(self), std::get<RunRequest>(std::move(request))));
    if (!launched) return failed_session(error_to_py_error(launched.error())).release();
    return live_session(std::move(launched).value()).release();
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

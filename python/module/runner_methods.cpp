// Runner.run and Runner.start: read the request, launch the run, and hand back its outcome or a
// Session. Failures of the run come back as error records; only a malformed request raises.
#include "runner_methods.h"

#include "errors.h"
#include "py_class.h"
#include "request_intake.h"
#include "result_objects.h"
#include "run_many.h"
#include "runner.h"
#include "session.h"

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
  try {
    return req_data_into_request(extract_req_data(req));
  } catch (const python_error&) {
    add_processing_note("req");
    throw;
  }
}

ref outcome_of_error(ErrorRecord error) {
  return new_object(OutcomeRecord{empty_run_result(), std::move(error)});
}

PyObject* runner_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto request = read_request("run", args, kwargs);
    if (auto* error = std::get_if<ErrorRecord>(&request))
      return outcome_of_error(std::move(*error)).release();
    (void)self;
    raise(PyExc_NotImplementedError, "runs are not available in this build");
  });
}

PyObject* runner_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto request = read_request("start", args, kwargs);
    if (auto* error = std::get_if<ErrorRecord>(&request))
      return failed_session(std::move(*error)).release();
    (void)self;
    raise(PyExc_NotImplementedError, "runs are not available in this build");
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

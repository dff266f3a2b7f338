// Reading the request of an account-usage query (executable, env, timeout) from any Python object.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "blocking.h"
#include "errors.h"
#include "py_class.h"
#include "records.h"
#include "vantrel/account/timeout.h"
#include "vantrel/protocol/request.h"
#include "vantrel/protocol/run_error.h"
#include "vantrel/runtime/live_work.h"
#include "vantrel/support/result.h"

namespace vantrel::py {

// The request as read, its timeout still in seconds and unchecked.
struct AccountRequest {
  std::optional<std::string> executable;
  EnvPairs env;
  std::optional<double> timeout_seconds;
};

// Reads `executable` (str or None), `env` (dict of str to str, or None) and `timeout` (anything
// float() takes, or None) from `req`, in this order; None reads nothing. A missing attribute
// raises the interpreter's AttributeError; a value of the wrong type raises TypeError "failed to
// extract field RECORD.FIELD" caused by the conversion's error. Either gets the note "while
// processing 'req'".
AccountRequest read_account_request(PyObject* req, std::string_view record_name);

// What an account query hands back to Python: exactly one of the two is present.
template <class Usage>
struct AccountOutcomeRecord {
  std::optional<Usage> result;
  std::optional<ErrorRecord> error;
};

// The body of both account-usage functions. Parses the one optional `req` (`format` names the
// function for argument errors), reads it as the record `record_name`, and answers a refused
// timeout with the error `refused_timeout` before the runtime or any process is started; then
// runs `query` on the request with the interpreter lock released and returns the outcome object.
template <class Request, class Usage>
PyObject* run_account_query(PyObject* args, PyObject* kwargs, const char* format,
                            std::string_view record_name, const char* refused_timeout,
                            boost::asio::awaitable<Result<Usage, RunError>> (*query)(Request)) {
  return boundary([&] {
    static const char* keywords[] = {"req", nullptr};
    PyObject* req = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &req))
      throw_python_error();
    AccountRequest read = read_account_request(req, record_name);
    Request request{std::move(read.executable), std::move(read.env), {}, {}};
    using Outcome = AccountOutcomeRecord<Usage>;
    if (read.timeout_seconds) {
      request.timeout = timeout_from_seconds(*read.timeout_seconds);
      if (!request.timeout)
        return new_object(Outcome{std::nullopt, invalid_request_record(refused_timeout)}).release();
    }
    // The query is owned here: a signal handler that raises, or the exit of the interpreter,
    // stops it (its child is killed) before the wait ends.
    runtime::CancellationToken stop;
    auto cancelled = [] {
      return new_object(Outcome{std::nullopt, error_to_py_error(RunError::cancelled())}).release();
    };
    auto admitted = admit([stop] { stop.cancel(); });
    if (!admitted) return cancelled();
    request.inherited_env = std::move(admitted->env);
    bool main = on_main_thread();
    auto waited = without_interpreter_lock([&] {
      auto live = std::move(admitted->place);
      return wait_for(query(std::move(request)), stop, main);
    });
    raise_if_cut_short(waited);
    if (!waited.value) return cancelled();
    auto& result = *waited.value;
    if (!result)
      return new_object(Outcome{std::nullopt, error_to_py_error(result.error())}).release();
    return new_object(Outcome{std::move(result).value(), std::nullopt}).release();
  });
}

}  // namespace vantrel::py

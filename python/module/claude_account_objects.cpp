// PyClaudeAccountUsageOutcome, PyClaudeAccountUsage and PyClaudeAccountUsageWindow, and
// get_claude_account_usage, which reads its request, runs the probe with the interpreter lock
// released and hands the outcome back as those objects.
#include "claude_account_objects.h"

#include <optional>

#include "blocking.h"
#include "errors.h"
#include "extract.h"
#include "py_class.h"
#include "records.h"
#include "result_objects.h"
#include "vantrel/claude_account_usage.h"
#include "vantrel/timeout.h"

namespace vantrel::py {

// Exactly one of the two is present.
struct ClaudeAccountUsageOutcomeRecord {
  std::optional<ClaudeAccountUsage> result;
  std::optional<ErrorRecord> error;
};

template <>
inline constexpr bool is_py_record<ClaudeAccountUsage> = true;
template <>
inline constexpr bool is_py_record<ClaudeAccountUsageWindow> = true;
template <>
inline constexpr bool is_py_record<ClaudeAccountUsageOutcomeRecord> = true;

template <>
PyTypeObject* type_object<ClaudeAccountUsage>();
template <>
PyTypeObject* type_object<ClaudeAccountUsageWindow>();
template <>
PyTypeObject* type_object<ClaudeAccountUsageOutcomeRecord>();

namespace {

PyGetSetDef outcome_getset[] = {
    readonly("result", get_field<&ClaudeAccountUsageOutcomeRecord::result>),
    readonly("error", get_field<&ClaudeAccountUsageOutcomeRecord::error>),
    getset_end,
};

PyGetSetDef usage_getset[] = {
    readonly("report", get_field<&ClaudeAccountUsage::report>),
    readonly("windows", get_field<&ClaudeAccountUsage::windows>),
    readonly("raw", get_field<&ClaudeAccountUsage::raw>),
    getset_end,
};

PyGetSetDef window_getset[] = {
    readonly("label", get_field<&ClaudeAccountUsageWindow::label>),
    readonly("used_percent", get_field<&ClaudeAccountUsageWindow::used_percent>),
    readonly("resets_at", get_field<&ClaudeAccountUsageWindow::resets_at>),
    getset_end,
};

TypeCell claude_account_usage_class = record_class<ClaudeAccountUsage>(
    "builtins.PyClaudeAccountUsage", "Claude account usage report.", usage_getset);
TypeCell claude_account_usage_window_class = record_class<ClaudeAccountUsageWindow>(
    "builtins.PyClaudeAccountUsageWindow", "One Claude usage window.", window_getset);
TypeCell claude_account_usage_outcome_class = record_class<ClaudeAccountUsageOutcomeRecord>(
    "builtins.PyClaudeAccountUsageOutcome", "Claude account usage paired with any terminal error.",
    outcome_getset);

constexpr const char* request_record = "ClaudeAccountUsageReqData";
constexpr const char* refused_timeout = "timeout must be a finite non-negative number";

// Looks up the attribute `name` of `req` (its own failure goes through unchanged) and converts
// it with `convert`, whose failure becomes the field's TypeError.
template <class Convert>
auto read_attribute(PyObject* req, const char* name, Convert convert) {
  ref value = checked(PyObject_GetAttrString(req, name));
  try {
    return convert(value.get());
  } catch (const python_error&) {
    raise_field_error(request_record, name);
  }
}

EnvPairs optional_env(PyObject* value) {
  return value == Py_None ? EnvPairs{} : text_map_of(value);
}

// None, or anything that converts to a float as float() converts a number.
std::optional<double> optional_seconds(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) throw_python_error();
  return seconds;
}

// The request as read from `req` (None reads nothing), with its timeout in seconds unchecked.
struct ReadRequest {
  ClaudeAccountUsageReqData request;
  std::optional<double> timeout_seconds;
};

ReadRequest read_request(PyObject* req) {
  ReadRequest read;
  if (req == Py_None) return read;
  try {
    read.request.executable = read_attribute(req, "executable", optional_text);
    read.request.env = read_attribute(req, "env", optional_env);
    read.timeout_seconds = read_attribute(req, "timeout", optional_seconds);
  } catch (const python_error&) {
    add_processing_note("req");
    throw;
  }
  return read;
}

ClaudeAccountUsageOutcomeRecord outcome_of(Result<ClaudeAccountUsage, RunError> result) {
  if (!result) return {std::nullopt, error_to_py_error(result.error())};
  return {std::move(result).value(), std::nullopt};
}

PyObject* get_claude_account_usage(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    static const char* keywords[] = {"req", nullptr};
    PyObject* req = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:get_claude_account_usage",
                                     const_cast<char**>(keywords), &req))
      throw_python_error();
    ReadRequest read = read_request(req);
    if (read.timeout_seconds) {
      // A refused timeout ends the call before any process or the runtime is started.
      read.request.timeout = timeout_from_seconds(*read.timeout_seconds);
      if (!read.request.timeout)
        return new_object(ClaudeAccountUsageOutcomeRecord{std::nullopt,
                                                          invalid_request_record(refused_timeout)})
            .release();
    }
    auto result = run_blocking(query_claude_account_usage(std::move(read.request)));
    return new_object(outcome_of(std::move(result))).release();
  });
}

}  // namespace

template <>
PyTypeObject* type_object<ClaudeAccountUsage>() {
  return claude_account_usage_class.get();
}
template <>
PyTypeObject* type_object<ClaudeAccountUsageWindow>() {
  return claude_account_usage_window_class.get();
}
template <>
PyTypeObject* type_object<ClaudeAccountUsageOutcomeRecord>() {
  return claude_account_usage_outcome_class.get();
}

PyMethodDef get_claude_account_usage_def = {
    "get_claude_account_usage", keyword_method(get_claude_account_usage),
    METH_VARARGS | METH_KEYWORDS, "get_claude_account_usage(req=None)\n--\n\n"};

PyTypeObject* claude_account_usage_type_object() { return claude_account_usage_class.get(); }
PyTypeObject* claude_account_usage_window_type_object() {
  return claude_account_usage_window_class.get();
}
PyTypeObject* claude_account_usage_outcome_type_object() {
  return claude_account_usage_outcome_class.get();
}

}  // namespace vantrel::py

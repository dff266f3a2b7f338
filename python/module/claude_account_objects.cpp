// PyClaudeAccountUsageOutcome, PyClaudeAccountUsage and PyClaudeAccountUsageWindow, and
// get_claude_account_usage, which reads its request, runs the probe with the interpreter lock
// released and hands the outcome back as those objects.
#include "claude_account_objects.h"

#include <optional>

#include "account_request.h"
#include "errors.h"
#include "py_class.h"
#include "records.h"
#include "result_objects.h"
#include "vantrel/account/claude_account_usage.h"

namespace vantrel::py {

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

constexpr const char* refused_timeout = "timeout must be a finite non-negative number";

PyObject* get_claude_account_usage(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_account_query(args, kwargs, "|O:get_claude_account_usage", "ClaudeAccountUsageReqData",
                           refused_timeout, query_claude_account_usage);
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

}  // namespace vantrel::py

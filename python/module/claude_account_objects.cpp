// The claude account-usage classes (registered with their docs; their members come with the
// query) and get_claude_account_usage, which is not built yet.
#include "claude_account_objects.h"

#include "py_class.h"

namespace vantrel::py {
namespace {

TypeCell claude_account_usage_class =
    bare_class("builtins.PyClaudeAccountUsage", "Claude account usage report.");
TypeCell claude_account_usage_window_class =
    bare_class("builtins.PyClaudeAccountUsageWindow", "One Claude usage window.");
TypeCell claude_account_usage_outcome_class = bare_class(
    "builtins.PyClaudeAccountUsageOutcome", "Claude account usage paired with any terminal error.");

// The query takes one optional `req`; until it is built it says so.
PyObject* get_claude_account_usage(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"req", nullptr};
  PyObject* req = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:get_claude_account_usage",
                                   const_cast<char**>(keywords), &req))
    return nullptr;
  PyErr_SetString(PyExc_NotImplementedError,
                  "get_claude_account_usage is not available in this build");
  return nullptr;
}

}  // namespace

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

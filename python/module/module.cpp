// The `_vantrel` module definition: multi-phase initialisation with one execution step that
// registers the 26 classes and the two functions, in order, in `__all__`.
#include <Python.h>

#include <array>

#include "account_objects.h"
#include "blocking.h"
#include "claude_account_objects.h"
#include "errors.h"
#include "event_objects.h"
#include "group.h"
#include "result_objects.h"
#include "runner.h"
#include "session.h"

namespace vantrel::py {
namespace {

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type_object)();
};

constexpr std::array<ClassEntry, 26> classes = {{
    {"Runner", runner_type_object},
    {"Session", session_type_object},
    {"Group", group_type_object},
    {"PyEvent", type_object<EventRecord>},
    {"PyItem", type_object<ItemRecord>},
    {"PyModelUsage", type_object<ModelUsage>},
    {"PyUsage", type_object<Usage>},
    {"PyFileChange", type_object<FileChange>},
    {"PyRunResult", type_object<RunResultRecord>},
    {"PyOutcome", type_object<OutcomeRecord>},
    {"PyError", type_object<ErrorRecord>},
    {"PyAccountUsage", type_object<AccountUsage>},
    {"PyAccountUsageAccount", type_object<AccountUsageAccount>},
    {"PyAccountRateLimits", type_object<AccountRateLimits>},
    {"PyAccountRateLimitWindow", type_object<AccountRateLimitWindow>},
    {"PyAccountCredits", type_object<AccountCredits>},
    {"PyAccountSpendLimit", type_object<AccountSpendLimit>},
    {"PyAccountTokenUsage", type_object<AccountTokenUsage>},
    {"PyAccountTokenUsageSummary", type_object<AccountTokenUsageSummary>},
    {"PyAccountTokenUsageDailyBucket", type_object<AccountTokenUsageDailyBucket>},
    {"PyAccountUsageOutcome", type_object<AccountUsageOutcomeRecord>},
    {"PyClaudeAccountUsage", type_object<ClaudeAccountUsage>},
    {"PyClaudeAccountUsageWindow", type_object<ClaudeAccountUsageWindow>},
    {"PyClaudeAccountUsageOutcome", type_object<ClaudeAccountUsageOutcomeRecord>},
    {"PyRunEvent", type_object<RunEventRecord>},
    {"PyGroupResult", type_object<GroupResultRecord>},
}};

constexpr std::array<PyMethodDef*, 2> functions = {&get_account_usage_def,
                                                   &get_claude_account_usage_def};

// Appends `name` to the module's `__all__` (creating it first) and binds it to `value`.
void add_public(PyObject* module, PyObject* name, PyObject* value) {
  ref all = ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = checked(PyList_New(0));
    checked(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) raise(PyExc_TypeError, "__all__ must be a list");
  checked(PyList_Append(all.get(), name));
  checked(PyObject_SetAttr(module, name, value));
}

int module_exec(PyObject* module) {
  return boundary([&] {
    if (!PyModule_Check(module)) raise(PyExc_TypeError, "module_exec expects a module object");
    record_main_thread();
    for (const ClassEntry& entry : classes) {
      PyTypeObject* type = entry.type_object();
      if (type == nullptr) throw_python_error();
      ref name = checked(PyUnicode_FromString(entry.name));
      add_public(module, name.get(), reinterpret_cast<PyObject*>(type));
    }
    ref module_name = checked(PyModule_GetNameObject(module));
    for (PyMethodDef* definition : functions) {
      ref function = checked(PyCFunction_NewEx(definition, module, module_name.get()));
      ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
      add_public(module, name.get(), function.get());
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vantrel",
    "The native `_vantrel` extension module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vantrel::py

PyMODINIT_FUNC PyInit__vantrel() { return PyModuleDef_Init(&vantrel::py::module_def); }

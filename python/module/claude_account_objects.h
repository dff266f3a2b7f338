// The claude account-usage classes and get_claude_account_usage.
#pragma once

#include <Python.h>

namespace vantrel::py {

PyTypeObject* claude_account_usage_type_object();
PyTypeObject* claude_account_usage_window_type_object();
PyTypeObject* claude_account_usage_outcome_type_object();

extern PyMethodDef get_claude_account_usage_def;

}  // namespace vantrel::py

// The claude account-usage classes (one per record of the probe) and get_claude_account_usage.
#pragma once

#include <Python.h>

#include "account_request.h"
#include "py_class.h"
#include "vantrel/account/claude_account_usage.h"

namespace vantrel::py {

using ClaudeAccountUsageOutcomeRecord = AccountOutcomeRecord<ClaudeAccountUsage>;

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

extern PyMethodDef get_claude_account_usage_def;

}  // namespace vantrel::py

// The codex account-usage classes and get_account_usage.
#pragma once

#include <Python.h>

namespace vantrel::py {

PyTypeObject* account_usage_type_object();
PyTypeObject* account_usage_account_type_object();
PyTypeObject* account_rate_limits_type_object();
PyTypeObject* account_rate_limit_window_type_object();
PyTypeObject* account_credits_type_object();
PyTypeObject* account_spend_limit_type_object();
PyTypeObject* account_token_usage_type_object();
PyTypeObject* account_token_usage_summary_type_object();
PyTypeObject* account_token_usage_daily_bucket_type_object();
PyTypeObject* account_usage_outcome_type_object();

extern PyMethodDef get_account_usage_def;

}  // namespace vantrel::py

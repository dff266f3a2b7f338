// The codex account-usage classes (one per record of the query) and get_account_usage.
#pragma once

#include <Python.h>

#include "account_request.h"
#include "py_class.h"
#include "vantrel/account/account_usage.h"

namespace vantrel::py {

using AccountUsageOutcomeRecord = AccountOutcomeRecord<AccountUsage>;

template <>
inline constexpr bool is_py_record<AccountUsage> = true;
template <>
inline constexpr bool is_py_record<AccountUsageAccount> = true;
template <>
inline constexpr bool is_py_record<AccountRateLimits> = true;
template <>
inline constexpr bool is_py_record<AccountRateLimitWindow> = true;
template <>
inline constexpr bool is_py_record<AccountCredits> = true;
template <>
inline constexpr bool is_py_record<AccountSpendLimit> = true;
template <>
inline constexpr bool is_py_record<AccountTokenUsage> = true;
template <>
inline constexpr bool is_py_record<AccountTokenUsageSummary> = true;
template <>
inline constexpr bool is_py_record<AccountTokenUsageDailyBucket> = true;
template <>
inline constexpr bool is_py_record<AccountUsageOutcomeRecord> = true;

template <>
PyTypeObject* type_object<AccountUsage>();
template <>
PyTypeObject* type_object<AccountUsageAccount>();
template <>
PyTypeObject* type_object<AccountRateLimits>();
template <>
PyTypeObject* type_object<AccountRateLimitWindow>();
template <>
PyTypeObject* type_object<AccountCredits>();
template <>
PyTypeObject* type_object<AccountSpendLimit>();
template <>
PyTypeObject* type_object<AccountTokenUsage>();
template <>
PyTypeObject* type_object<AccountTokenUsageSummary>();
template <>
PyTypeObject* type_object<AccountTokenUsageDailyBucket>();
template <>
PyTypeObject* type_object<AccountUsageOutcomeRecord>();

extern PyMethodDef get_account_usage_def;

}  // namespace vantrel::py

// The codex account-usage classes, each owning a copy of the query's record of the same name,
// and get_account_usage, which reads its request, runs the query with the interpreter lock
// released and hands the outcome back as those objects.
#include "account_objects.h"

#include <optional>
#include <utility>

#include "account_request.h"
#include "errors.h"
#include "py_class.h"
#include "records.h"
#include "result_objects.h"
#include "vantrel/account/account_usage.h"

namespace vantrel::py {

namespace {

PyGetSetDef outcome_getset[] = {
    readonly("result", get_field<&AccountUsageOutcomeRecord::result>),
    readonly("error", get_field<&AccountUsageOutcomeRecord::error>),
    getset_end,
};

PyGetSetDef usage_getset[] = {
    readonly("account", get_field<&AccountUsage::account>),
    readonly("token_usage", get_field<&AccountUsage::token_usage>),
    readonly("rate_limits", get_field<&AccountUsage::rate_limits>),
    readonly("rate_limits_by_limit_id", get_field<&AccountUsage::rate_limits_by_limit_id>),
    readonly("raw_rate_limits", get_field<&AccountUsage::raw_rate_limits>),
    readonly("raw_token_usage", get_field<&AccountUsage::raw_token_usage>),
    readonly("raw_account", get_field<&AccountUsage::raw_account>),
    getset_end,
};

PyGetSetDef account_getset[] = {
    readonly("type", get_field<&AccountUsageAccount::type>),
    readonly("email", get_field<&AccountUsageAccount::email>),
    readonly("plan_type", get_field<&AccountUsageAccount::plan_type>),
    readonly("requires_openai_auth", get_field<&AccountUsageAccount::requires_openai_auth>),
    getset_end,
};

PyGetSetDef rate_limits_getset[] = {
    readonly("limit_id", get_field<&AccountRateLimits::limit_id>),
    readonly("limit_name", get_field<&AccountRateLimits::limit_name>),
    readonly("primary", get_field<&AccountRateLimits::primary>),
    readonly("secondary", get_field<&AccountRateLimits::secondary>),
    readonly("credits", get_field<&AccountRateLimits::credits>),
    readonly("individual_limit", get_field<&AccountRateLimits::individual_limit>),
    readonly("plan_type", get_field<&AccountRateLimits::plan_type>),
    readonly("rate_limit_reached_type", get_field<&AccountRateLimits::rate_limit_reached_type>),
    getset_end,
};

PyGetSetDef window_getset[] = {
    readonly("used_percent", get_field<&AccountRateLimitWindow::used_percent>),
    readonly("window_duration_mins", get_field<&AccountRateLimitWindow::window_duration_mins>),
    readonly("resets_at", get_field<&AccountRateLimitWindow::resets_at>),
    getset_end,
};

PyGetSetDef credits_getset[] = {
    readonly("has_credits", get_field<&AccountCredits::has_credits>),
    readonly("unlimited", get_field<&AccountCredits::unlimited>),
    readonly("balance", get_field<&AccountCredits::balance>),
    getset_end,
};

PyGetSetDef spend_limit_getset[] = {
    readonly("limit", get_field<&AccountSpendLimit::limit>),
    readonly("used", get_field<&AccountSpendLimit::used>),
    readonly("remaining_percent", get_field<&AccountSpendLimit::remaining_percent>),
    readonly("resets_at", get_field<&AccountSpendLimit::resets_at>),
    getset_end,
};

PyGetSetDef token_usage_getset[] = {
    readonly("summary", get_field<&AccountTokenUsage::summary>),
    readonly("daily_usage_buckets", get_field<&AccountTokenUsage::daily_usage_buckets>),
    getset_end,
};

PyGetSetDef summary_getset[] = {
    readonly("lifetime_tokens", get_field<&AccountTokenUsageSummary::lifetime_tokens>),
    readonly("peak_daily_tokens", get_field<&AccountTokenUsageSummary::peak_daily_tokens>),
    readonly("longest_running_turn_sec",
             get_field<&AccountTokenUsageSummary::longest_running_turn_sec>),
    readonly("current_streak_days", get_field<&AccountTokenUsageSummary::current_streak_days>),
    readonly("longest_streak_days", get_field<&AccountTokenUsageSummary::longest_streak_days>),
    getset_end,
};

PyGetSetDef bucket_getset[] = {
    readonly("start_date", get_field<&AccountTokenUsageDailyBucket::start_date>),
    readonly("tokens", get_field<&AccountTokenUsageDailyBucket::tokens>),
    getset_end,
};

TypeCell account_usage_class = record_class<AccountUsage>(
    "builtins.PyAccountUsage", "Codex account limits and credits.", usage_getset);
TypeCell account_usage_account_class = record_class<AccountUsageAccount>(
    "builtins.PyAccountUsageAccount", "Authenticated account reported by Codex.", account_getset);
TypeCell account_rate_limits_class = record_class<AccountRateLimits>(
    "builtins.PyAccountRateLimits", "One Codex rate-limit set.", rate_limits_getset);
TypeCell account_rate_limit_window_class = record_class<AccountRateLimitWindow>(
    "builtins.PyAccountRateLimitWindow", "One account usage window.", window_getset);
TypeCell account_credits_class = record_class<AccountCredits>(
    "builtins.PyAccountCredits", "Codex credit balance snapshot.", credits_getset);
TypeCell account_spend_limit_class = record_class<AccountSpendLimit>(
    "builtins.PyAccountSpendLimit", "Individual spend or credit-control limit.",
    spend_limit_getset);
TypeCell account_token_usage_class = record_class<AccountTokenUsage>(
    "builtins.PyAccountTokenUsage", "Account token-usage summary reported by Codex.",
    token_usage_getset);
TypeCell account_token_usage_summary_class = record_class<AccountTokenUsageSummary>(
    "builtins.PyAccountTokenUsageSummary", "Aggregate account token-usage metrics.",
    summary_getset);
TypeCell account_token_usage_daily_bucket_class = record_class<AccountTokenUsageDailyBucket>(
    "builtins.PyAccountTokenUsageDailyBucket", "One daily account token-usage bucket.",
    bucket_getset);
TypeCell account_usage_outcome_class = record_class<AccountUsageOutcomeRecord>(
    "builtins.PyAccountUsageOutcome", "Account usage result paired with any terminal error.",
    outcome_getset);

constexpr const char* refused_timeout =
    "account usage timeout must be finite, non-negative, and within the supported duration range";

PyObject* get_account_usage(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_account_query(args, kwargs, "|O:get_account_usage", "AccountUsageReqData",
                           refused_timeout, query_account_usage);
}

}  // namespace

template <>
PyTypeObject* type_object<AccountUsage>() {
  return account_usage_class.get();
}
template <>
PyTypeObject* type_object<AccountUsageAccount>() {
  return account_usage_account_class.get();
}
template <>
PyTypeObject* type_object<AccountRateLimits>() {
  return account_rate_limits_class.get();
}
template <>
PyTypeObject* type_object<AccountRateLimitWindow>() {
  return account_rate_limit_window_class.get();
}
template <>
PyTypeObject* type_object<AccountCredits>() {
  return account_credits_class.get();
}
template <>
PyTypeObject* type_object<AccountSpendLimit>() {
  return account_spend_limit_class.get();
}
template <>
PyTypeObject* type_object<AccountTokenUsage>() {
  return account_token_usage_class.get();
}
template <>
PyTypeObject* type_object<AccountTokenUsageSummary>() {
  return account_token_usage_summary_class.get();
}
template <>
PyTypeObject* type_object<AccountTokenUsageDailyBucket>() {
  return account_token_usage_daily_bucket_class.get();
}
template <>
PyTypeObject* type_object<AccountUsageOutcomeRecord>() {
  return account_usage_outcome_class.get();
}

PyMethodDef get_account_usage_def = {"get_account_usage", keyword_method(get_account_usage),
                                     METH_VARARGS | METH_KEYWORDS,
                                     "get_account_usage(req=None)\n--\n\n"};

}  // namespace vantrel::py

// The codex account-usage classes (registered with their docs; their members come with the
// query) and get_account_usage, which is not built yet.
#include "account_objects.h"

#include "py_class.h"

namespace vantrel::py {
namespace {

TypeCell account_usage_class =
    bare_class("builtins.PyAccountUsage", "Codex account limits and credits.");
TypeCell account_usage_account_class =
    bare_class("builtins.PyAccountUsageAccount", "Authenticated account reported by Codex.");
TypeCell account_rate_limits_class =
    bare_class("builtins.PyAccountRateLimits", "One Codex rate-limit set.");
TypeCell account_rate_limit_window_class =
    bare_class("builtins.PyAccountRateLimitWindow", "One account usage window.");
TypeCell account_credits_class =
    bare_class("builtins.PyAccountCredits", "Codex credit balance snapshot.");
TypeCell account_spend_limit_class =
    bare_class("builtins.PyAccountSpendLimit", "Individual spend or credit-control limit.");
TypeCell account_token_usage_class =
    bare_class("builtins.PyAccountTokenUsage", "Account token-usage summary reported by Codex.");
TypeCell account_token_usage_summary_class =
    bare_class("builtins.PyAccountTokenUsageSummary", "Aggregate account token-usage metrics.");
TypeCell account_token_usage_daily_bucket_class =
    bare_class("builtins.PyAccountTokenUsageDailyBucket", "One daily account token-usage bucket.");
TypeCell account_usage_outcome_class = bare_class(
    "builtins.PyAccountUsageOutcome", "Account usage result paired with any terminal error.");

// The query takes one optional `req`; until it is built it says so.
PyObject* account_query_not_built(const char* name, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"req", nullptr};
  PyObject* req = Py_None;
  std::string format = std::string("|O:") + name;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                   &req))
    return nullptr;
  PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", name);
  return nullptr;
}

PyObject* get_account_usage(PyObject*, PyObject* args, PyObject* kwargs) {
  return account_query_not_built("get_account_usage", args, kwargs);
}

}  // namespace

PyMethodDef get_account_usage_def = {"get_account_usage", keyword_method(get_account_usage),
                                     METH_VARARGS | METH_KEYWORDS,
                                     "get_account_usage(req=None)\n--\n\n"};

PyTypeObject* account_usage_type_object() { return account_usage_class.get(); }
PyTypeObject* account_usage_account_type_object() { return account_usage_account_class.get(); }
PyTypeObject* account_rate_limits_type_object() { return account_rate_limits_class.get(); }
PyTypeObject* account_rate_limit_window_type_object() {
  return account_rate_limit_window_class.get();
}
PyTypeObject* account_credits_type_object() { return account_credits_class.get(); }
PyTypeObject* account_spend_limit_type_object() { return account_spend_limit_class.get(); }
PyTypeObject* account_token_usage_type_object() { return account_token_usage_class.get(); }
PyTypeObject* account_token_usage_summary_type_object() {
  return account_token_usage_summary_class.get();
}
PyTypeObject* account_token_usage_daily_bucket_type_object() {
  return account_token_usage_daily_bucket_class.get();
}
PyTypeObject* account_usage_outcome_type_object() { return account_usage_outcome_class.get(); }

}  // namespace vantrel::py

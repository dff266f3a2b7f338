// The codex account-usage query: a short JSON-RPC exchange with the codex app-server.
//
// Each query starts its own `codex app-server --stdio` child, writes "initialize", the
// "initialized" notification, then asks in turn for the rate limits, the token usage and the
// account, one request outstanding at a time. The child is killed at the end of every query,
// after a success as well. Every failure is a Process run error; once the child is running, its
// trimmed standard-error tail is appended to the message.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/account/account_records.h"
#include "vantrel/protocol/run_error.h"
#include "vantrel/runtime/child_process.h"
#include "vantrel/support/result.h"

namespace vantrel {

// What the query is asked.
struct AccountUsageReqData {
  // The program to start; absent or empty means "codex".
  std::optional<std::string> executable;
  // Variables set in the child's environment over the inherited ones, a later pair winning.
  std::vector<runtime::EnvVar> env;
  // The environment the child starts from: the host's, copied on the host's own thread.
  runtime::InheritedEnvironment inherited_env;
  // The limit of each line read of the three account requests; absent means 10 seconds.
  std::optional<std::chrono::nanoseconds> timeout;
};

// The query's answer.
struct AccountUsage {
  // The account, flagged with the reply's top-level `requires_openai_auth`; absent when the
  // server refused "account/read" or reported no account.
  std::optional<AccountUsageAccount> account;
  // Absent when the server refused "account/usage/read".
  std::optional<AccountTokenUsage> token_usage;
  AccountRateLimits rate_limits;
  RateLimitsById rate_limits_by_limit_id;
  // The result texts of the three requests, verbatim.
  std::string raw_rate_limits;
  std::optional<std::string> raw_token_usage;
  std::optional<std::string> raw_account;
  friend bool operator==(const AccountUsage&, const AccountUsage&) = default;
};

// Runs one whole query on the calling coroutine's executor (the shared runtime).
boost::asio::awaitable<Result<AccountUsage, RunError>> query_account_usage(AccountUsageReqData req);

// The child's whole environment: `inherited` with `pairs` set on top, and CODEX_HOME set to
// "$HOME/.codex" (else "$USERPROFILE/.codex", both read from `inherited` only) when it is
// absent or blank. Without either base, CODEX_HOME stays as it was.
std::vector<runtime::EnvVar> codex_home_env(const std::vector<runtime::EnvVar>& inherited,
                                            const std::vector<runtime::EnvVar>& pairs);

}  // namespace vantrel

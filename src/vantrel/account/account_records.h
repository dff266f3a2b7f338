// The records of the codex app-server's replies: the JSON-RPC envelope, rate limits, token usage
// and the account.
//
// Every reply record is forgiving: no field is required, each has a default, and most values are
// read leniently (a wrong JSON type gives the default instead of a failure). Only the envelope
// (`RpcMessage`, `RpcError`) is read strictly. Each multi-word key is accepted in its snake_case
// and its camelCase form. A decoder returns its record or the reader's failure text
// ("DESCRIPTION at line L column C", the position within the decoded text).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vantrel/json/json.h"
#include "vantrel/support/result.h"

namespace vantrel {

// ---- JSON-RPC envelope ------------------------------------------------------------------------

struct RpcError {
  std::optional<std::string> message;
  friend bool operator==(const RpcError&, const RpcError&) = default;
};

// One line of the server's output: a reply (id with result or error), or a server notification
// or request (with a method).
struct RpcMessage {
  std::optional<std::uint64_t> id;
  std::optional<std::string> method;
  // The exact text of a non-null result, from its first byte to its last.
  std::optional<std::string> result;
  std::optional<RpcError> error;
  friend bool operator==(const RpcMessage&, const RpcMessage&) = default;
};

// ---- Rate limits ------------------------------------------------------------------------------

struct AccountRateLimitWindow {
  double used_percent = 0.0;
  std::int64_t window_duration_mins = 0;
  std::int64_t resets_at = 0;
  friend bool operator==(const AccountRateLimitWindow&, const AccountRateLimitWindow&) = default;
};

struct AccountCredits {
  bool has_credits = false;
  bool unlimited = false;
  std::optional<std::string> balance;
  friend bool operator==(const AccountCredits&, const AccountCredits&) = default;
};

struct AccountSpendLimit {
  double limit = 0.0;
  double used = 0.0;
  double remaining_percent = 0.0;
  std::int64_t resets_at = 0;
  friend bool operator==(const AccountSpendLimit&, const AccountSpendLimit&) = default;
};

struct AccountRateLimits {
  std::string limit_id;
  std::string limit_name;
  std::optional<AccountRateLimitWindow> primary;
  std::optional<AccountRateLimitWindow> secondary;
  std::optional<AccountCredits> credits;
  std::optional<AccountSpendLimit> individual_limit;
  std::string plan_type;
  std::string rate_limit_reached_type;
  friend bool operator==(const AccountRateLimits&, const AccountRateLimits&) = default;
};

using RateLimitsById = std::unordered_map<std::string, AccountRateLimits>;

// The result of "account/rateLimits/read".
struct RateLimitsResponse {
  AccountRateLimits rate_limits;
  RateLimitsById rate_limits_by_limit_id;
  friend bool operator==(const RateLimitsResponse&, const RateLimitsResponse&) = default;
};

// ---- Token usage and account ------------------------------------------------------------------

// The counts stay text, exactly as sent (a number becomes its decimal text).
struct AccountTokenUsageSummary {
  std::optional<std::string> lifetime_tokens;
  std::optional<std::string> peak_daily_tokens;
  std::optional<std::string> longest_running_turn_sec;
  std::optional<std::string> current_streak_days;
  std::optional<std::string> longest_streak_days;
  friend bool operator==(const AccountTokenUsageSummary&,
                         const AccountTokenUsageSummary&) = default;
};

struct AccountTokenUsageDailyBucket {
  std::string start_date;
  std::string tokens;
  friend bool operator==(const AccountTokenUsageDailyBucket&,
                         const AccountTokenUsageDailyBucket&) = default;
};

// The result of "account/usage/read".
struct AccountTokenUsage {
  AccountTokenUsageSummary summary;
  std::vector<AccountTokenUsageDailyBucket> daily_usage_buckets;
  friend bool operator==(const AccountTokenUsage&, const AccountTokenUsage&) = default;
};

struct AccountUsageAccount {
  std::string type;
  std::string email;
  std::string plan_type;
  bool requires_openai_auth = false;
  friend bool operator==(const AccountUsageAccount&, const AccountUsageAccount&) = default;
};

// The result of "account/read". The top-level flag is the one the query reports.
struct AccountResponse {
  std::optional<AccountUsageAccount> account;
  bool requires_openai_auth = false;
  friend bool operator==(const AccountResponse&, const AccountResponse&) = default;
};

// ---- Decoders ---------------------------------------------------------------------------------

// Record readers, so json::read and other records' tables can read these records.
void read_json(json::Reader& r, RpcError& out);
void read_json(json::Reader& r, RpcMessage& out);
void read_json(json::Reader& r, AccountRateLimitWindow& out);
void read_json(json::Reader& r, AccountCredits& out);
void read_json(json::Reader& r, AccountSpendLimit& out);
void read_json(json::Reader& r, AccountRateLimits& out);
void read_json(json::Reader& r, RateLimitsResponse& out);
void read_json(json::Reader& r, AccountTokenUsageSummary& out);
void read_json(json::Reader& r, AccountTokenUsageDailyBucket& out);
void read_json(json::Reader& r, AccountTokenUsage& out);
void read_json(json::Reader& r, AccountUsageAccount& out);
void read_json(json::Reader& r, AccountResponse& out);

// Whole texts: one line of the server, and the result texts of the three account requests.
Result<RpcMessage, std::string> deserialize_rpc_message(std::string_view line);
Result<RateLimitsResponse, std::string> deserialize_rate_limits_response(std::string_view text);
Result<AccountTokenUsage, std::string> deserialize_account_token_usage(std::string_view text);
Result<AccountResponse, std::string> deserialize_account_response(std::string_view text);

}  // namespace vantrel

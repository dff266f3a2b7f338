// The records of the codex app-server's replies, read through field tables.
#include "vantrel/account/account_records.h"

namespace vantrel {
namespace {

using json::lenient_bool;
using json::lenient_float;
using json::lenient_integer;
using json::lenient_text;
using json::lenient_text_or_empty;
using json::member;

// A null map or list is as good as an empty one; any other wrong type still fails.
template <class Container>
void null_as_empty(json::Reader& r, Container& out) {
  out.clear();
  if (!r.read_null()) json::read(r, out);
}

constexpr json::Field<RpcError> rpc_error_fields[] = {
    {"message", member<&RpcError::message>},
};
// The strict envelope wants its whole array form.
constexpr json::Record<RpcError> rpc_error_record{"RpcError", rpc_error_fields, 1};

constexpr json::Field<RpcMessage> rpc_message_fields[] = {
    {"id", member<&RpcMessage::id>},
    {"method", member<&RpcMessage::method>},
    {"result", member<&RpcMessage::result, json::raw_copy>},
    {"error", member<&RpcMessage::error>},
};
constexpr json::Record<RpcMessage> rpc_message_record{"RpcMessage", rpc_message_fields, 4};

constexpr json::Field<AccountRateLimitWindow> window_fields[] = {
    {"used_percent", "usedPercent", member<&AccountRateLimitWindow::used_percent, lenient_float>},
    {"window_duration_mins", "windowDurationMins",
     member<&AccountRateLimitWindow::window_duration_mins, lenient_integer>},
    {"resets_at", "resetsAt", member<&AccountRateLimitWindow::resets_at, lenient_integer>},
};
constexpr json::Record<AccountRateLimitWindow> window_record{"AccountRateLimitWindow",
                                                             window_fields};

constexpr json::Field<AccountCredits> credits_fields[] = {
    {"has_credits", "hasCredits", member<&AccountCredits::has_credits, lenient_bool>},
    {"unlimited", member<&AccountCredits::unlimited, lenient_bool>},
    {"balance", member<&AccountCredits::balance, lenient_text>},
};
constexpr json::Record<AccountCredits> credits_record{"AccountCredits", credits_fields};

constexpr json::Field<AccountSpendLimit> spend_limit_fields[] = {
    {"limit", member<&AccountSpendLimit::limit, lenient_float>},
    {"used", member<&AccountSpendLimit::used, lenient_float>},
    {"remaining_percent", "remainingPercent",
     member<&AccountSpendLimit::remaining_percent, lenient_float>},
    {"resets_at", "resetsAt", member<&AccountSpendLimit::resets_at, lenient_integer>},
};
constexpr json::Record<AccountSpendLimit> spend_limit_record{"AccountSpendLimit",
                                                             spend_limit_fields};

constexpr json::Field<AccountRateLimits> rate_limits_fields[] = {
    {"limit_id", "limitId", member<&AccountRateLimits::limit_id, lenient_text_or_empty>},
    {"limit_name", "limitName", member<&AccountRateLimits::limit_name, lenient_text_or_empty>},
    {"primary", member<&AccountRateLimits::primary>},
    {"secondary", member<&AccountRateLimits::secondary>},
    {"credits", member<&AccountRateLimits::credits>},
    {"individual_limit", "individualLimit", member<&AccountRateLimits::individual_limit>},
    {"plan_type", "planType", member<&AccountRateLimits::plan_type, lenient_text_or_empty>},
    {"rate_limit_reached_type", "rateLimitReachedType",
     member<&AccountRateLimits::rate_limit_reached_type, lenient_text_or_empty>},
};
constexpr json::Record<AccountRateLimits> rate_limits_record{"AccountRateLimits",
                                                             rate_limits_fields};

constexpr json::Field<RateLimitsResponse> rate_limits_response_fields[] = {
    {"rate_limits", "rateLimits", member<&RateLimitsResponse::rate_limits>},
    {"rate_limits_by_limit_id", "rateLimitsByLimitId",
     member<&RateLimitsResponse::rate_limits_by_limit_id, null_as_empty<RateLimitsById>>},
};
constexpr json::Record<RateLimitsResponse> rate_limits_response_record{"RateLimitsResponse",
                                                                       rate_limits_response_fields};

constexpr json::Field<AccountTokenUsageSummary> summary_fields[] = {
    {"lifetime_tokens", "lifetimeTokens",
     member<&AccountTokenUsageSummary::lifetime_tokens, lenient_text>},
    {"peak_daily_tokens", "peakDailyTokens",
     member<&AccountTokenUsageSummary::peak_daily_tokens, lenient_text>},
    {"longest_running_turn_sec", "longestRunningTurnSec",
     member<&AccountTokenUsageSummary::longest_running_turn_sec, lenient_text>},
    {"current_streak_days", "currentStreakDays",
     member<&AccountTokenUsageSummary::current_streak_days, lenient_text>},
    {"longest_streak_days", "longestStreakDays",
     member<&AccountTokenUsageSummary::longest_streak_days, lenient_text>},
};
constexpr json::Record<AccountTokenUsageSummary> summary_record{"AccountTokenUsageSummary",
                                                                summary_fields};

constexpr json::Field<AccountTokenUsageDailyBucket> bucket_fields[] = {
    {"start_date", "startDate",
     member<&AccountTokenUsageDailyBucket::start_date, lenient_text_or_empty>},
    {"tokens", member<&AccountTokenUsageDailyBucket::tokens, lenient_text_or_empty>},
};
constexpr json::Record<AccountTokenUsageDailyBucket> bucket_record{"AccountTokenUsageDailyBucket",
                                                                   bucket_fields};

constexpr json::Field<AccountTokenUsage> token_usage_fields[] = {
    {"summary", member<&AccountTokenUsage::summary>},
    {"daily_usage_buckets", "dailyUsageBuckets",
     member<&AccountTokenUsage::daily_usage_buckets,
            null_as_empty<std::vector<AccountTokenUsageDailyBucket>>>},
};
constexpr json::Record<AccountTokenUsage> token_usage_record{"AccountTokenUsage",
                                                             token_usage_fields};

constexpr json::Field<AccountUsageAccount> account_fields[] = {
    {"type", member<&AccountUsageAccount::type, lenient_text_or_empty>},
    {"email", member<&AccountUsageAccount::email, lenient_text_or_empty>},
    {"plan_type", "planType", member<&AccountUsageAccount::plan_type, lenient_text_or_empty>},
    {"requires_openai_auth", "requiresOpenaiAuth",
     member<&AccountUsageAccount::requires_openai_auth, lenient_bool>},
};
constexpr json::Record<AccountUsageAccount> account_record{"AccountUsageAccount", account_fields};

constexpr json::Field<AccountResponse> account_response_fields[] = {
    {"account", member<&AccountResponse::account>},
    {"requires_openai_auth", "requiresOpenaiAuth",
     member<&AccountResponse::requires_openai_auth, lenient_bool>},
};
constexpr json::Record<AccountResponse> account_response_record{"AccountResponse",
                                                                account_response_fields};

template <class T>
Result<T, std::string> decode_whole(std::string_view text) {
  T out;
  if (auto error = json::decode(text, out)) return fail(error->text());
  return out;
}

}  // namespace

void read_json(json::Reader& r, RpcError& out) { json::read_record(r, rpc_error_record, out); }
void read_json(json::Reader& r, RpcMessage& out) { json::read_record(r, rpc_message_record, out); }
void read_json(json::Reader& r, AccountRateLimitWindow& out) {
  json::read_record(r, window_record, out);
}
void read_json(json::Reader& r, AccountCredits& out) { json::read_record(r, credits_record, out); }
void read_json(json::Reader& r, AccountSpendLimit& out) {
  json::read_record(r, spend_limit_record, out);
}
void read_json(json::Reader& r, AccountRateLimits& out) {
  json::read_record(r, rate_limits_record, out);
}
void read_json(json::Reader& r, RateLimitsResponse& out) {
  json::read_record(r, rate_limits_response_record, out);
}
void read_json(json::Reader& r, AccountTokenUsageSummary& out) {
  json::read_record(r, summary_record, out);
}
void read_json(json::Reader& r, AccountTokenUsageDailyBucket& out) {
  json::read_record(r, bucket_record, out);
}
void read_json(json::Reader& r, AccountTokenUsage& out) {
  json::read_record(r, token_usage_record, out);
}
void read_json(json::Reader& r, AccountUsageAccount& out) {
  json::read_record(r, account_record, out);
}
void read_json(json::Reader& r, AccountResponse& out) {
  json::read_record(r, account_response_record, out);
}

Result<RpcMessage, std::string> deserialize_rpc_message(std::string_view line) {
  return decode_whole<RpcMessage>(line);
}
Result<RateLimitsResponse, std::string> deserialize_rate_limits_response(std::string_view text) {
  return decode_whole<RateLimitsResponse>(text);
}
Result<AccountTokenUsage, std::string> deserialize_account_token_usage(std::string_view text) {
  return decode_whole<AccountTokenUsage>(text);
}
Result<AccountResponse, std::string> deserialize_account_response(std::string_view text) {
  return decode_whole<AccountResponse>(text);
}

}  // namespace vantrel
